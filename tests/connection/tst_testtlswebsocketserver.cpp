#include "TestCertificates.h"
#include "TestTlsWebSocketServer.h"

#include <QSignalSpy>
#include <QSslKey>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

// Every connection test stands on this server, so it is checked against a plain Qt client first.
class TestTestTlsWebSocketServer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    TestCertificates* m_certs = nullptr;

    QSslConfiguration clientTls(const QString& clientCert) const
    {
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(m_certs->certPath("ca")));
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        if (!clientCert.isEmpty()) {
            QFile keyFile(m_certs->keyPath(clientCert));
            keyFile.open(QIODevice::ReadOnly);
            tls.setLocalCertificate(QSslCertificate::fromPath(m_certs->certPath(clientCert)).value(0));
            tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
        }
        return tls;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_certs = new TestCertificates(m_dir.path());
        QVERIFY(m_certs->makeCa("ca", "Server Root"));
        QVERIFY(m_certs->makeCert("server", "ca", "localhost", {"DNS:localhost", "IP:127.0.0.1"}));
        QVERIFY(m_certs->makeCa("clientca", "Client Root"));
        QVERIFY(m_certs->makeCert("client", "clientca", "agent-007"));
        QVERIFY(m_certs->makeCert("stranger", QString(), "stranger"));
    }

    void cleanupTestCase() { delete m_certs; }

    void exchangesFramesAndSeesClientCertificate_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("clientCert");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("expectedPeerCn");

        const int none = TestTlsWebSocketServer::NoClientCert;
        const int query = TestTlsWebSocketServer::QueryClientCert;
        const int require = TestTlsWebSocketServer::RequireClientCert;
        QTest::newRow("no client auth") << none << "client" << true << QString();
        QTest::newRow("query, none offered") << query << QString() << true << QString();
        QTest::newRow("query, offered") << query << "client" << true << "agent-007";
        QTest::newRow("require, offered") << require << "client" << true << "agent-007";
        QTest::newRow("require, none offered") << require << QString() << false << QString();
        QTest::newRow("require, foreign issuer") << require << "stranger" << false << QString();
    }

    void exchangesFramesAndSeesClientCertificate()
    {
        QFETCH(int, mode);
        QFETCH(QString, clientCert);
        QFETCH(bool, accepted);
        QFETCH(QString, expectedPeerCn);

        TestTlsWebSocketServer server;
        QVERIFY(server.listen(m_certs->certPath("server"), m_certs->keyPath("server"),
                              TestTlsWebSocketServer::ClientCertMode(mode), m_certs->certPath("clientca")));
        QVERIFY(server.port() != 0);

        QWebSocket client;
        client.setSslConfiguration(clientTls(clientCert));
        QSignalSpy connectedSpy(&client, &QWebSocket::connected);
        QSignalSpy disconnectedSpy(&client, &QWebSocket::disconnected);
        QSignalSpy textSpy(&client, &QWebSocket::textMessageReceived);
        client.open(QUrl(QString("wss://localhost:%1/vt").arg(server.port())));

        if (!accepted) {
            QTRY_COMPARE(server.failedHandshakeCount(), 1);
            QTRY_VERIFY(disconnectedSpy.count() >= 1);
            QCOMPARE(connectedSpy.count(), 0);
            QCOMPARE(server.connectionCount(), 0);
            return;
        }
        QTRY_COMPARE(connectedSpy.count(), 1);
        QTRY_COMPARE(server.connectionCount(), 1);
        QCOMPARE(server.lastRequestPath(), QString("/vt"));
        QCOMPARE(server.lastPeerCertificate().subjectInfo(QSslCertificate::CommonName).value(0), expectedPeerCn);
        QCOMPARE(client.sslConfiguration().peerCertificate().subjectInfo(QSslCertificate::CommonName).value(0),
                 QString("localhost"));

        client.sendBinaryMessage("{\"a\":1}");
        client.sendTextMessage("hello");
        QTRY_COMPARE(server.receivedBinaries(), QList<QByteArray> {"{\"a\":1}"});
        QCOMPARE(server.receivedTexts(), QStringList {"hello"});
        QVERIFY(server.sendText("pong"));
        QTRY_COMPARE(textSpy.count(), 1);
        QCOMPARE(textSpy.at(0).at(0).toString(), QString("pong"));

        server.closeClient(nullptr, 1000);
        QTRY_COMPARE(disconnectedSpy.count(), 1);
        QCOMPARE(client.closeCode(), QWebSocketProtocol::CloseCodeNormal);
    }
};

QTEST_GUILESS_MAIN(TestTestTlsWebSocketServer)
#include "tst_testtlswebsocketserver.moc"
