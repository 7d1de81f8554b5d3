#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>

// Writes a settings file with the given sites into a directory of the test's own and loads it
// into the settings store, the way the daemon would at start-up.
namespace TestSiteSettings {

struct Server
{
    QString hostName;
    QString server = QStringLiteral("127.0.0.1");
    QString server2;
    int port = 0;
    QByteArray cert;
    int reconnectInterval = 10;
    QString revocationMethod = QStringLiteral("none");
    int ocspMode = 0;
};

struct Site
{
    Site(QList<Server> siteServers, QString oid = QString())
        : servers(std::move(siteServers))
        , clientAuthOid(std::move(oid))
    {
    }

    QList<Server> servers;
    QString clientAuthOid;
    QString resource = QStringLiteral("/vt");
};

QJsonArray toJson(const QList<Site>& sites);
// Writes the file and loads it; true when the store accepted it.
bool load(const QList<Site>& sites, bool debug = false);

} // namespace TestSiteSettings
