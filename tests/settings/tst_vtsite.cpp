#include "settings/VTSite.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

QVariant fromJson(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).toVariant();
}

} // namespace

class TestVTSite : public QObject
{
    Q_OBJECT

private slots:
    void serverLoad_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QVariant>("expected");

        QTest::newRow("defaults") << QByteArray(R"({"server": "10.0.0.5", "cert": "PEM"})") << true << "all"
                                  << QVariant(
                                         "10005 60 10 https://10.0.0.5/status?cc=true&amp;fromvt=true fasle 0 none 0 ");
        QTest::newRow("port as text") << QByteArray(R"({"server": "a", "cert": "c", "port": "443"})") << true << "port"
                                      << QVariant(443);
        QTest::newRow("port not a number")
            << QByteArray(R"({"server": "a", "cert": "c", "port": "abc"})") << true << "port" << QVariant(0);
        QTest::newRow("number where text expected")
            << QByteArray(R"({"server": "a", "cert": "c", "enable_client_cert_auth": 1})") << true << "certAuth"
            << QVariant("1");
        QTest::newRow("missing address") << QByteArray(R"({"cert": "c", "port": 1})") << false << "port" << QVariant(0);
        QTest::newRow("missing certificate keeps what was read")
            << QByteArray(R"({"server": "10.1.1.1", "hostname": "h"})") << false << "hostname" << QVariant("h");
    }

    void serverLoad()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, loaded);
        QFETCH(QString, field);
        QFETCH(QVariant, expected);

        VTServer server;
        QCOMPARE(server.load(fromJson(json)), loaded);

        const QMap<QString, QVariant> actual {
            {"port", server.m_port},
            {"kpa", server.m_kpaInterval},
            {"reconnect", server.m_reconnectInterval},
            {"cc", server.m_complianceCenterUrl},
            {"exitFlag", server.m_enableExitPasswordOnDissolvable},
            {"certAuth", server.m_enableClientCertAuth},
            {"revocation", server.m_revocationMethod},
            {"ocsp", server.m_ocspMode},
            {"hostname", server.m_hostName},
        };
        QStringList all;
        for (const char* key :
             {"port", "kpa", "reconnect", "cc", "exitFlag", "certAuth", "revocation", "ocsp", "hostname"}) {
            all << actual.value(key).toString();
        }
        if (field == "all") {
            QCOMPARE(all.join(' '), expected.toString());
            return;
        }
        QVERIFY2(actual.contains(field), qPrintable(field));
        QCOMPARE(actual.value(field).toString(), expected.toString());
    }

    void siteLoad_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("loaded");
        QTest::addColumn<int>("servers");
        QTest::addColumn<QString>("resource");

        QTest::newRow("single server object")
            << QByteArray(R"({"servers": {"server": "a", "cert": "c"}})") << true << 1 << "/vt";
        QTest::newRow("bad server kept beside a good one")
            << QByteArray(R"({"servers": [{"server": "a"}, {"server": "b", "cert": "c"}], "resource": "/r"})") << true
            << 2 << "/r";
        QTest::newRow("all servers bad") << QByteArray(R"({"servers": [{"server": "a"}, {"cert": "c"}]})") << false << 2
                                         << QString();
        QTest::newRow("no servers key") << QByteArray(R"({"resource": "/r"})") << false << 0 << QString();
        QTest::newRow("not an object") << QByteArray(R"(["servers"])") << false << 0 << QString();
    }

    void siteLoad()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, loaded);
        QFETCH(int, servers);
        QFETCH(QString, resource);

        VTSite site;
        QCOMPARE(site.load(fromJson(json)), loaded);
        QCOMPARE(site.serverCount(), servers);
        QCOMPARE(site.m_resource, resource);
    }

    void roundTripKeepsEveryField()
    {
        // Every key the writer produces must be one the reader takes back, or a save loses settings.
        const QByteArray json = R"({"resource": "/res", "client_auth_oid": "1.2.3", "servers": [{
            "hostname": "h", "server": "s1", "server2": "s2", "port": 1, "cert": "CERT",
            "compliance_center_url": "u", "reconnect_interval": 3, "kpa_interval": 4,
            "enable_protection_password": "true", "protection_password": "pw", "password_salt": "salt",
            "enable_exit_password_on_dissolvable": "true", "enable_client_cert_auth": "1",
            "revocation_method": "OCSP", "ocsp_mode": 5}]})";
        VTSite original;
        original.setAppType("workstation");
        QVERIFY(original.load(fromJson(json)));

        QVariantMap written;
        original.toVariantMap(written);
        // Through JSON text, as the settings file stores it.
        const QVariant reread = QJsonDocument::fromVariant(written).toVariant();
        QCOMPARE(reread.toMap().value("servers").toList().value(0).toMap().value("application_type").toString(),
                 QString("workstation"));

        VTSite copy;
        copy.setAppType("workstation"); // written but never read back: it always follows "app_type"
        QVERIFY(copy.load(reread));
        QVariantMap rewritten;
        copy.toVariantMap(rewritten);
        QCOMPARE(QJsonDocument::fromVariant(rewritten), QJsonDocument::fromVariant(written));
        QCOMPARE(copy.m_clientAuthOid, QString("1.2.3"));
        QCOMPARE(copy.m_servers.value(0).m_cert, QByteArray("CERT"));
        QCOMPARE(copy.m_servers.value(0).m_ocspMode, 5);
    }

    void resetForRedirectKeepsPolicy()
    {
        VTServer server;
        QVERIFY(server.load(fromJson(R"({"hostname": "h", "server": "10.0.0.5", "server2": "10.0.0.6", "port": 443,
            "cert": "c", "kpa_interval": 5, "reconnect_interval": 7, "revocation_method": "ocsp",
            "protection_password": "pw"})")));
        server.m_serverInUse = "in-use";

        server.resetForRedirect();

        QVERIFY(server.m_hostName.isEmpty());
        QVERIFY(server.m_server.isEmpty());
        QVERIFY(server.m_server2.isEmpty());
        QVERIFY(server.m_serverInUse.isEmpty());
        QVERIFY(server.m_cert.isEmpty());
        QVERIFY(server.m_complianceCenterUrl.isEmpty());
        QCOMPARE(server.m_port, 0);
        QCOMPARE(server.m_kpaInterval, 60);
        QCOMPARE(server.m_reconnectInterval, 7);
        QCOMPARE(server.m_revocationMethod, QString("ocsp"));
        QCOMPARE(server.m_protectionPassword, QString("pw"));
    }
};

QTEST_GUILESS_MAIN(TestVTSite)
#include "tst_vtsite.moc"
