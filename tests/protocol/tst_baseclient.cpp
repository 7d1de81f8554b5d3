#include "LogCapture.h"
#include "TestFiles.h"
#include "TestHttpServer.h"
#include "TestManagementServer.h"
#include "TestSeam.h"
#include "TestSession.h"
#include "connection/VTConnection.h"
#include "performers/ScriptFile.h"
#include "protocol/BaseClient.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

const auto body = &TestManagementServer::body;

// The session phases on a fresh connection each: configuration, init, keep-alive and its
// answer time-out, redirects and drops, against a management server on loopback.
class TestBaseClient : public QObject
{
    Q_OBJECT

private:
    TestSession m_session;
    QByteArray m_pemA;
    QByteArray m_pemB;
    TestSeam<int> m_reconnectSecond {VTConnection::s_msPerReconnectSecond, 50};

    bool listen(TestManagementServer& server, const QString& cert)
    {
        return server.listen(m_session.certs().certPath(cert), m_session.certs().keyPath(cert));
    }
    QJsonObject siteOf(const TestManagementServer& server, const QByteArray& pem, int kpaInterval = 60)
    {
        return TestManagementServer::siteFor("127.0.0.1", server.port(), pem, kpaInterval);
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationVersion("10.0.9002");
        QVERIFY(m_session.isValid());
        QVERIFY(m_session.makeServerCert("a"));
        QVERIFY(m_session.makeServerCert("b"));
        m_pemA = m_session.certPem("a");
        m_pemB = m_session.certPem("b");
    }

    void cleanup() { m_session.stop(); }

    void sessionRequestsConfigThenInitsThenKeepsAlive()
    {
        TestManagementServer server;
        QVERIFY(listen(server, "a"));
        // The server's configuration shortens the interval, so a second kpa a second later shows
        // that the configuration took effect.
        server.setKpaInterval(1);
        QVERIFY(m_session.loadSettings({siteOf(server, m_pemA, 60)}));
        QVERIFY(m_session.start());
        QSignalSpy initialized(m_session.client(), &BaseClient::initialized);
        QSignalSpy connected(m_session.client(), &BaseClient::connected);

        QVERIFY(server.waitForType("kpa", 10000, 2));
        const QList<QJsonObject> messages = server.received();
        QCOMPARE(TestManagementServer::bodyType(messages[0]), QString("config_request"));
        QCOMPARE(body(messages[0]), QJsonObject({{"type", "config_request"}}));

        QCOMPARE(TestManagementServer::bodyType(messages[1]), QString("init"));
        const QJsonObject init = body(messages[1]);
        QVERIFY(init.contains("mac"));
        QCOMPARE(init.value("ip").toString(), QString("127.0.0.1"));
        QCOMPARE(init.value("ip"), messages[1].value("msg_info").toObject().value("src"));
        QCOMPARE(init.value("vt_version").toString(), QString("10.0.9002"));

        QCOMPARE(TestManagementServer::bodyType(messages[2]), QString("kpa"));
        const QJsonObject kpa = body(messages[2]);
        const double time = kpa.value("time").toDouble();
        QCOMPARE(time, std::floor(time));
        QVERIFY(qAbs(time - QDateTime::currentSecsSinceEpoch()) < 30);
        const QJsonObject stats = kpa.value("stats").toObject();
        const QRegularExpression figure("^\\d+\\.\\d\\d$");
        QVERIFY(figure.match(stats.value("cpu_usage").toString()).hasMatch());
        QVERIFY(figure.match(stats.value("mem_usage").toString()).hasMatch());

        // Everything the agent sends goes as binary frames.
        QCOMPARE(server.textFrameCount(), 0);
        QCOMPARE(connected.count(), 1);
        QCOMPARE(initialized.count(), 1);
        QCOMPARE(server.receivedOfType("init").size(), 1);
    }

    void configResponse_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("to the pending request") << "matching" << true;
        QTest::newRow("with a foreign id") << "foreign" << false;
        QTest::newRow("after the time-out") << "late" << false;
    }

    void configResponse()
    {
        QFETCH(QString, answer);
        QFETCH(bool, accepted);

        TestManagementServer server;
        QVERIFY(listen(server, "a"));
        server.answerConfig = false;
        TestSeam configTimeout(BaseClient::s_configTimeoutMs, accepted ? 10000 : 600);
        QVERIFY(m_session.loadSettings({siteOf(server, m_pemA, 60)}));
        LogCapture log;
        QVERIFY(m_session.start());

        QJsonObject request;
        QVERIFY(
            server.waitFor([](const QJsonObject& m) { return TestManagementServer::bodyType(m) == "config_request"; },
                           10000, &request));
        if (answer == "late") {
            QVERIFY(server.waitForType("init", 5000));
            QVERIFY(log.contains(QtCriticalMsg, "timeout waiting for config response"));
        }

        const QJsonObject newSites {{"type", "config_response"}, {"sites", QJsonArray {siteOf(server, m_pemA, 7)}}};
        server.sendRequest(newSites,
                           answer == "foreign" ? "NOT-THE-PENDING-ID" : TestManagementServer::headerId(request));

        if (accepted) {
            // The answer itself, not the time-out, releases the init.
            QVERIFY(server.waitForType("init", 3000));
            QVERIFY(!log.containsText("timeout waiting for config response"));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(log.contains(QtCriticalMsg, "Unexpected config response id"), 3000);
            QVERIFY(server.waitForType("init", 5000));
            // A second init would have been sent on handling the answer, before the pong.
            QVERIFY(server.transport().roundTrip());
            QCOMPARE(server.receivedOfType("init").size(), 1);
        }
        const QJsonObject saved = QJsonDocument::fromJson(TestFiles::read(m_session.settingsPath())).object();
        const int kpaInterval = saved["sites"][0]["servers"][0]["kpa_interval"].toInt();
        QCOMPARE(kpaInterval, accepted ? 7 : 60);
    }

    void keepAliveAnswer_data()
    {
        QTest::addColumn<QString>("echo");
        QTest::addColumn<bool>("staysOnFirstSite");
        QTest::newRow("echoed with the same id") << "same" << true;
        QTest::newRow("echoed under another id") << "foreign" << false;
        QTest::newRow("not echoed") << "none" << false;
        // The configuration names the same first server again; its drop still counts against it.
        QTest::newRow("dropped soon after the configuration") << "drop" << false;
    }

    void keepAliveAnswer()
    {
        QFETCH(QString, echo);
        QFETCH(bool, staysOnFirstSite);

        TestManagementServer first;
        TestManagementServer second;
        QVERIFY(listen(first, "a"));
        QVERIFY(listen(second, "b"));
        const QJsonArray sites {siteOf(first, m_pemA, 60), siteOf(second, m_pemB, 60)};
        first.setConfigSites(sites);
        second.setConfigSites(sites);
        first.echoKpa = echo != "none";
        first.echoKpaWithForeignId = echo == "foreign";
        // Generous where the echo must arrive in time, short where its absence is the point.
        TestSeam kpaTimeout(BaseClient::s_kpaAnswerTimeoutMs, staysOnFirstSite ? 45000 : 1200);
        QVERIFY(m_session.loadSettings(sites));
        LogCapture log;
        QVERIFY(m_session.start());

        QVERIFY(first.waitForType("kpa", 10000));
        if (echo == "drop")
            first.transport().abortClient();
        if (staysOnFirstSite) {
            // Only the matching echo clears the pending id and stops the answer timer.
            QTRY_VERIFY_WITH_TIMEOUT(m_session.client()->pendingKpaId().isEmpty(), 10000);
            QCOMPARE(second.connectionCount(), 0);
            QCOMPARE(first.disconnectionCount(), 0);
        } else {
            QVERIFY(second.waitForType("config_request", 10000));
            QVERIFY(first.disconnectionCount() >= 1);
            QCOMPARE(log.contains(QtCriticalMsg, "timeout waiting for kpa"), echo != "drop");
        }
    }

    void keepAliveIntervalOutOfRange_data()
    {
        QTest::addColumn<QJsonValue>("interval");
        QTest::newRow("0") << QJsonValue(0);
        QTest::newRow("-5") << QJsonValue(-5);
        QTest::newRow("\"60s\"") << QJsonValue("60s");
    }

    void keepAliveIntervalOutOfRange()
    {
        QFETCH(QJsonValue, interval);
        // The 60-second fallback lasts 300 ms here: a handful of keep-alives, not thousands nor one.
        TestSeam fastKpa(BaseClient::s_msPerKpaSecond, 5);
        TestManagementServer server;
        QVERIFY(listen(server, "a"));
        const QJsonObject site
            = TestManagementServer::siteFor("127.0.0.1", server.port(), m_pemA, 60, {{"kpa_interval", interval}});
        server.setConfigSites({site});
        QVERIFY(m_session.loadSettings({site}));
        LogCapture log;
        QVERIFY(m_session.start());
        QElapsedTimer clock;
        QVERIFY(server.waitForType("kpa", 10000));
        clock.start();
        QVERIFY(server.waitForType("kpa", 10000, 3));
        const int kpas = server.receivedOfType("kpa").size();
        QVERIFY2(kpas <= 3 + clock.elapsed() / 250, qPrintable(QString::number(kpas)));
        QVERIFY(log.contains(QtWarningMsg, "kpa_interval"));
    }

    void reconfigure_data()
    {
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<bool>("moves");

        // Placeholders PORT and CERT are filled in with the second server's values.
        const QJsonObject full {{"new_ip", "127.0.0.1"}, {"new_port", "PORT"}, {"new_cert", "CERT"}};
        QJsonObject byName = full;
        byName.remove("new_ip");
        byName.insert("new_hostname", "localhost");
        QJsonObject noPort = full;
        noPort.remove("new_port");
        QJsonObject noCert = full;
        noCert.remove("new_cert");
        QJsonObject noAddress = full;
        noAddress.remove("new_ip");

        QTest::newRow("address, port and certificate") << QJsonObject {{"redirect", full}, {"kpa_interval", 1}} << true;
        QTest::newRow("host name instead of address")
            << QJsonObject {{"redirect", byName}, {"kpa_interval", 1}} << true;
        QTest::newRow("no redirect") << QJsonObject {{"kpa_interval", 1}} << false;
        QTest::newRow("no address nor host name") << QJsonObject {{"redirect", noAddress}} << false;
        QTest::newRow("no port") << QJsonObject {{"redirect", noPort}} << false;
        QTest::newRow("no certificate") << QJsonObject {{"redirect", noCert}} << false;
    }

    void reconfigure()
    {
        QFETCH(QJsonObject, params);
        QFETCH(bool, moves);

        TestManagementServer first;
        TestManagementServer second;
        QVERIFY(listen(first, "a"));
        QVERIFY(listen(second, "b"));
        // The new server sends no configuration, so the redirect's own keep-alive interval shows.
        second.answerConfig = false;
        TestSeam configTimeout(BaseClient::s_configTimeoutMs, 300);
        QVERIFY(m_session.loadSettings({siteOf(first, m_pemA, 60)}));
        LogCapture log;
        QVERIFY(m_session.start());
        QVERIFY(first.waitForType("kpa", 10000));

        QJsonObject redirect = params.value("redirect").toObject();
        if (redirect.contains("new_port"))
            redirect.insert("new_port", QString::number(second.port()));
        if (redirect.contains("new_cert"))
            redirect.insert("new_cert", QString::fromUtf8(m_pemB));
        if (params.contains("redirect"))
            params.insert("redirect", redirect);
        const QString id = first.sendRequest({{"type", "reconfigure"}, {"params", params}});

        if (moves) {
            QVERIFY(second.waitForType("kpa", 10000, 2));
            const QList<QJsonObject> kpas = second.receivedOfType("kpa");
            const double gap = body(kpas[1]).value("time").toDouble() - body(kpas[0]).value("time").toDouble();
            QVERIFY(gap <= 2);
            QVERIFY(first.disconnectionCount() >= 1);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(log.contains(QtWarningMsg, "Failed to reconfigure."), 3000);
            // A move would drop this connection while handling the request, before the pong.
            QVERIFY(first.transport().roundTrip());
            QCOMPARE(second.connectionCount(), 0);
            QCOMPARE(first.disconnectionCount(), 0);
        }
        // A reconfigure is never answered.
        QVERIFY(first.waitForAnswers(id, 1, 0).isEmpty());
        QVERIFY(second.waitForAnswers(id, 1, 0).isEmpty());
    }

    void droppedConnectionSilencesRunningHandlers()
    {
        TestManagementServer server;
        QVERIFY(listen(server, "a"));
        QVERIFY(m_session.loadSettings({siteOf(server, m_pemA, 60)}));
        QVERIFY(m_session.start());
        QVERIFY(server.waitForType("kpa", 10000));

        // A script download that never gets an answer keeps the action's task busy past the drop.
        // Over https with the management server's own certificate: scripts come over nothing else.
        TestHttpServer silent;
        QVERIFY(silent.startTls(m_session.certs().certPath("a"), m_session.certs().keyPath("a")));
        silent.setSilent(true);
        TestSeam downloadTimeout(ScriptFile::s_downloadTimeoutMs, 2500);

        LogCapture log;
        const QString resolveId = server.sendRequest({{"type", "resolve_request"},
                                                      {"fields", QJsonObject {{"linux_script_result", QJsonValue()}}},
                                                      {"params", QJsonObject {{"run_command", "sleep 2; echo late"}}}});
        const QString actionId = server.sendRequest(
            {{"type", "action_request"},
             {"name", "linux_run_script"},
             {"origid", "drop-1"},
             {"params", QJsonObject {{"download_script", silent.url("/s.sh")}, {"run_as_root", false}}}});
        QTRY_COMPARE_WITH_TIMEOUT(m_session.client()->runningHandlerCount(), 2, 3000);

        server.transport().abortClient();
        // Both tasks end after the drop; their handlers go without answering.
        QTRY_COMPARE_WITH_TIMEOUT(m_session.client()->runningHandlerCount(), 0, 10000);
        int marked = 0;
        for (const auto& message : log.messages())
            marked += message.second.contains("Finished handler is marked for deletion") ? 1 : 0;
        QCOMPARE(marked, 2);

        QVERIFY(server.waitForConnections(2, 10000));
        QVERIFY(server.waitForType("init", 10000, 2));
        QVERIFY(server.waitForAnswers(resolveId, 1, 0).isEmpty());
        QVERIFY(server.waitForAnswers(actionId, 1, 0).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBaseClient)
#include "tst_baseclient.moc"
