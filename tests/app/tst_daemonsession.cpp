#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestHttpServer.h"
#include "TestInstanceLock.h"
#include "TestManagementServer.h"
#include "TestProgramDir.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

const auto body = &TestManagementServer::body;

// The real daemon, started from a program directory of its own, in a whole session with a
// management server on this machine.
class TestDaemonSession : public QObject
{
    Q_OBJECT

private:
    TestInstanceLock m_lock;
    QTemporaryDir m_dir;
    TestCertificates m_certs {m_dir.path()};

    QByteArray pem(const QString& name) { return TestFiles::read(m_certs.certPath(name)); }
    bool listen(TestManagementServer& server, const QString& name)
    {
        return server.listen(m_certs.certPath(name), m_certs.keyPath(name));
    }
    QProcess* startDaemon(TestProgramDir& program, const TestManagementServer& server, const QByteArray& certPem)
    {
        const QJsonObject settings {
            {"app_type", "daemon"},
            {"visible", false},
            {"sites", QJsonArray {TestManagementServer::siteFor("127.0.0.1", server.port(), certPem, 60)}}};
        if (!program.writeSettings(QJsonDocument(settings).toJson()))
            return nullptr;
        return program.start({"-daemon"});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_lock.isLocked());
        QVERIFY(m_dir.isValid());
        for (const char* name : {"a", "b"})
            QVERIFY(m_certs.makeCert(name, QString(), "localhost", {"DNS:localhost", "IP:127.0.0.1"}));
    }

    void wholeSessionAndSavedConfiguration()
    {
        TestProgramDir program;
        QVERIFY(program.isValid());
        TestManagementServer server;
        QVERIFY(listen(server, "a"));
        server.setKpaInterval(1);
        QVERIFY(startDaemon(program, server, pem("a")));

        QVERIFY2(server.waitForType("kpa", 20000, 2), qPrintable(program.log().right(3000)));
        const QList<QJsonObject> messages = server.received();
        QCOMPARE(TestManagementServer::bodyType(messages[0]), QString("config_request"));
        QCOMPARE(TestManagementServer::bodyType(messages[1]), QString("init"));
        QCOMPARE(body(messages[1]).value("vt_version").toString(), QString("10.0.9002"));
        QVERIFY(body(messages[1]).contains("mac"));
        QCOMPARE(TestManagementServer::bodyType(messages[2]), QString("kpa"));
        QCOMPARE(server.textFrameCount(), 0);

        // The server's configuration replaced the file's, keep-alive interval included.
        const QJsonObject saved = QJsonDocument::fromJson(TestFiles::read(program.settingsPath())).object();
        QCOMPARE(saved["sites"][0]["servers"][0]["kpa_interval"].toInt(), 1);
        QVERIFY(TestFiles::read(program.settingsPath()).contains("\"visible\": false"));
        // Saved for root alone: it holds the exit password's digest and salt.
        QCOMPARE(QFile::permissions(program.settingsPath()) & 0x0077, QFile::Permissions());
    }

    void requestsOverTheWire()
    {
        TestProgramDir program;
        QVERIFY(program.isValid());
        // A stop script of the test's own, so that the shutdown leaves a trace instead of a corpse.
        const QString stopMarker = program.path() + "/stopped.marker";
        QVERIFY(TestFiles::write(program.path() + "/stopVt.sh",
                                 "#!/bin/sh\necho stopped > '" + stopMarker.toUtf8() + "'\n",
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        // A long log from earlier runs: only its tail may travel.
        QDir().mkpath(program.path() + "/log");
        QByteArray history;
        for (int line = 0; history.size() < 1024 * 1024; ++line)
            history += "earlier line " + QByteArray::number(line) + "\n";
        QVERIFY(TestFiles::write(program.logPath(), history));

        TestManagementServer server;
        QVERIFY(listen(server, "a"));
        QProcess* daemon = startDaemon(program, server, pem("a"));
        QVERIFY(daemon);
        QVERIFY2(server.waitForType("kpa", 20000), qPrintable(program.log().right(3000)));

        // A field group: two answers for one field asked.
        QString id
            = server.sendRequest({{"type", "resolve_request"}, {"fields", QJsonObject {{"user", QJsonValue()}}}});
        QList<QJsonObject> answers = server.waitForAnswers(id, 2, 15000);
        QCOMPARE(answers.size(), 2);
        QStringList fields {body(answers[0])["fields"].toObject().keys().value(0),
                            body(answers[1])["fields"].toObject().keys().value(0)};
        fields.sort();
        QCOMPARE(fields, QStringList({"linux_logged_users", "user"}));

        // A password with a blank after the colon: masked in the answer and in the log file.
        const QString scriptId = "SCRIPT-1";
        server.sendText("{\"msg_info\":{\"id\":\"" + scriptId
                        + "\",\"src\":\"server\",\"dst\":\"127.0.0.1\",\"type\":\"proxy\"},"
                          "\"msg\":{\"type\":\"action_request\",\"name\":\"linux_run_script\",\"origid\":\"S1\","
                          "\"params\":{\"run_command\":\"true # script-credential\",\"run_as_root\":false,"
                          "\"sudo_password\": \"wire-secret\"}}}");
        answers = server.waitForAnswers(scriptId, 1, 15000);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(body(answers[0]).value("action_succeeded").toString(), QString("true"));
        QCOMPARE(body(answers[0]).value("params").toObject().value("sudo_password").toString(), QString(16, '*'));
        QVERIFY(program.waitForLog("Message received: ", 5000));
        QVERIFY(!program.log().contains("wire-secret"));
        QVERIFY(!program.log().contains("script-credential"));

        id = server.sendRequest({{"type", "troubleshoot"}, {"params", QJsonObject {{"log", true}}}});
        answers = server.waitForAnswers(id, 1, 15000);
        QCOMPARE(answers.size(), 1);
        const QString tail = body(answers[0]).value("params").toObject().value("log").toString();
        QCOMPARE(tail.size(), 500000);
        QVERIFY(program.log().contains(tail));
        QVERIFY(!tail.contains("earlier line 0\n"));

        id = server.sendRequest(
            {{"type", "action_request"}, {"name", "agent_shut_down"}, {"origid", "X1"}, {"params", QJsonObject {}}});
        answers = server.waitForAnswers(id, 1, 15000);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(body(answers[0]).value("action_succeeded").toString(), QString("true"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(stopMarker), 10000);
    }

    void upgradeThroughHttps()
    {
        TestProgramDir program;
        QVERIFY(program.isValid());
        TestManagementServer server;
        QVERIFY(listen(server, "a"));
        QProcess* daemon = startDaemon(program, server, pem("a"));
        QVERIFY(daemon);
        QVERIFY2(server.waitForType("kpa", 20000), qPrintable(program.log().right(3000)));

        // An upgrade package whose update script only records how it was started.
        QTemporaryDir packageDir;
        const QString argsFile = program.path() + "/upgrade.args";
        QDir().mkpath(packageDir.path() + "/Update");
        // The script also names where it was unpacked, so that the test can remove what the
        // daemon leaves behind for it in the shared temporary directory.
        const QString whereFile = program.path() + "/upgrade.where";
        QVERIFY(TestFiles::write(packageDir.path() + "/Update/update.sh",
                                 "#!/bin/bash\necho \"$0\" > '" + whereFile.toUtf8() + "'\necho \"$@\" > '"
                                     + argsFile.toUtf8() + "'\n"));
        QCOMPARE(QProcess::execute("tar", {"-czf", packageDir.path() + "/pkg.tgz", "-C", packageDir.path(), "Update"}),
                 0);
        // Served with the management server's own certificate, which the daemon trusts for it.
        TestHttpServer http;
        QVERIFY(http.startTls(m_certs.certPath("a"), m_certs.keyPath("a")));
        http.setRoute("/agent/update_64.tgz", TestFiles::read(packageDir.path() + "/pkg.tgz"));
        const QString id = server.sendRequest({{"type", "action_request"},
                                               {"name", "upgrade_linux_vt"},
                                               {"origid", "U1"},
                                               {"params", QJsonObject {{"url", http.url("/agent/update.tgz")}}}});
        const QList<QJsonObject> answers = server.waitForAnswers(id, 1, 30000);
        QCOMPARE(answers.size(), 1);
        QCOMPARE(body(answers[0]).value("action_succeeded").toString(), QString("true"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(argsFile), 10000);
        QCOMPARE(QString::fromUtf8(TestFiles::read(argsFile)).trimmed(),
                 QString("-pid %1 -path %2 -t daemon -v 0").arg(daemon->processId()).arg(program.path()));
        // <upgrade directory>/Update/update.sh
        QDir unpacked = QFileInfo(QString::fromUtf8(TestFiles::read(whereFile)).trimmed()).dir();
        QVERIFY2(unpacked.cdUp() && unpacked.dirName().startsWith("upgrade_pkg"), qPrintable(unpacked.path()));
        QVERIFY(unpacked.removeRecursively());
    }

    void reconfigureMovesToSecondServer()
    {
        TestProgramDir program;
        QVERIFY(program.isValid());
        TestManagementServer first;
        TestManagementServer second;
        QVERIFY(listen(first, "a"));
        QVERIFY(listen(second, "b"));
        QVERIFY(startDaemon(program, first, pem("a")));
        QVERIFY2(first.waitForType("kpa", 20000), qPrintable(program.log().right(3000)));

        first.sendRequest({{"type", "reconfigure"},
                           {"params",
                            QJsonObject {{"redirect",
                                          QJsonObject {{"new_ip", "127.0.0.1"},
                                                       {"new_port", second.port()},
                                                       {"new_cert", QString::fromUtf8(pem("b"))}}}}}});
        QVERIFY2(second.waitForType("init", 20000), qPrintable(program.log().right(3000)));
        QVERIFY(first.disconnectionCount() >= 1);
    }

    // What the README's main command shows: the daemon answering a server on this machine.
    void demoServerRunsASession()
    {
        QTemporaryDir program;
        QProcess demo;
        demo.setProcessChannelMode(QProcess::MergedChannels);
        demo.start(VT_DEMO_SERVER, {"--executable", VT_EXECUTABLE, "--program-dir", program.path(), "--seconds", "3"});
        QVERIFY(demo.waitForFinished(60000));
        const QString output = QString::fromUtf8(demo.readAll());
        QVERIFY2(demo.exitCode() == 0, qPrintable(output.right(2000)));
        QVERIFY(output.contains("\"type\":\"init\""));
        QVERIFY(output.contains("\"linux_script_result\":\"Linux"));
        QVERIFY(output.contains("\"type\":\"troubleshoot_response\""));
    }
};

QTEST_GUILESS_MAIN(TestDaemonSession)
#include "tst_daemonsession.moc"
