#include "TestCertificates.h"
#include "TestInstanceLock.h"
#include "TestProgramDir.h"
#include "app/StartUp.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <signal.h>

namespace {

// A server on loopback where nothing listens, trusted through a certificate made for the test run:
// the daemon keeps retrying and stays in its event loop without anything leaving the machine.
QByteArray validSettings;

// Replaces the launcher with one that only records that, and how, it was started.
bool installMarkerLauncher(const TestProgramDir& program)
{
    QFile script(program.path() + "/launchVtComponents.sh");
    return script.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && script.write("echo \"$0 $#\" > \"$(dirname \"$0\")/launched\"\n") > 0;
}

QString waitForFile(const QString& path, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.size() > 0) {
            return QString::fromUtf8(file.readAll()).trimmed();
        }
        QThread::msleep(20);
    }
    return QString();
}

} // namespace

class TestStartUp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void psnRemoval_data();
    void psnRemoval();
    void visibleFlag_data();
    void visibleFlag();
    void architecture_data();
    void architecture();
    void shortLivedRuns_data();
    void shortLivedRuns();
    void noSwitchStartsLauncher_data();
    void noSwitchStartsLauncher();
    void daemonRunsAndRewritesSettings();
    void secondInstanceRefused_data();
    void secondInstanceRefused();
    void killedDaemonDoesNotBlock();
    void infoLinesFollowConfigurationFile_data();
    void infoLinesFollowConfigurationFile();

private:
    TestInstanceLock m_lock;
    QTemporaryDir m_certificates;
};

void TestStartUp::initTestCase()
{
    QVERIFY(m_lock.isLocked());
    QVERIFY(m_certificates.isValid());
    TestCertificates certificates(m_certificates.path());
    QVERIFY(certificates.makeCert("server", QString(), "localhost", {"IP:127.0.0.1"}));
    QFile cert(certificates.certPath("server"));
    QVERIFY(cert.open(QIODevice::ReadOnly));
    validSettings
        = QJsonDocument(QJsonObject {{"app_type", "ws"},
                                     {"visible", false},
                                     {"sites",
                                      QJsonArray {QJsonObject {{"servers",
                                                                QJsonObject {
                                                                    {"server", "127.0.0.1"},
                                                                    {"port", 1},
                                                                    {"cert", QString::fromLatin1(cert.readAll())},
                                                                }}}}}})
              .toJson(QJsonDocument::Compact);
}

void TestStartUp::psnRemoval_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("remaining");

    QTest::newRow("psn then agent") << QStringList {"-psn_0_4242", "-agent"} << QStringList {"-agent"};
    QTest::newRow("psn alone") << QStringList {"-psn_0_1"} << QStringList {};
    QTest::newRow("psn only counts first")
        << QStringList {"-daemon", "-psn_0_1"} << QStringList {"-daemon", "-psn_0_1"};
    QTest::newRow("no psn") << QStringList {"-local"} << QStringList {"-local"};
    QTest::newRow("no argument") << QStringList {} << QStringList {};
}

void TestStartUp::psnRemoval()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, remaining);

    QList<QByteArray> storage {"vantorel"};
    for (const QString& arg : args) {
        storage.append(arg.toUtf8());
    }
    std::vector<char*> argv;
    for (QByteArray& arg : storage) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int argc = int(argv.size()) - 1;

    removePsnFromArgsAndUpdateArgc(&argc, argv.data());

    QCOMPARE(argc, remaining.size() + 1);
    QCOMPARE(QByteArray(argv[0]), QByteArray("vantorel"));
    for (int i = 0; i < remaining.size(); ++i) {
        QCOMPARE(QString(argv[i + 1]), remaining.at(i));
    }
}

void TestStartUp::visibleFlag_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("visible");

    QTest::newRow("normal form true") << QByteArray("{\n    \"visible\": true\n}\n") << true;
    QTest::newRow("compact spacing") << QByteArray(R"({"visible":true})") << false;
    QTest::newRow("no file") << QByteArray() << false;
}

void TestStartUp::visibleFlag()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, visible);

    QTemporaryDir dir;
    if (!content.isEmpty()) {
        QFile file(dir.path() + "/com.ostrelle.vantorel.json");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QCOMPARE(isVisible(dir.path()), visible);
}

void TestStartUp::architecture_data()
{
    QTest::addColumn<QString>("machine");
    QTest::addColumn<bool>("is64");

    QTest::newRow("x86_64") << "x86_64" << true;
    QTest::newRow("32-bit") << "i686" << false;
}

void TestStartUp::architecture()
{
    QFETCH(QString, machine);
    QFETCH(bool, is64);

    // A stand-in "uname" found first on PATH answers for the machine under test.
    QTemporaryDir bin;
    QFile uname(bin.path() + "/uname");
    QVERIFY(uname.open(QIODevice::WriteOnly));
    uname.write(QString("#!/bin/sh\n[ \"$1\" = -m ] && echo %1\n").arg(machine).toUtf8());
    uname.close();
    QVERIFY(uname.setPermissions(uname.permissions() | QFileDevice::ExeOwner));

    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toUtf8() + ":" + path);
    const bool result = is64bit();
    qputenv("PATH", path);
    QCOMPARE(result, is64);
}

void TestStartUp::shortLivedRuns_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<QStringList>("lines");

    const QString unable = "[ERROR] (0) : Unable to initialize application.";
    QTest::newRow("unknown switch") << QStringList {"-start"} << validSettings
                                    << QStringList {"?(", "[ERROR] (0) : Wrong command line arguments."};
    QTest::newRow("psn then unknown switch") << QStringList {"-psn_0_77", "-start"} << validSettings
                                             << QStringList {"[ERROR] (0) : Wrong command line arguments."};
    QTest::newRow("daemon without settings")
        << QStringList {"-daemon"} << QByteArray()
        << QStringList {"DAEMON(", "[ERROR] (0) : CSettings::instance()->load", unable};
    QTest::newRow("daemon with corrupt settings")
        << QStringList {"-daemon"} << QByteArray("{") << QStringList {"Settings file corrupted", unable};
    QTest::newRow("agent without settings")
        << QStringList {"-agent"} << QByteArray()
        << QStringList {"AGENT(", "[ERROR] (0) : Client App: Failed to load settings", unable};
    QTest::newRow("local without settings")
        << QStringList {"-local"} << QByteArray()
        << QStringList {"LOCAL(", "[ERROR] (0) : app type 3", "CSettings::instance()->load", unable};
}

void TestStartUp::shortLivedRuns()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, settings);
    QFETCH(QStringList, lines);

    TestProgramDir program;
    QVERIFY(program.isValid());
    if (!settings.isEmpty()) {
        QVERIFY(program.writeSettings(settings));
    }
    QCOMPARE(program.run(args), 0);

    const QString log = program.log();
    for (const QString& line : lines) {
        QVERIFY2(log.contains(line), qPrintable(line + " missing from:\n" + log));
    }
    QVERIFY(!log.contains("Ready to run Vantorel"));
    if (args.contains("-local")) {
        QCOMPARE(log.count("[ERROR] (0) : app type 3\n"), 2);
    }
}

void TestStartUp::noSwitchStartsLauncher_data()
{
    QTest::addColumn<QStringList>("args");

    QTest::newRow("no argument") << QStringList {};
    QTest::newRow("two arguments") << QStringList {"-daemon", "-agent"};
    QTest::newRow("psn alone") << QStringList {"-psn_0_1"};
}

void TestStartUp::noSwitchStartsLauncher()
{
    QFETCH(QStringList, args);

    TestProgramDir program;
    QVERIFY(program.isValid());
    QVERIFY(program.writeSettings(validSettings));
    QVERIFY(installMarkerLauncher(program));

    QCOMPARE(program.run(args), 0);
    // The script gets its own path and nothing else.
    QCOMPARE(waitForFile(program.path() + "/launched", 10000), program.path() + "/launchVtComponents.sh 0");
    QCOMPARE(program.log(), QString());
}

void TestStartUp::daemonRunsAndRewritesSettings()
{
    TestProgramDir program;
    QVERIFY(program.isValid());
    QVERIFY(program.writeSettings(validSettings));

    QProcess* daemon = program.start({"-daemon"});
    QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
    QTest::qWait(300);
    QCOMPARE(daemon->state(), QProcess::Running);

    QFile settings(program.settingsPath());
    QVERIFY(settings.open(QIODevice::ReadOnly));
    const QByteArray text = settings.readAll();
    QVERIFY2(text.contains("\n    \"visible\": false\n"), text.constData());
    QVERIFY(text.contains("\"kpa_interval\": 60"));

    // Every line: tag, pid, milliseconds since start, local date and time, level, "(0) : " text.
    const QRegularExpression line(
        QString(
            R"(^DAEMON\(%1\) \d+ \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d\.\d{3} \[(DEBUG|WARN|ERROR|FATAL)\] \(0\) : .*$)")
            .arg(daemon->processId()));
    const QStringList lines = program.log().split('\n', Qt::SkipEmptyParts);
    QVERIFY(lines.size() >= 3);
    for (const QString& logLine : lines) {
        QVERIFY2(line.match(logLine).hasMatch(), qPrintable(logLine));
    }
}

void TestStartUp::secondInstanceRefused_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("refused");

    QTest::newRow("second daemon") << "-daemon" << true;
    QTest::newRow("local beside daemon") << "-local" << true;
    // The agent has no guard: it is the daemon's companion.
    QTest::newRow("agent beside daemon") << "-agent" << false;
}

void TestStartUp::secondInstanceRefused()
{
    QFETCH(QString, second);
    QFETCH(bool, refused);

    TestProgramDir first;
    TestProgramDir other;
    QVERIFY(first.isValid() && other.isValid());
    QVERIFY(first.writeSettings(validSettings));
    QVERIFY(other.writeSettings(validSettings));
    first.start({"-daemon"});
    QVERIFY(first.waitForLog("Ready to run Vantorel", 10000));

    if (refused) {
        QCOMPARE(other.run({second}), 0);
        QVERIFY(other.log().contains("[ERROR] (0) : Application is already running\n"));
        QVERIFY(other.log().contains("[ERROR] (0) : Unable to initialize application.\n"));
    } else {
        QProcess* process = other.start({second});
        QVERIFY(other.waitForLog("Ready to run Vantorel", 10000));
        QCOMPARE(process->state(), QProcess::Running);
    }
}

void TestStartUp::killedDaemonDoesNotBlock()
{
    TestProgramDir program;
    QVERIFY(program.isValid());
    QVERIFY(program.writeSettings(validSettings));

    QProcess* first = program.start({"-daemon"});
    QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
    ::kill(pid_t(first->processId()), SIGKILL);
    QVERIFY(first->waitForFinished(10000));

    QProcess* next = program.start({"-daemon"});
    const QString ready = QString("DAEMON(%1)").arg(next->processId());
    QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
    QTRY_VERIFY_WITH_TIMEOUT(program.log().split('\n').filter(ready).join('\n').contains("Ready to run Vantorel"),
                             10000);
    QVERIFY(!program.log().contains("Application is already running"));
}

void TestStartUp::infoLinesFollowConfigurationFile_data()
{
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<bool>("infoWritten");

    QTest::newRow("defaults") << QByteArray() << false;
    QTest::newRow("Qt logger lowered") << QByteArray("log4j.logger.Qt=TRACE\n") << true;
    QTest::newRow("root lowered") << QByteArray("log4j.rootLogger=TRACE\n") << true;
    QTest::newRow("debug kept") << QByteArray("log4j.logger.Qt=DEBUG\n") << false;
}

void TestStartUp::infoLinesFollowConfigurationFile()
{
    QFETCH(QByteArray, configuration);
    QFETCH(bool, infoWritten);

    TestProgramDir program;
    QVERIFY(program.isValid());
    QVERIFY(program.writeSettings(validSettings));
    if (!configuration.isEmpty()) {
        QFile file(program.path() + "/log4cxx.properties");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(configuration);
    }

    program.start({"-daemon"});
    QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
    const QString log = program.log();
    QCOMPARE(log.contains("[TRACE] (0) : Initializing application, version: \"10.0.9002\"\n"), infoWritten);
    QCOMPARE(log.contains("[TRACE] (0) : Application initialization completed\n"), infoWritten);
    // Lowering the threshold must not cost the debug lines or the log file itself.
    QVERIFY(log.contains("[DEBUG] (0) : before m_connection->open \n"));
}

QTEST_GUILESS_MAIN(TestStartUp)
#include "tst_startup.moc"
