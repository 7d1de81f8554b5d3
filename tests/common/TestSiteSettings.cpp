#include "TestSiteSettings.h"

#include "settings/VTSettings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace TestSiteSettings {

QJsonArray toJson(const QList<Site>& sites)
{
    QJsonArray result;
    for (const Site& site : sites) {
        QJsonArray servers;
        for (const Server& server : site.servers) {
            QJsonObject object {{"server", server.server},
                                {"port", server.port},
                                {"cert", QString::fromUtf8(server.cert)},
                                {"reconnect_interval", server.reconnectInterval},
                                {"revocation_method", server.revocationMethod},
                                {"ocsp_mode", server.ocspMode}};
            // Left out when empty, to write servers that lack an address.
            if (!server.server.isEmpty()) {
                object.insert("server", server.server);
            }
            if (!server.hostName.isEmpty()) {
                object.insert("hostname", server.hostName);
            }
            if (!server.server2.isEmpty()) {
                object.insert("server2", server.server2);
            }
            servers.append(object);
        }
        result.append(
            QJsonObject {{"servers", servers}, {"resource", site.resource}, {"client_auth_oid", site.clientAuthOid}});
    }
    return result;
}

bool load(const QList<Site>& sites, bool debug)
{
    const QJsonObject root {{"app_type", "daemon"}, {"visible", false}, {"debug", debug}, {"sites", toJson(sites)}};
    QFile file(VTSettings::s_directory + "/" + VTSettings::s_fileBaseName + ".json");
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return false;
    }
    file.write(QJsonDocument(root).toJson());
    file.close();
    return VTSettings::instance()->load() == 0;
}

} // namespace TestSiteSettings
