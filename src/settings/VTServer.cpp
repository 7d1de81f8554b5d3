#include "VTServer.h"

#include <QDebug>

const int VTServer::s_defaultPort = 10005;
const int VTServer::s_defaultKpaInterval = 60;
const int VTServer::s_defaultReconnectInterval = 10;
const qint32 VTServer::s_maxIntervalSeconds = 24 * 60 * 60;
const QString VTServer::s_complianceCenterTemplate = QStringLiteral("https://<ADDRESS>/status?cc=true&amp;fromvt=true");

namespace {

// The server sends numbers and texts loosely typed; QVariant's conversions give exactly the
// leniency wanted: "443" reads as 443, "abc" as 0, and 7 where text is expected as "7".
QString textOr(QVariantMap const& map, QString const& key, QString const& fallback)
{
    auto it = map.constFind(key);
    return it == map.constEnd() ? fallback : it->toString();
}

qint32 numberOr(QVariantMap const& map, QString const& key, qint32 fallback)
{
    auto it = map.constFind(key);
    return it == map.constEnd() ? fallback : it->toInt();
}

} // namespace

qint32 VTServer::intervalOr(QVariant const& value, qint32 fallback, QString const& key)
{
    bool ok = false;
    const qlonglong seconds = value.toLongLong(&ok);
    if (ok && seconds >= 1 && seconds <= s_maxIntervalSeconds) {
        return qint32(seconds);
    }
    qWarning() << "Invalid" << key << value.toString() << "- using" << fallback;
    return fallback;
}

bool VTServer::load(QVariant const& value)
{
    qDebug() << "in VTServer load";
    const QVariantMap map = value.toMap();

    if (map.contains("hostname")) {
        setHostName(map.value("hostname").toString());
    } else {
        qDebug() << "Server is missing Host name";
    }

    if (!map.contains("server")) {
        qCritical() << "Server is missing an address";
        return false;
    }
    m_server = map.value("server").toString();
    m_server2 = textOr(map, "server2", QString());

    if (!map.contains("cert")) {
        qCritical() << "Server is missing a certificate";
        return false;
    }
    m_cert = map.value("cert").toString().toUtf8();

    m_port = numberOr(map, "port", s_defaultPort);
    m_reconnectInterval = intervalOr(map.value("reconnect_interval", s_defaultReconnectInterval),
                                     s_defaultReconnectInterval, "reconnect_interval");
    m_kpaInterval = intervalOr(map.value("kpa_interval", s_defaultKpaInterval), s_defaultKpaInterval, "kpa_interval");

    QString defaultUrl = s_complianceCenterTemplate;
    defaultUrl.replace("<ADDRESS>", m_server);
    m_complianceCenterUrl = textOr(map, "compliance_center_url", defaultUrl);

    m_protectionPassword = textOr(map, "protection_password", QString());
    m_passwordSalt = textOr(map, "password_salt", QString());
    m_enableProtectionPassword = textOr(map, "enable_protection_password", QString());
    // The misspelt default is what servers and stored files have always carried; keep it.
    m_enableExitPasswordOnDissolvable = textOr(map, "enable_exit_password_on_dissolvable", "fasle");
    m_enableClientCertAuth = textOr(map, "enable_client_cert_auth", "0");
    m_revocationMethod = textOr(map, "revocation_method", "none");

    qDebug() << "checking ocsp mode";
    m_ocspMode = numberOr(map, "ocsp_mode", 0);
    return true;
}

void VTServer::toVariantMap(QMap<QString, QVariant>& map) const
{
    map.insert("hostname", m_hostName);
    map.insert("server", m_server);
    map.insert("server2", m_server2);
    map.insert("port", m_port);
    map.insert("compliance_center_url", m_complianceCenterUrl);
    map.insert("cert", m_cert);
    map.insert("reconnect_interval", m_reconnectInterval);
    map.insert("kpa_interval", m_kpaInterval);
    map.insert("enable_protection_password", m_enableProtectionPassword);
    map.insert("protection_password", m_protectionPassword);
    map.insert("password_salt", m_passwordSalt);
    map.insert("enable_exit_password_on_dissolvable", m_enableExitPasswordOnDissolvable);
    map.insert("application_type", m_applicationType);
    map.insert("enable_client_cert_auth", m_enableClientCertAuth);
    map.insert("revocation_method", m_revocationMethod);
    map.insert("ocsp_mode", m_ocspMode);
}

void VTServer::setHostName(QString name)
{
    m_hostName = name;
}

void VTServer::resetForRedirect()
{
    qDebug() << "Reseting server for redirect";
    m_hostName.clear();
    m_server.clear();
    m_server2.clear();
    m_serverInUse.clear();
    m_port = 0;
    m_cert.clear();
    m_complianceCenterUrl.clear();
    m_kpaInterval = s_defaultKpaInterval;
}
