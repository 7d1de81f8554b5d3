#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>

// Everything needed to reach one management server and to behave towards it. A plain value record:
// the connection manager and the handlers copy it freely and read its members directly.
class VTServer
{
public:
    VTServer() = default;

    bool load(QVariant const& value);
    void toVariantMap(QMap<QString, QVariant>& map) const;
    void setHostName(QString name);
    // Clears the addressing part before a redirect fills in the new target; the policy fields stay.
    void resetForRedirect();

    static const int s_defaultPort;
    static const int s_defaultKpaInterval;
    static const int s_defaultReconnectInterval;
    static const QString s_complianceCenterTemplate;

    // An interval in seconds from the server or the settings file, or `fallback` with a warning
    // when it is not a whole number of seconds from one second to one day: 0 would spin a timer,
    // a negative value would start none, and a huge one overflows when turned into milliseconds.
    static qint32 intervalOr(QVariant const& value, qint32 fallback, QString const& key);
    static const qint32 s_maxIntervalSeconds;

    QString m_hostName;
    QString m_server;
    QString m_server2;
    QString m_serverInUse;
    qint32 m_port = 0;
    QByteArray m_cert;
    QString m_complianceCenterUrl;
    qint32 m_kpaInterval = 0;
    qint32 m_reconnectInterval = 0;
    QString m_protectionPassword;
    QString m_passwordSalt;
    QString m_enableExitPasswordOnDissolvable;
    QString m_applicationType;
    QString m_enableProtectionPassword;
    QString m_enableClientCertAuth;
    QString m_revocationMethod;
    qint32 m_ocspMode = 0;
};
