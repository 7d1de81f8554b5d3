#include "LogCapture.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestSeam.h"
#include "TestSiteSettings.h"
#include "TestTlsWebSocketServer.h"
#include "VTConnectionProbe.h"

#include "connection/ReconnectWait.h"
#include "connection/VTConnection.h"
#include "settings/VTSettings.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocketServer>
#include <QtTest>

#include <algorithm>

using Index = VTConnection::index;
using Site = TestSiteSettings::Site;
using Server = TestSiteSettings::Server;

Q_DECLARE_METATYPE(QList<Index>)

// Rotation and reconnection against real sockets on loopback. Every server in these tests pins a
// self-signed certificate that carries the loopback addresses, so only the policy is under test.
class TestVTConnection : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    TestSeam<QString> m_settingsDir {VTSettings::s_directory, m_dir.path()};
    TestCertificates* m_certs = nullptr;
    QByteArray m_pinned;
    QList<TestTlsWebSocketServer*> m_servers;
    // One second of reconnect interval lasts 20 ms here; every session counts as short unless
    // a test shrinks the limit, so no row depends on how fast a handshake is.
    TestSeam<int> m_reconnectSecond {VTConnection::s_msPerReconnectSecond, 20};
    TestSeam<int> m_shortSession {VTConnection::s_shortSessionMs, 60000};
    TestSeam<int> m_connectTimeout {VTConnection::s_connectTimeoutMs, 30000};

    // A live TLS WebSocket server on `address`; owned by the test until cleanup().
    TestTlsWebSocketServer* startServer(const QString& address = "127.0.0.1")
    {
        auto* server = new TestTlsWebSocketServer;
        m_servers.append(server);
        if (!server->listen(m_certs->certPath("server"), m_certs->keyPath("server"),
                            TestTlsWebSocketServer::NoClientCert, QString(), 0, QHostAddress(address))) {
            return nullptr;
        }
        return server;
    }

    TestTlsWebSocketServer* startServerOn(quint16 port)
    {
        auto* server = new TestTlsWebSocketServer;
        m_servers.append(server);
        return server->listen(m_certs->certPath("server"), m_certs->keyPath("server"),
                              TestTlsWebSocketServer::NoClientCert, QString(), port)
            ? server
            : nullptr;
    }

    Server pinned(int port, int reconnectInterval) const
    {
        Server spec;
        spec.port = port;
        spec.cert = m_pinned;
        spec.reconnectInterval = reconnectInterval;
        return spec;
    }

    Server live(TestTlsWebSocketServer* server, int reconnectInterval = 1) const
    {
        Server spec = pinned(server->port(), reconnectInterval);
        spec.server = server->address().toString();
        return spec;
    }

    // A port on which nothing listens, so an attempt is refused at once.
    static int closedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    Server dead(int reconnectInterval = 1) const { return pinned(closedPort(), reconnectInterval); }

    // Opens `connection` and waits for its first session.
    static bool opened(VTConnection& connection, QSignalSpy& connectedSpy)
    {
        return connection.open() && (connectedSpy.count() > 0 || connectedSpy.wait(5000)) && connectedSpy.count() == 1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_certs = new TestCertificates(m_dir.path());
        QVERIFY(m_certs->makeCert("server", QString(), "loopback", {"IP:127.0.0.1", "IP:127.0.0.2"}));
        m_pinned = TestFiles::read(m_certs->certPath("server"));
        QVERIFY(!m_pinned.isEmpty());
    }

    void cleanup()
    {
        qDeleteAll(m_servers);
        m_servers.clear();
    }

    void cleanupTestCase() { delete m_certs; }

    void rotationOrder_data()
    {
        QTest::addColumn<QList<int>>("serversPerSite");
        QTest::addColumn<QList<Index>>("order");

        QTest::newRow("one server") << QList<int> {1} << QList<Index> {{0, 0}};
        QTest::newRow("W X | Y") << QList<int> {2, 1} << QList<Index> {{0, 0}, {0, 1}, {0, 0}, {1, 0}};
        QTest::newRow("W X | Y Z") << QList<int> {2, 2}
                                   << QList<Index> {{0, 0}, {0, 1}, {0, 0}, {1, 0}, {0, 0}, {1, 1}};
        QTest::newRow("W | Y") << QList<int> {1, 1} << QList<Index> {{0, 0}, {1, 0}};
        QTest::newRow("no sites") << QList<int> {} << QList<Index> {};
    }

    void rotationOrder()
    {
        QFETCH(QList<int>, serversPerSite);
        QFETCH(QList<Index>, order);
        QCOMPARE(VTConnectionProbe::rotationOrder(serversPerSite), order);
    }

    void rotationFollowsSettingsAndWraps()
    {
        TestTlsWebSocketServer* w = startServer();
        QVERIFY(w);
        Server x = dead(7);
        Server y = dead(9);
        QVERIFY(TestSiteSettings::load({Site {{live(w, 5), x}}, Site {{y}}}));

        VTConnection connection;
        QCOMPARE(VTConnectionProbe::serverIndexes(connection), (QList<Index> {{0, 0}, {0, 1}, {0, 0}, {1, 0}}));
        QCOMPARE(VTConnectionProbe::reconnectDelay(connection), 5);
        const QList<int> expectedPorts {x.port, w->port(), y.port, w->port()};
        for (int port : expectedPorts) {
            VTConnectionProbe::moveToNextServer(connection);
            QCOMPARE(connection.getCurrentServer()->m_port, port);
        }
        QCOMPARE(VTConnectionProbe::currentIndex(connection), 0);
        QCOMPARE(VTConnectionProbe::reconnectDelay(connection), 5);
    }

    void addressesIpv4FirstThenLiteralFallback()
    {
        QVERIFY(TestSiteSettings::load({Site {{dead()}}}));
        VTConnection connection;
        VTConnectionProbe::setResolvedIps(
            connection, {QHostAddress("10.0.0.1"), QHostAddress("fe80::1"), QHostAddress("10.0.0.2")});
        QCOMPARE(VTConnectionProbe::resolvedIps(connection),
                 (std::vector<QString> {"10.0.0.1", "10.0.0.2", "fe80::1"}));

        Server literal = dead();
        literal.hostName = "no-such-host.invalid";
        literal.server = "10.1.1.1";
        literal.server2 = "10.1.1.2";
        QVERIFY(TestSiteSettings::load({Site {{literal}}}));
        LogCapture log;
        VTConnection fallback;
        VTConnectionProbe::resolveServerToUse(fallback);
        QCOMPARE(VTConnectionProbe::resolvedIps(fallback), (std::vector<QString> {"10.1.1.1", "10.1.1.2"}));
        QVERIFY(log.contains(QtDebugMsg, "is unresolvable"));
    }

    void failedAddressMovesToNextAddressThenNextServer()
    {
        // W's first address refuses, its second is live on the same port; X is live elsewhere.
        TestTlsWebSocketServer* w2 = startServer("127.0.0.2");
        QVERIFY(w2);
        TestTlsWebSocketServer* x = startServer();
        QVERIFY(x);
        Server w = live(w2);
        w.server = "127.0.0.1";
        w.server2 = "127.0.0.2";
        QVERIFY(TestSiteSettings::load({Site {{w, live(x)}}}));

        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QSignalSpy changedSpy(&connection, &VTConnection::serverChanged);
        QVERIFY(opened(connection, connectedSpy));
        QCOMPARE(w2->connectionCount(), 1);
        QCOMPARE(VTConnectionProbe::currentIndex(connection), 0);
        QCOMPARE(connection.getCurrentServer()->m_serverInUse, QString("127.0.0.2"));

        // A long session keeps W; then both its addresses refuse and the second failure moves on.
        TestSeam shortSession(VTConnection::s_shortSessionMs, 1);
        w2->stop();
        QTRY_COMPARE(x->connectionCount(), 1);
        QTRY_COMPARE(connectedSpy.count(), 2);
        QCOMPARE(VTConnectionProbe::currentIndex(connection), 1);
        QVERIFY(changedSpy.count() >= 1);
    }

    void serverWithoutAddressIsPassedOver()
    {
        // A server record that failed to load for want of an address still takes its turn.
        TestTlsWebSocketServer* x = startServer();
        QVERIFY(x);
        Server broken = dead();
        broken.server.clear();
        QVERIFY(TestSiteSettings::load({Site {{broken, live(x)}}}));

        LogCapture log;
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(opened(connection, connectedSpy));
        QCOMPARE(VTConnectionProbe::currentIndex(connection), 1);
        QVERIFY(log.contains(QtDebugMsg, "Hostname is missing"));
    }

    void shortSessionMovesRotationLongOneStays_data()
    {
        QTest::addColumn<int>("shortSessionMs");
        QTest::addColumn<bool>("moves");
        QTest::newRow("short") << 60000 << true;
        QTest::newRow("long") << 1 << false;
    }

    void shortSessionMovesRotationLongOneStays()
    {
        QFETCH(int, shortSessionMs);
        QFETCH(bool, moves);
        TestSeam shortSession(VTConnection::s_shortSessionMs, shortSessionMs);

        TestTlsWebSocketServer* w = startServer();
        TestTlsWebSocketServer* x = startServer();
        QVERIFY(w && x);
        QVERIFY(TestSiteSettings::load({Site {{live(w), live(x)}}}));

        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        int indexAfterDisconnect = -1;
        bool addressesDropped = false;
        connect(&connection, &VTConnection::disconnected, this, [&]() {
            indexAfterDisconnect = VTConnectionProbe::currentIndex(connection);
            addressesDropped = VTConnectionProbe::resolvedIps(connection).empty();
        });
        QVERIFY(opened(connection, connectedSpy));
        w->closeClient();
        QTRY_VERIFY(indexAfterDisconnect >= 0);
        QCOMPARE(indexAfterDisconnect, moves ? 1 : 0);
        // A session that was established drops the addresses so the name is looked up afresh.
        QVERIFY(addressesDropped);
        QTRY_COMPARE(connectedSpy.count(), 2);
        QCOMPARE(w->connectionCount(), moves ? 1 : 2);
        QCOMPARE(x->connectionCount(), moves ? 1 : 0);
    }

    void drawnWaitsSpreadOverTheirWindow_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("failedRounds");
        QTest::addColumn<int>("lowMs");
        QTest::addColumn<int>("highMs");

        QTest::newRow("interval 10") << 10 << 0 << 2500 << 17500;
        QTest::newRow("two failed rounds: still the interval") << 10 << 2 << 2500 << 17500;
        QTest::newRow("third failed round doubles") << 10 << 3 << 5000 << 35000;
        QTest::newRow("capped at four intervals") << 10 << 50 << 10000 << 70000;
        QTest::newRow("capped at two minutes") << 60 << 50 << 30000 << 210000;
        QTest::newRow("a long interval never shrinks") << 600 << 50 << 150000 << 1050000;
        QTest::newRow("never under a second") << 1 << 0 << 1000 << 1750;
        QTest::newRow("at once: a quarter second at most") << 0 << 0 << 0 << 250;
    }

    void drawnWaitsSpreadOverTheirWindow()
    {
        QFETCH(int, interval);
        QFETCH(int, failedRounds);
        QFETCH(int, lowMs);
        QFETCH(int, highMs);
        ReconnectWait wait;
        for (int round = 0; round < failedRounds; ++round) {
            wait.roundFailed(interval);
        }
        std::vector<int> draws;
        for (int i = 0; i < 500; ++i) {
            draws.push_back(interval == 0 ? wait.drawImmediateMs() : wait.drawMs(interval, 1000));
        }
        const auto [least, most] = std::minmax_element(draws.begin(), draws.end());
        QVERIFY2(*least >= lowMs && *most <= highMs, qPrintable(QString("%1..%2").arg(*least).arg(*most)));
        // Both ends of the window are reached: a fleet spreads over all of it, not around one value.
        const int tenth = (highMs - lowMs) / 10;
        QVERIFY2(*least<lowMs + tenth&& * most> highMs - tenth, qPrintable(QString("%1..%2").arg(*least).arg(*most)));
    }

    void waitGrowsUntilASessionLasts_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::newRow("refused") << "refused";
        QTest::newRow("accepted and closed before TLS") << "closed";
        QTest::newRow("session accepted, then dropped at once: one TCP connection per attempt") << "dropped";
    }

    void waitGrowsUntilASessionLasts()
    {
        QFETCH(QString, failure);
        TestSeam lasting(ReconnectWait::s_lastingSessionMs, 60000);
        const quint16 port = closedPort();
        QTcpServer closing;
        TestTlsWebSocketServer* dropping = nullptr;
        if (failure == "closed") {
            QVERIFY(closing.listen(QHostAddress::LocalHost, port));
            connect(&closing, &QTcpServer::newConnection, this, [&]() {
                while (QTcpSocket* socket = closing.nextPendingConnection()) {
                    socket->close();
                    socket->deleteLater();
                }
            });
        } else if (failure == "dropped") {
            dropping = startServerOn(port);
            QVERIFY(dropping);
            connect(dropping, &TestTlsWebSocketServer::clientConnected, this,
                    [dropping](QWebSocket* client) { dropping->abortClient(client); });
        }
        Server server = pinned(port, 1);
        server.server = "127.0.0.1";
        QVERIFY(TestSiteSettings::load({Site {{server}}}));

        LogCapture log;
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(connection.open());
        // Doubled from the third failed round on, up to four intervals, and no further.
        QTRY_VERIFY_WITH_TIMEOUT(VTConnectionProbe::failedRounds(connection) >= 6, 20000);
        QCOMPARE(VTConnectionProbe::waitCentreSeconds(connection), 4);
        // Once per change of wait (2 s, then 4 s), not once per attempt.
        int changes = 0;
        int attempts = 0;
        for (const auto& message : log.messages()) {
            changes += message.second.startsWith("Reconnect wait is now about ") ? 1 : 0;
            attempts += message.second.contains("Connecting to server:") ? 1 : 0;
        }
        QCOMPARE(changes, 2);
        QVERIFY(log.contains(QtWarningMsg, "Reconnect wait is now about 4 s"));
        if (dropping) {
            // The log line comes just before its connection, which may not be accepted yet.
            const int tcp = dropping->tlsHandshakeCount() + dropping->failedHandshakeCount();
            QVERIFY2(tcp == attempts || tcp == attempts - 1,
                     qPrintable(QString("%1 TCP connections for %2 attempts").arg(tcp).arg(attempts)));
        }
        closing.close();

        // A session that lasts brings the wait back to the interval.
        if (dropping) {
            disconnect(dropping, &TestTlsWebSocketServer::clientConnected, this, nullptr);
        } else {
            dropping = startServerOn(port);
            QVERIFY(dropping);
        }
        const int sessions = connectedSpy.count();
        QTRY_VERIFY_WITH_TIMEOUT(connectedSpy.count() > sessions, 20000);
        // Every session lasts now, and one that lasted keeps its server.
        TestSeam nowLasting(ReconnectWait::s_lastingSessionMs, 0);
        TestSeam longSession(VTConnection::s_shortSessionMs, 1);
        dropping->closeClient();
        QTRY_COMPARE(VTConnectionProbe::failedRounds(connection), 0);
        QCOMPARE(VTConnectionProbe::waitCentreSeconds(connection), 1);
    }

    void httpErrorEndsAttemptAtOnce_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("503") << QByteArray("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
        QTest::newRow("200 without upgrade") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        QTest::newRow("101 with a wrong key")
            << QByteArray("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Accept: d3Jvbmc=\r\n\r\n");
    }

    void httpErrorEndsAttemptAtOnce()
    {
        QFETCH(QByteArray, answer);
        TestTlsWebSocketServer* busy = startServer();
        QVERIFY(busy);
        busy->setRawAnswer(answer);
        QVERIFY(TestSiteSettings::load({Site {{live(busy, 60)}}}));

        LogCapture log;
        VTConnection connection;
        QSignalSpy disconnectedSpy(&connection, &VTConnection::disconnected);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(connection.open());
        // Far sooner than the 30 s an unanswered attempt is given.
        QVERIFY(disconnectedSpy.wait(10000));
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(busy->rawAnswerCount(), 1);
        QVERIFY(log.contains(QtCriticalMsg, "The following error occurred: "));
        QCOMPARE(connection.getSocket()->state(), QAbstractSocket::UnconnectedState);
    }

    void reconnectWaitsForInterval()
    {
        TestSeam slowReconnect(VTConnection::s_msPerReconnectSecond, 100);
        TestTlsWebSocketServer* w = startServer();
        QVERIFY(w);
        QVERIFY(TestSiteSettings::load({Site {{live(w, 4)}}}));

        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(opened(connection, connectedSpy));
        TestSeam shortSession(VTConnection::s_shortSessionMs, 1);
        QElapsedTimer clock;
        clock.start();
        w->closeClient();
        QTRY_COMPARE(connectedSpy.count(), 2);
        // Four seconds of interval at 100 ms each, drawn from a quarter to one and three quarters
        // of it: no sooner, and no busy retrying meanwhile.
        QVERIFY2(clock.elapsed() >= 95, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(w->tlsHandshakeCount(), 2);
    }

    void everyFailedAttemptIsRetried_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("silent peer, given up at once") << "silent";
        QTest::newRow("port out of range: error, no disconnection") << "port";
        QTest::newRow("resource without leading slash") << "resource";
    }

    void everyFailedAttemptIsRetried()
    {
        QFETCH(QString, fault);
        // Real seconds: only an immediate retry, never the minute-long interval, can pass.
        TestSeam realSeconds(VTConnection::s_msPerReconnectSecond, 1000);
        TestSeam shortConnect(VTConnection::s_connectTimeoutMs, 300);
        TestTlsWebSocketServer* live = startServer("127.0.0.2");
        QVERIFY(live);
        Server first = this->live(live, 60);
        QTcpServer silent;
        Site site {{first}};
        if (fault == "silent") {
            // TCP is accepted on the first address, and no TLS answer ever comes.
            QVERIFY(silent.listen(QHostAddress("127.0.0.1"), live->port()));
            site.servers[0].server = "127.0.0.1";
            site.servers[0].server2 = "127.0.0.2";
        } else if (fault == "port") {
            // The move to the live server brings its interval, one second here.
            Server broken = dead();
            broken.port = 70000;
            site.servers = {broken, this->live(live, 1)};
        } else {
            site.resource = "vt";
        }
        QVERIFY(TestSiteSettings::load({site}));

        LogCapture log;
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(connection.open());
        QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 1, 10000);
        QCOMPARE(live->lastRequestPath(), QString("/vt"));
        if (fault == "silent") {
            QVERIFY(log.contains(QtCriticalMsg, "Socket operation timed out"));
        }
    }

    void redirectReconnectsAtOnceToTarget()
    {
        TestSeam slowReconnect(VTConnection::s_msPerReconnectSecond, 1000);
        TestTlsWebSocketServer* w = startServer();
        TestTlsWebSocketServer* target = startServer();
        QVERIFY(w && target);
        QVERIFY(TestSiteSettings::load({Site {{live(w, 60)}}}));

        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(opened(connection, connectedSpy));

        VTServer redirected = *connection.getCurrentServer();
        redirected.resetForRedirect();
        redirected.m_server = "127.0.0.1";
        redirected.m_port = target->port();
        redirected.m_cert = m_pinned;
        redirected.m_reconnectInterval = 60;
        connection.redirect(redirected);
        QTRY_COMPARE_WITH_TIMEOUT(target->connectionCount(), 1, 3000);
        QTRY_COMPARE(connectedSpy.count(), 2);
        QCOMPARE(w->connectionCount(), 1);
        QCOMPARE(VTConnectionProbe::currentIndex(connection), 0);
    }

    void skipSitePassesRestOfSite()
    {
        TestSeam slowReconnect(VTConnection::s_msPerReconnectSecond, 1000);
        TestTlsWebSocketServer* w = startServer();
        TestTlsWebSocketServer* x = startServer();
        TestTlsWebSocketServer* y = startServer();
        QVERIFY(w && x && y);
        QVERIFY(TestSiteSettings::load({Site {{live(w, 60), live(x, 60)}}, Site {{live(y, 60)}}}));

        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        VTConnectionProbe::moveToNextServer(connection);
        QVERIFY(opened(connection, connectedSpy));
        QCOMPARE(x->connectionCount(), 1);

        LogCapture log;
        connection.skipSite();
        QVERIFY(log.contains(QtCriticalMsg, "This is a foreign site, move to next one"));
        QCOMPARE(VTConnectionProbe::currentIndex(connection), 3);
        QTRY_COMPARE_WITH_TIMEOUT(y->connectionCount(), 1, 3000);
        QTRY_COMPARE(connectedSpy.count(), 2);
        QCOMPARE(w->connectionCount(), 0);
    }

    void skipSiteWithOneSiteChangesNothing()
    {
        TestTlsWebSocketServer* w = startServer();
        QVERIFY(w);
        QVERIFY(TestSiteSettings::load({Site {{live(w)}}}));
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QSignalSpy disconnectedSpy(&connection, &VTConnection::disconnected);
        QVERIFY(opened(connection, connectedSpy));

        LogCapture log;
        connection.skipSite();
        QVERIFY(log.contains(QtCriticalMsg, "This is a foreign site, but there's just one site configured"));
        // A skip closes the socket at once: the connection would not answer a ping any more.
        QVERIFY(w->roundTrip());
        QCOMPARE(disconnectedSpy.count(), 0);
        QCOMPARE(w->clients().size(), 1);
    }

    void settingsChangeReconnectsOnNewClientAuthHint_data()
    {
        QTest::addColumn<QString>("newOid");
        QTest::addColumn<bool>("reconnects");
        QTest::newRow("same hint") << "1.2.3" << false;
        QTest::newRow("different hint") << "1.2.4" << true;
    }

    void settingsChangeReconnectsOnNewClientAuthHint()
    {
        QFETCH(QString, newOid);
        QFETCH(bool, reconnects);

        TestSeam slowReconnect(VTConnection::s_msPerReconnectSecond, 1000);
        TestTlsWebSocketServer* w = startServer();
        TestTlsWebSocketServer* y = startServer();
        QVERIFY(w && y);
        Site first {{live(w, 60)}, "1.2.3"};
        QVERIFY(TestSiteSettings::load({first}));
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(opened(connection, connectedSpy));

        // A config response replaces the sites: W stays first, Y is added as a second site.
        Site changed {{live(w, 60)}, newOid};
        const QJsonObject response {
            {"msg", QJsonObject {{"sites", TestSiteSettings::toJson({changed, Site {{live(y)}}})}}}};
        QCOMPARE(VTSettings::instance()->loadFromJson(response), 0);
        LogCapture log;
        connection.onSettingsChanged();
        QCOMPARE(VTConnectionProbe::serverIndexes(connection), (QList<Index> {{0, 0}, {1, 0}}));
        QCOMPARE(VTConnectionProbe::currentIndex(connection), 0);
        QCOMPARE(log.contains(QtDebugMsg, "connected with a different client certificate oid hint - reconnecting"),
                 reconnects);
        if (reconnects) {
            QTRY_COMPARE_WITH_TIMEOUT(connectedSpy.count(), 2, 3000);
            QCOMPARE(w->connectionCount(), 2);
        } else {
            // A reconnect closes the socket at once: the connection would not answer a ping any more.
            QVERIFY(w->roundTrip());
            QCOMPARE(connectedSpy.count(), 1);
            QCOMPARE(w->connectionCount(), 1);
        }
    }

    void certificateMissingStopsOutsideDebugOnly_data()
    {
        QTest::addColumn<bool>("debug");
        QTest::newRow("release") << false;
        QTest::newRow("debug: plain ws") << true;
    }

    void certificateMissingStopsOutsideDebugOnly()
    {
        QFETCH(bool, debug);
        QWebSocketServer plain("plain", QWebSocketServer::NonSecureMode);
        QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
        QSignalSpy plainSpy(&plain, &QWebSocketServer::newConnection);
        Server spec;
        spec.port = plain.serverPort();
        spec.cert = "not a certificate";
        QVERIFY(TestSiteSettings::load({Site {{spec}}}, debug));

        LogCapture log;
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QCOMPARE(connection.open(), debug);
        QCOMPARE(log.contains(QtCriticalMsg, "Unable to load certificate"), !debug);
        if (debug) {
            QTRY_COMPARE(connectedSpy.count(), 1);
            QVERIFY(log.containsText(QString("ws://127.0.0.1:%1/vt").arg(spec.port)));
        } else {
            // Neither an attempt under way nor one scheduled: nothing can reach the server later.
            QCOMPARE(connection.getSocket()->state(), QAbstractSocket::UnconnectedState);
            QVERIFY(!VTConnectionProbe::isReconnectScheduled(connection));
            QCOMPARE(plainSpy.count(), 0);
        }
    }

    void unloadableFirstCertificateDoesNotStopStart()
    {
        TestTlsWebSocketServer* x = startServer();
        QVERIFY(x);
        Server unloadable = dead();
        unloadable.cert = "not a certificate";
        QVERIFY(TestSiteSettings::load({Site {{unloadable, live(x)}}}));
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(connection.open());
        QTRY_COMPARE(connectedSpy.count(), 1);
        QCOMPARE(x->connectionCount(), 1);
    }

    void unloadableCertificateIsPassedOverOnReconnect()
    {
        TestTlsWebSocketServer* w = startServer();
        QVERIFY(w);
        Server unloadable = dead();
        unloadable.cert = "not a certificate";
        QVERIFY(TestSiteSettings::load({Site {{live(w), unloadable}}}));

        LogCapture log;
        VTConnection connection;
        QSignalSpy connectedSpy(&connection, &VTConnection::connected);
        QVERIFY(connection.open());
        QTRY_COMPARE(connectedSpy.count(), 1);
        // A short session moves the rotation onto the server whose certificate cannot be loaded.
        w->closeClient();
        QTRY_VERIFY(log.contains(QtCriticalMsg, "Unable to load certificate"));
        QTRY_COMPARE(connectedSpy.count(), 2);
        QCOMPARE(w->connectionCount(), 2);
    }
};

QTEST_GUILESS_MAIN(TestVTConnection)
#include "tst_vtconnection.moc"
