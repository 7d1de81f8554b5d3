#include "VTSite.h"

#include <QDebug>

const QString VTSite::s_defaultResource = QStringLiteral("/vt");

bool VTSite::load(QVariant const& value)
{
    const QVariantMap map = value.toMap();
    if (!map.contains("servers")) {
        qCritical() << "No servers loaded";
        return false;
    }

    // A site with a single server may carry the server object itself instead of a list.
    const QVariant servers = map.value("servers");
    const QVariantList entries
        = servers.userType() == QMetaType::QVariantList ? servers.toList() : QVariantList {servers};

    bool anyLoaded = false;
    for (const QVariant& entry : entries) {
        VTServer server;
        server.m_applicationType = m_appType;
        // A server that failed to load is kept, so that saving does not drop what the file held.
        anyLoaded = server.load(entry) || anyLoaded;
        m_servers.append(server);
    }
    if (!anyLoaded) {
        return false;
    }

    m_resource = map.contains("resource") ? map.value("resource").toString() : s_defaultResource;
    m_clientAuthOid = map.value("client_auth_oid").toString();
    return true;
}

void VTSite::toVariantMap(QMap<QString, QVariant>& map) const
{
    QVariantList servers;
    for (const VTServer& server : m_servers) {
        QVariantMap serverMap;
        server.toVariantMap(serverMap);
        servers.append(serverMap);
    }
    map.insert("resource", m_resource);
    map.insert("client_auth_oid", m_clientAuthOid);
    map.insert("servers", servers);
}

bool VTSite::getServerAt(int index, VTServer& server) const
{
    if (index < 0 || index >= m_servers.size()) {
        return false;
    }
    server = m_servers.at(index);
    return true;
}
