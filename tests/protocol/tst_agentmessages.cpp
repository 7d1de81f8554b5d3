#include "protocol/ConfigMessage.h"
#include "protocol/Cryptographic.h"
#include "protocol/InitMessage.h"
#include "protocol/KpaMessage.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

namespace {

// A plain WebSocket pair on one local address, so the client's local address is known.
class LoopbackPair
{
public:
    bool open(const QHostAddress& address)
    {
        if (!m_server.listen(address, 0))
            return false;
        QSignalSpy connected(&m_client, &QWebSocket::connected);
        QUrl url;
        url.setScheme("ws");
        url.setHost(address.toString());
        url.setPort(m_server.serverPort());
        m_client.open(url);
        return connected.wait(5000);
    }
    QWebSocket* client() { return &m_client; }

private:
    QWebSocketServer m_server {"test", QWebSocketServer::NonSecureMode};
    QWebSocket m_client;
};

// A template, because each message's writer hides the envelope's rather than overriding it.
template<typename Message>
QJsonObject written(const Message& message)
{
    QJsonObject json;
    message.write(json);
    return json;
}

} // namespace

class TestAgentMessages : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setApplicationVersion("10.0.9002"); }

    void initCarriesInterfaceOfLocalAddress_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("mac");

        // Every up IPv4 address of this host with a hardware address, loopback included.
        const auto interfaces = QNetworkInterface::allInterfaces();
        for (const QNetworkInterface& iface : interfaces) {
            if (!iface.flags().testFlag(QNetworkInterface::IsUp) || iface.hardwareAddress().isEmpty())
                continue;
            for (const QNetworkAddressEntry& entry : iface.addressEntries()) {
                if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                    QTest::newRow(qPrintable(iface.name() + " " + entry.ip().toString()))
                        << entry.ip().toString() << iface.hardwareAddress();
            }
        }
    }

    void initCarriesInterfaceOfLocalAddress()
    {
        QFETCH(QString, address);
        QFETCH(QString, mac);

        LoopbackPair pair;
        QVERIFY(pair.open(QHostAddress(address)));
        const InitMessage message(pair.client());
        const QJsonObject json = written(message);
        const QJsonObject header = json["msg_info"].toObject();
        const QJsonObject body = json["msg"].toObject();

        QCOMPARE(header["src"].toString(), address);
        QCOMPARE(header["dst"].toString(), QString("linux"));
        QCOMPARE(header["type"].toString(), QString("proxy"));
        QCOMPARE(body["type"].toString(), QString("init"));
        QCOMPARE(body["ip"].toString(), address);
        QCOMPARE(body["mac"].toString(), mac);
        QCOMPARE(body["vt_version"].toString(), QString("10.0.9002"));
    }

    void initWithoutConnectionHasNoMac()
    {
        QWebSocket unconnected;
        const QJsonObject body = written(InitMessage(&unconnected))["msg"].toObject();
        QVERIFY(!body.contains("mac"));
        QCOMPARE(body["ip"].toString(), QString());
    }

    void configRequestBody()
    {
        LoopbackPair pair;
        QVERIFY(pair.open(QHostAddress::LocalHost));
        const QJsonObject json = written(ConfigMessage(pair.client()));
        QCOMPARE(json["msg"].toObject(), QJsonObject({{"type", "config_request"}}));
        QCOMPARE(json["msg_info"].toObject()["src"].toString(), QString("127.0.0.1"));
    }

    void idsDifferAcrossMessages()
    {
        LoopbackPair pair;
        QVERIFY(pair.open(QHostAddress::LocalHost));
        const QRegularExpression form("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$");
        const QStringList ids {ConfigMessage(pair.client()).msg_info.id, InitMessage(pair.client()).msg_info.id,
                               KpaMessage(pair.client()).msg_info.id, ConfigMessage(pair.client()).msg_info.id};
        for (const QString& id : ids)
            QVERIFY2(form.match(id).hasMatch(), qPrintable(id));
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), ids.size());
    }

    void usageFromPs_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("cpu");
        QTest::addColumn<QString>("mem");

        QTest::newRow("own line") << QByteArray(" 4242  1.5  0.25\n") << QString("150.00") << QString("25.00");
        QTest::newRow("own line among others") << QByteArray("    1  0.7  0.1\n 4242 12.0  3.3\n 4243  9.9  9.9\n")
                                               << QString("1200.00") << QString("330.00");
        QTest::newRow("similar pid is not ours")
            << QByteArray("42420 5.0 5.0\n  424 6.0 6.0\n") << QString("0.00") << QString("0.00");
        QTest::newRow("no line for us keeps zero")
            << QByteArray("    1  0.7  0.1\n    2  3.0  4.0\n") << QString("0.00") << QString("0.00");
        QTest::newRow("no output") << QByteArray() << QString("0.00") << QString("0.00");
        QTest::newRow("malformed own line ignored")
            << QByteArray("4242 x 1.0\n4242\n") << QString("0.00") << QString("0.00");
    }

    void usageFromPs()
    {
        QFETCH(QByteArray, output);
        QFETCH(QString, cpu);
        QFETCH(QString, mem);
        const KpaMessage::Usage usage = KpaMessage::usageFromPs(output, 4242);
        QCOMPARE(usage.cpu, cpu);
        QCOMPARE(usage.mem, mem);
    }

    void kpaCarriesTimeAndOwnFigures()
    {
        LoopbackPair pair;
        QVERIFY(pair.open(QHostAddress::LocalHost));

        // Hold enough touched memory that this process's share is well above ps's rounding,
        // so a figure taken from another process's line would show.
        QByteArray ballast(512 * 1024 * 1024, 'x');
        // Memory share of this process as ps sees it; it barely moves between two runs.
        QProcess ps;
        ps.start("ps", {"-o", "%mem=", "-p", QString::number(QCoreApplication::applicationPid())});
        QVERIFY(ps.waitForFinished(10000));
        const double memPercent = ps.readAllStandardOutput().trimmed().toDouble();

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const QJsonObject json = written(KpaMessage(pair.client()));
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        const QJsonObject body = json["msg"].toObject();

        QCOMPARE(body["type"].toString(), QString("kpa"));
        const QByteArray wire = QJsonDocument(json).toJson(QJsonDocument::Compact);
        QVERIFY2(QRegularExpression("\"time\":\\d+[,}]").match(QString(wire)).hasMatch(), wire.constData());
        QVERIFY(body["time"].toDouble() >= before && body["time"].toDouble() <= after);

        const QJsonObject stats = body["stats"].toObject();
        const QRegularExpression figure("^\\d+\\.\\d\\d$");
        QVERIFY(stats["cpu_usage"].isString() && figure.match(stats["cpu_usage"].toString()).hasMatch());
        QVERIFY(stats["mem_usage"].isString() && figure.match(stats["mem_usage"].toString()).hasMatch());
        QVERIFY2(memPercent >= 1.0, qPrintable(QString::number(memPercent)));
        QVERIFY2(qAbs(stats["mem_usage"].toString().toDouble() - memPercent * 100) <= 30,
                 qPrintable(stats["mem_usage"].toString()));
    }

    void hashing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("hexDigest");

        QTest::newRow("ascii") << QString("abc")
                               << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        QTest::newRow("empty") << QString()
                               << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        QTest::newRow("stops at NUL") << QString::fromUtf8("abc\0def", 7)
                                      << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }

    void hashing()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, hexDigest);
        Cryptographic crypto;
        const QByteArray digest = crypto.convertQStringToSha256(text);
        QCOMPARE(digest.size(), 32);
        QCOMPARE(digest.toHex(), hexDigest);
    }

    void passwordAndSaltIsHashOfConcatenation()
    {
        Cryptographic crypto;
        QCOMPARE(crypto.getPasswordAndSaltSha256("secr", "et"), crypto.convertQStringToSha256("secret"));
        QVERIFY(crypto.getPasswordAndSaltSha256("secr", "et") != crypto.getPasswordAndSaltSha256("secret", "x"));
    }
};

QTEST_GUILESS_MAIN(TestAgentMessages)
#include "tst_agentmessages.moc"
