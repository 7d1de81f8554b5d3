#include "LogCapture.h"
#include "TestFiles.h"
#include "TestManagementServer.h"
#include "TestSeam.h"
#include "TestSession.h"
#include "connection/VTConnection.h"
#include "handlers/VTResolveHandler.h"
#include "performers/ProcessKillMonitor.h"
#include "protocol/BaseClient.h"
#include "settings/VTSettings.h"

#include <QFile>
#include <QHostInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QUuid>
#include <QWebSocket>
#include <QtTest>

namespace {

const auto body = &TestManagementServer::body;

QString fieldOf(const QJsonObject& answer)
{
    const QJsonObject msg = body(answer);
    const QJsonObject errors = msg.value("errors").toObject();
    if (!errors.isEmpty())
        return errors.keys().first();
    return msg.value("fields").toObject().keys().value(0);
}

} // namespace

// Every kind of server request over one live session, answered by the real handlers and tasks.
class TestHandlers : public QObject
{
    Q_OBJECT

private:
    TestSession m_session;
    TestManagementServer m_server;
    QTemporaryDir m_files;

    QString file(const QString& name, const QByteArray& content = QByteArray())
    {
        const QString path = m_files.filePath(name);
        TestFiles::write(path, content);
        return path;
    }

    // True once everything the session will ever answer to what was sent so far has arrived: it
    // has read all of it, finished every handler, and all it sent before that is here.
    bool settled()
    {
        return m_server.transport().roundTrip()
            && QTest::qWaitFor([this] { return m_session.client()->runningHandlerCount() == 0; }, 10000)
            && m_server.transport().roundTrip();
    }

    // No further answer for `id` may follow the expected ones.
    QList<QJsonObject> answersTo(const QString& id, int expected)
    {
        m_server.waitForAnswers(id, expected, 10000);
        if (!settled())
            return {};
        return m_server.waitForAnswers(id, expected + 1, 0);
    }

private slots:
    void initTestCase()
    {
        QCoreApplication::setApplicationVersion("10.0.9002");
        QVERIFY(m_session.isValid());
        QVERIFY(m_files.isValid());
        QVERIFY(m_session.makeServerCert("server"));
        QVERIFY(m_server.listen(m_session.certs().certPath("server"), m_session.certs().keyPath("server")));
        QVERIFY(m_session.loadSettings(
            {TestManagementServer::siteFor("127.0.0.1", m_server.port(), m_session.certPem("server"), 60)}));
        QVERIFY(m_session.start());
        QVERIFY(m_server.waitForType("kpa", 10000));
    }

    void resolve_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<QStringList>("answered");
        // Exact values for the fields whose value this machine fixes; errors by field.
        QTest::addColumn<QJsonObject>("values");
        QTest::addColumn<QJsonObject>("errors");

        const QString present = file("present.txt", "12345");
        const QString absent = m_files.filePath("absent.txt");
        const QJsonObject onPresent {{"linux_file_name", present}};

        const auto row
            = [](const char* name, const QStringList& fields, const QJsonObject& params, const QStringList& answered,
                 const QJsonObject& values = {}, const QJsonObject& errors = {}) {
                  QTest::newRow(name) << fields << params << answered << values << errors;
              };
        row("file exists", {"linux_file_exists"}, {{"linux_file_exists", onPresent}}, {"linux_file_exists"},
            {{"linux_file_exists", true}});
        row("size of a missing file", {"linux_file_size"},
            {{"linux_file_size", QJsonObject {{"linux_file_name", absent}}}}, {"linux_file_size"},
            {{"linux_file_size", QJsonValue()}}, {{"linux_file_size", "The file does not exists"}});
        row("size and date, one answer each", {"linux_file_size", "linux_file_date"},
            {{"linux_file_size", onPresent}, {"linux_file_date", onPresent}}, {"linux_file_date", "linux_file_size"},
            {{"linux_file_size", 5}});
        row("version, management, host name", {"linux_vt_version", "linux_manage", "linux_hostname"}, {},
            {"linux_hostname", "linux_manage", "linux_vt_version"},
            {{"linux_vt_version", "10.0"}, {"linux_manage", "true"}, {"linux_hostname", QHostInfo::localHostName()}});
        row("operating system and its name", {"linux_operating_system", "os_cpe"}, {},
            {"linux_operating_system", "os_cpe"});
        row("console user brings logged users", {"user"}, {}, {"linux_logged_users", "user"});
        row("logged users brings console user", {"linux_logged_users"}, {}, {"linux_logged_users", "user"});
        row("script output and running processes", {"linux_script_result", "linux_process_running"},
            {{"run_command", "echo resolved"}}, {"linux_process_running", "linux_script_result"});
        row("unknown fields beside a known one", {"no_such_field", "Linux_Manage", "linux_manage"}, {},
            {"Linux_Manage", "linux_manage", "no_such_field"}, {{"linux_manage", "true"}},
            {{"no_such_field", "Unknown field type"}, {"Linux_Manage", "Unknown field type"}});
        row("no fields", {}, {}, {});
    }

    void resolve()
    {
        QFETCH(QStringList, fields);
        QFETCH(QJsonObject, params);
        QFETCH(QStringList, answered);
        QFETCH(QJsonObject, values);
        QFETCH(QJsonObject, errors);

        QJsonObject requestedFields;
        for (const QString& field : fields)
            requestedFields.insert(field, QJsonValue());
        const QJsonObject request {{"type", "resolve_request"}, {"fields", requestedFields}, {"params", params}};
        const QString id = m_server.sendRequest(request);

        const QList<QJsonObject> answers = answersTo(id, answered.size());
        QStringList names;
        for (const QJsonObject& answer : answers) {
            const QString field = fieldOf(answer);
            names << field;
            const QJsonObject header = answer.value("msg_info").toObject();
            QCOMPARE(header.value("src").toString(), QString("127.0.0.1"));
            QCOMPARE(header.value("dst").toString(), QString("server"));
            QCOMPARE(header.value("type").toString(), QString("proxy"));

            const QJsonObject msg = body(answer);
            QCOMPARE(msg.value("type").toString(), QString("resolve_response"));
            QCOMPARE(msg.value("params").toObject(), params);
            if (errors.contains(field))
                QCOMPARE(msg.value("errors").toObject(), QJsonObject({{field, errors.value(field)}}));
            else
                QVERIFY2(!msg.contains("errors"), qPrintable(QJsonDocument(msg).toJson()));

            if (errors.value(field) == QJsonValue("Unknown field type")) {
                // With no task there is no value: the request's fields travel back unchanged.
                QCOMPARE(msg.value("fields").toObject(), requestedFields);
            } else {
                QCOMPARE(msg.value("fields").toObject().keys(), QStringList {field});
                if (values.contains(field))
                    QCOMPARE(msg.value("fields").toObject().value(field), values.value(field));
            }
        }
        names.sort();
        QCOMPARE(names, answered);
    }

    void unknownFieldsLeaveAnswersBounded()
    {
        // Answered in full, these would add up to about 40 MB: every answer echoes the request.
        QJsonObject fields {{"linux_manage", QJsonValue()}};
        for (int i = 0; i < 1000; ++i)
            fields.insert(QString("unknown_%1").arg(i, 4, 10, QChar('0')), QJsonValue());
        const QJsonObject params {{"filler", QString(20000, 'x')}};
        QLoggingCategory::setFilterRules("default.debug=false");
        const QString id = m_server.sendRequest({{"type", "resolve_request"}, {"fields", fields}, {"params", params}});
        const bool answered = m_server.waitFor(
            [&](const QJsonObject& m) {
                return TestManagementServer::headerId(m) == id
                    && body(m).value("fields").toObject().contains("linux_manage");
            },
            30000);
        QLoggingCategory::setFilterRules(QString());
        QVERIFY(answered);

        qint64 bytes = 0;
        int unknownInFull = 0;
        const QList<QJsonObject> answers = m_server.waitForAnswers(id, 0, 0);
        for (const QJsonObject& answer : answers) {
            bytes += QJsonDocument(answer).toJson(QJsonDocument::Compact).size();
            if (body(answer).value("fields").toObject() == fields)
                ++unknownInFull;
        }
        QVERIFY2(bytes <= VTResolveHandler::s_maxAnswerBytes + 100000, qPrintable(QString::number(bytes)));
        QVERIFY(unknownInFull > 0);
        QVERIFY(answers.size() < 1001);
    }

    void passwordsNeverTravelBack_data()
    {
        QTest::addColumn<QByteArray>("msg");
        // Raw text: a blank after the colon, and a second, different value further in.
        QTest::newRow("resolve") << QByteArray(
            "{\"type\":\"resolve_request\",\"fields\":{\"linux_manage\":null},"
            "\"params\": {\"sudo_password\" : \"first-secret\", \"more\":[{\"sudo_password\":\"second-secret\"}]}}");
        QTest::newRow("action") << QByteArray(
            "{\"type\":\"action_request\",\"name\":\"linux_run_script\",\"origid\":\"mask-1\","
            "\"params\":{\"run_command\":\"true\",\"run_as_root\":false,\"sudo_password\": \"first-secret\","
            "\"more\":{\"sudo_password\":\"second-secret\",\"protection_password\":\"third-secret\"}}}");
    }

    void passwordsNeverTravelBack()
    {
        QFETCH(QByteArray, msg);
        LogCapture log;
        const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        m_server.sendText("{\"msg_info\":{\"id\":\"" + id
                          + "\",\"src\":\"server\",\"dst\":\"127.0.0.1\","
                            "\"type\":\"proxy\"},\"msg\":"
                          + QString::fromUtf8(msg) + "}");
        const QList<QJsonObject> answers = m_server.waitForAnswers(id, 1, 10000);
        QCOMPARE(answers.size(), 1);

        const QByteArray sent = QJsonDocument(answers[0]).toJson(QJsonDocument::Compact);
        QVERIFY2(!sent.contains("secret"), sent.constData());
        const QJsonObject params = body(answers[0]).value("params").toObject();
        QCOMPARE(params.value("sudo_password").toString(), QString(16, '*'));
        QVERIFY(sent.contains("\"sudo_password\":\"" + QByteArray(16, '*') + "\""));

        QVERIFY(log.containsText("Message received: "));
        QVERIFY(log.containsText("Message sent: "));
        QVERIFY(!log.containsText("secret"));
    }

    void action_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<QString>("succeeded");
        QTest::addColumn<QString>("error");

        QTest::newRow("script") << "linux_run_script" << QJsonObject {{"run_command", "exit 0"}, {"run_as_root", false}}
                                << QString("true") << QString();
        QTest::newRow("unknown action") << "linux_reformat_disk" << QJsonObject {} << QString("false")
                                        << "Unknown action type";
        QTest::newRow("kill without a program name")
            << "linux_process_kill" << QJsonObject {} << QString("false") << "Wrong JSON format (ProcessKill)";
    }

    void action()
    {
        QFETCH(QString, name);
        QFETCH(QJsonObject, params);
        QFETCH(QString, succeeded);
        QFETCH(QString, error);

        const QJsonObject request {
            {"type", "action_request"}, {"name", name}, {"params", params}, {"origid", "A-1"}, {"calltime", 5}};
        const QString id = m_server.sendRequest(request);
        const QList<QJsonObject> answers = answersTo(id, 1);
        QCOMPARE(answers.size(), 1);

        // The request's body comes back with the outcome set, as text.
        QJsonObject expected = request;
        expected.insert("type", "action_response");
        expected.insert("action_succeeded", succeeded);
        if (!error.isEmpty())
            expected.insert("error", error);
        QCOMPARE(body(answers[0]), expected);
    }

    void killIsRepeatedUntilCancelled()
    {
        TestSeam shortInterval(ProcessKillMonitor::s_intervalMs, 300);
        const QString target = m_files.filePath("vtkilltarget");
        QFile::remove(target);
        QVERIFY(QFile::copy("/bin/sleep", target));
        QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner);

        QProcess victim;
        auto startVictim = [&]() {
            victim.start(target, {"30"});
            return victim.waitForStarted(5000);
        };
        QVERIFY(startVictim());
        const QJsonObject kill {{"type", "action_request"},
                                {"name", "linux_process_kill"},
                                {"origid", "KILL-1"},
                                {"params", QJsonObject {{"linux_process_name", "vtkilltarget"}}}};
        QCOMPARE(body(answersTo(m_server.sendRequest(kill), 1).value(0)).value("action_succeeded").toString(),
                 QString("true"));
        QTRY_COMPARE_WITH_TIMEOUT(victim.state(), QProcess::NotRunning, 5000);

        // Started again, it is killed again by the monitor.
        QVERIFY(startVictim());
        QTRY_COMPARE_WITH_TIMEOUT(victim.state(), QProcess::NotRunning, 5000);

        QJsonObject cancel = kill;
        cancel.insert("cancel", true);
        QCOMPARE(body(answersTo(m_server.sendRequest(cancel), 1).value(0)).value("action_succeeded").toString(),
                 QString("true"));
        QVERIFY(startVictim());
        // A tick of the monitor is what would kill it again: one now runs no killall at all.
        LogCapture log;
        ProcessKillMonitor::instance()->monitorCommands();
        QVERIFY(!log.containsText("\"ProcessKill\""));
        QCOMPARE(victim.state(), QProcess::Running);
        victim.kill();
        victim.waitForFinished(5000);
    }

    void troubleshoot_data()
    {
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<QString>("logFile");
        // The expected "log" text; empty for none.
        QTest::addColumn<QString>("expectedLog");

        QByteArray large;
        for (int line = 0; large.size() < 2 * 1024 * 1024; ++line)
            large += "log line " + QByteArray::number(line) + "\n";
        const QByteArray small(10 * 1024, 'x');

        QTest::newRow("statistics only") << QJsonObject {} << file("none.log") << QString();
        QTest::newRow("extra keys echoed") << QJsonObject {{"ticket", "T-7"}} << file("none.log") << QString();
        QTest::newRow("tail of a large log")
            << QJsonObject {{"log", true}} << file("large.log", large) << QString::fromUtf8(large.right(500000));
        QTest::newRow("small log whole") << QJsonObject {{"log", false}} << file("small.log", small)
                                         << QString::fromUtf8(small);
        QTest::newRow("unreadable log") << QJsonObject {{"log", true}} << m_files.filePath("missing/none.log")
                                        << QString("Failed to read log file");
    }

    void troubleshoot()
    {
        QFETCH(QJsonObject, params);
        QFETCH(QString, logFile);
        QFETCH(QString, expectedLog);

        VTSettings::instance()->setLogFilePath(logFile);
        LogCapture log;
        const QString id = m_server.sendRequest({{"type", "troubleshoot"}, {"params", params}});
        const QList<QJsonObject> answers = answersTo(id, 1);
        QCOMPARE(answers.size(), 1);

        const QJsonObject msg = body(answers[0]);
        QCOMPARE(msg.value("type").toString(), QString("troubleshoot_response"));
        const QJsonObject answered = msg.value("params").toObject();
        QVERIFY(answered.value("total_tasks_count").isDouble());
        QVERIFY(answered.value("ongoing_tasks").isArray());
        QVERIFY(answered.value("tasks_stats").isArray());
        for (auto it = params.begin(); it != params.end(); ++it)
            if (it.key() != "log")
                QCOMPARE(answered.value(it.key()), it.value());
        if (expectedLog.isEmpty()) {
            QVERIFY(!answered.contains("log"));
            QCOMPARE(answered.size(), 3 + params.size());
        } else {
            QCOMPARE(answered.value("log").toString().size(), expectedLog.size());
            QCOMPARE(answered.value("log").toString(), expectedLog);
            QVERIFY(log.containsText("Sent log to server."));
        }
    }

    void troubleshootReportsFinishedTasks()
    {
        const QString resolveId = m_server.sendRequest(
            {{"type", "resolve_request"}, {"fields", QJsonObject {{"linux_manage", QJsonValue()}}}});
        QCOMPARE(m_server.waitForAnswers(resolveId, 1, 10000).size(), 1);

        const QString id = m_server.sendRequest({{"type", "troubleshoot"}});
        const QList<QJsonObject> answers = m_server.waitForAnswers(id, 1, 10000);
        QCOMPARE(answers.size(), 1);
        const QJsonObject params = body(answers[0]).value("params").toObject();
        QVERIFY(params.value("total_tasks_count").toInt() >= 1);
        QCOMPARE(params.value("ongoing_tasks").toArray(), QJsonArray());
        bool listed = false;
        for (const QJsonValue& entry : params.value("tasks_stats").toArray())
            listed = listed || entry.toString().startsWith("linux_manage:count=");
        QVERIFY(listed);
    }

    void compliance_data()
    {
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<bool>("signalled");
        QTest::addColumn<QString>("state");

        QTest::newRow("null") << QJsonObject {{"compliance", QJsonValue()}} << true << "unset";
        QTest::newRow("number 1") << QJsonObject {{"compliance", 1}} << true << "compliant";
        QTest::newRow("text 1") << QJsonObject {{"compliance", "1"}} << true << "compliant";
        QTest::newRow("true") << QJsonObject {{"compliance", true}} << true << "compliant";
        QTest::newRow("number 0") << QJsonObject {{"compliance", 0}} << true << "not_compliant";
        QTest::newRow("false") << QJsonObject {{"compliance", false}} << true << "not_compliant";
        QTest::newRow("text that is no number") << QJsonObject {{"compliance", "yes"}} << true << "not_compliant";
        QTest::newRow("number 2") << QJsonObject {{"compliance", 2}} << true << "";
        QTest::newRow("no compliance key") << QJsonObject {{"other", 1}} << false << "";
    }

    void compliance()
    {
        QFETCH(QJsonObject, params);
        QFETCH(bool, signalled);
        QFETCH(QString, state);

        QSignalSpy spy(m_session.client(), &BaseClient::compliance);
        const QString id = m_server.sendRequest({{"type", "compliance"}, {"params", params}});
        if (signalled) {
            QVERIFY(spy.wait(5000));
            QCOMPARE(spy.count(), 1);
            QCOMPARE(spy[0][0].toString(), state);
        } else {
            QVERIFY(!spy.wait(500));
        }
        QVERIFY(m_server.waitForAnswers(id, 1, 0).isEmpty());
    }

    void oddFrames_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("logged");
        QTest::newRow("not JSON") << "text"
                                  << "Message is not Json. Error:";
        QTest::newRow("unknown type") << "unknown"
                                      << "unknown message type: ";
        QTest::newRow("fragmented") << "fragmented"
                                    << "Message is not last";
        QTest::newRow("fragmented with a secret") << "fragmented secret"
                                                  << "Message is not last";
        QTest::newRow("binary") << "binary"
                                << "";
    }

    void oddFrames()
    {
        QFETCH(QString, kind);
        QFETCH(QString, logged);

        LogCapture log;
        QWebSocket* agent = m_server.transport().lastClient();
        QVERIFY(agent);
        const QString request = "{\"msg_info\":{\"id\":\"ODD-1\",\"src\":\"server\",\"dst\":\"127.0.0.1\","
                                "\"type\":\"proxy\"},\"msg\":{\"type\":\"resolve_request\","
                                "\"fields\":{\"linux_manage\":null}}}";
        if (kind == "text") {
            m_server.sendText("this is { not JSON");
        } else if (kind == "unknown") {
            m_server.sendRequest({{"type", "KPA"}});
        } else if (kind.startsWith("fragmented")) {
            // Each frame is taken as a message of its own, so a split request is not answered.
            agent->setOutgoingFrameSize(32);
            QString text = request;
            // Longer than a frame, so it is cut at least once inside its value.
            if (kind.endsWith("secret"))
                text.replace("\"fields\"", "\"sudo_password\":\"" + QString(80, 'Q') + "\",\"fields\"");
            m_server.sendText(text);
        } else {
            m_server.transport().sendBinary(request.toUtf8());
        }
        agent->setOutgoingFrameSize(512 * 1024);
        QVERIFY(settled());
        QVERIFY(m_server.waitForAnswers("ODD-1", 1, 0).isEmpty());
        if (logged.isEmpty())
            QVERIFY(!log.containsText("Message received: "));
        else
            QVERIFY2(log.containsText(logged), qPrintable(logged));
        if (kind == "text")
            QVERIFY(log.contains(QtWarningMsg, "Plain message is: this is { not JSON"));
        QVERIFY(!log.containsText("QQ"));

        // The session carries on.
        const QString id = m_server.sendRequest(
            {{"type", "resolve_request"}, {"fields", QJsonObject {{"linux_manage", QJsonValue()}}}});
        QCOMPARE(m_server.waitForAnswers(id, 1, 10000).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestHandlers)
#include "tst_handlers.moc"
