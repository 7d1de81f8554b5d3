#include "TestFiles.h"
#include "TestSeam.h"
#include "TestTaskRunner.h"

#include "performers/ConsoleUser.h"
#include "performers/LoggedUsers.h"
#include "performers/ProcessRunning.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QVariantMap paramsFromJson(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).toVariant().toMap();
}

QString runProgram(const QString& program, const QStringList& args = {})
{
    QProcess process;
    process.start(program, args);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

} // namespace

class TestHostPerformers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid() && m_bin.isValid());
        QFile file(m_dir.filePath(QStringLiteral("five.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("12345");
        file.flush();
        QVERIFY(file.setFileTime(QDateTime::fromSecsSinceEpoch(1600000000), QFileDevice::FileModificationTime));
        file.close();
        m_originalPath = qgetenv("PATH");
    }

    void cleanup() { qputenv("PATH", m_originalPath); }

    void filePerformers_data()
    {
        QTest::addColumn<QString>("task");
        QTest::addColumn<QByteArray>("params");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("warning");

        const QString missing = QStringLiteral("missing parameter: linux_file_name");
        const QString absent = QStringLiteral("The file does not exists");
        const auto row = [](const char* name, const QString& task, const QByteArray& params, const QVariant& result,
                            const QString& error, const QString& warning) {
            QTest::newRow(name) << task << params << result << error << warning;
        };
        row("exists: file", "linux_file_exists",
            QByteArray(R"({"linux_file_exists":{"linux_file_name":"@/five.txt"}})"), QVariant(true), "", "");
        row("exists: absent", "linux_file_exists", QByteArray(R"({"linux_file_exists":{"linux_file_name":"@/none"}})"),
            QVariant(false), "", "");
        row("exists: empty path", "linux_file_exists", QByteArray(R"({"linux_file_exists":{"linux_file_name":""}})"),
            QVariant(false), "", "");
        row("exists: null path", "linux_file_exists", QByteArray(R"({"linux_file_exists":{"linux_file_name":null}})"),
            QVariant(), missing, "Error perform \"FileExists\" message, wrong JSON format");
        row("exists: key of another task", "linux_file_exists",
            QByteArray(R"({"linux_file_size":{"linux_file_name":"@"}})"), QVariant(), missing,
            "Error perform \"FileExists\" message, wrong JSON format");
        row("size: file", "linux_file_size", QByteArray(R"({"linux_file_size":{"linux_file_name":"@/five.txt"}})"),
            QVariant(qint64(5)), "", "");
        row("size: absent", "linux_file_size", QByteArray(R"({"linux_file_size":{"linux_file_name":"@/none"}})"),
            QVariant(), absent, "Error perform \"FileSize\" message, the file does not exists");
        row("size: no inner key", "linux_file_size", QByteArray(R"({"linux_file_size":{"name":"@"}})"), QVariant(),
            missing, missing);
        row("size: path at top level", "linux_file_size", QByteArray(R"({"linux_file_name":"@/five.txt"})"), QVariant(),
            missing, missing);
        row("date: file", "linux_file_date", QByteArray(R"({"linux_file_date":{"linux_file_name":"@/five.txt"}})"),
            QVariant(quint32(1600000000)), "", "");
        row("date: empty path", "linux_file_date", QByteArray(R"({"linux_file_date":{"linux_file_name":""}})"),
            QVariant(), absent, "Error perform \"FileDate\" message, the file does not exists");
        row("date: no params", "linux_file_date", QByteArray("{}"), QVariant(), missing, missing);
    }

    void filePerformers()
    {
        QFETCH(QString, task);
        QFETCH(QByteArray, params);
        QFETCH(QVariant, result);
        QFETCH(QString, error);
        QFETCH(QString, warning);

        params.replace('@', m_dir.path().toUtf8());
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        const TaskOutcome outcome = TestTaskRunner::run(task, paramsFromJson(params));
        QVERIFY(outcome.created && outcome.finishedInsideGo);
        QCOMPARE(outcome.error, error);
        QCOMPARE(outcome.result, result);
    }

    void version_data()
    {
        QTest::addColumn<QString>("applicationVersion");
        QTest::addColumn<QString>("answer");

        QTest::newRow("build number dropped") << "10.0.9002"
                                              << "10.0";
        QTest::newRow("one dot kept whole") << "1.2"
                                            << "1.2";
        QTest::newRow("no dot") << "7"
                                << "7";
    }

    void version()
    {
        QFETCH(QString, applicationVersion);
        QFETCH(QString, answer);
        QCoreApplication::setApplicationVersion(applicationVersion);
        const TaskOutcome outcome = TestTaskRunner::run(QStringLiteral("linux_vt_version"));
        QCOMPARE(outcome.result.toString(), answer);
        QVERIFY(outcome.error.isEmpty());
    }

    void simpleProperties()
    {
        const TaskOutcome managed = TestTaskRunner::run(QStringLiteral("linux_manage"));
        QCOMPARE(managed.result, QVariant(QStringLiteral("true")));

        const TaskOutcome host = TestTaskRunner::run(QStringLiteral("linux_hostname"));
        QCOMPARE(host.result.toString(), runProgram(QStringLiteral("hostname")));
        QVERIFY(!host.result.toString().isEmpty());
    }

    void userListsFromPrograms_data()
    {
        QTest::addColumn<QString>("task");
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QStringList>("names");

        const auto row = [](const char* name, const QString& task, const QString& program, const QByteArray& output,
                            const QStringList& names) { QTest::newRow(name) << task << program << output << names; };
        row("users: repeated name once", "linux_logged_users", "users", QByteArray("root root"), QStringList {"root"});
        row("users: two names", "linux_logged_users", "users", QByteArray("bob alice bob"),
            QStringList {"alice", "bob"});
        row("users: nobody", "linux_logged_users", "users", QByteArray(""), QStringList {""});
        row("console: first line's name", "user", "who",
            QByteArray("zed      pts/1        2024-01-02 10:00 (10.0.0.2)\nalice    tty1         2024-01-02 09:00"),
            QStringList {"zed"});
        row("console: nobody", "user", "who", QByteArray(""), QStringList {""});
    }

    void userListsFromPrograms()
    {
        QFETCH(QString, task);
        QFETCH(QString, program);
        QFETCH(QByteArray, output);
        QFETCH(QStringList, names);

        installFakeProgram(program, "printf '%s\\n' '" + output + "'");
        const TaskOutcome outcome = TestTaskRunner::run(task);
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.finishedInsideGo, task != QLatin1String("user"));
        QCOMPARE(outcome.result.userType(), int(QMetaType::QString));
        QStringList got = outcome.result.toString().split(QLatin1Char(','));
        got.sort();
        QCOMPARE(got, names);
        QVERIFY(outcome.error.isEmpty());
    }

    void hungProgramGivesWhatItPrinted()
    {
        installFakeProgram(QStringLiteral("users"), "echo carol; exec sleep 30");
        // Long enough for a shell to print its line on a loaded machine, short against the 30 s sleep.
        TestSeam shortWait(LoggedUsers::s_processWaitMs, 1500);
        QElapsedTimer timer;
        timer.start();
        const TaskOutcome outcome = TestTaskRunner::run(QStringLiteral("linux_logged_users"));
        QVERIFY(timer.elapsed() < 10000);
        QCOMPARE(outcome.result.toString(), QStringLiteral("carol"));
        QVERIFY(outcome.error.isEmpty());
    }

    void processListFromRealPs()
    {
        const TaskOutcome outcome = TestTaskRunner::run(QStringLiteral("linux_process_running"));
        QVERIFY(outcome.finished && !outcome.finishedInsideGo);
        QCOMPARE(outcome.result.userType(), int(QMetaType::QStringList));
        const QStringList processes = outcome.result.toStringList();
        QCOMPARE(processes.value(0), QStringLiteral("CMD"));
        QVERIFY(processes.contains(QCoreApplication::arguments().join(QLatin1Char(' '))));
        // The "ps" child lists itself too, under the path it was started by.
        QVERIFY(!processes.filter(QRegularExpression(QStringLiteral("(^|/)ps -ewo cmd$"))).isEmpty());
    }

    void processListParsing_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QStringList>("processes");

        QTest::newRow("white space normalised")
            << QByteArray("CMD\n  /sbin/init   splash\n\tbash\n") << QStringList {"CMD", "/sbin/init splash", "bash"};
        QTest::newRow("leading ids dropped, own ps left out")
            << QByteArray("  1 /sbin/init\n 77 ps -e\n 78 sleep 5\n") << QStringList {"/sbin/init", "sleep 5"};
        QTest::newRow("command starting with digits") << QByteArray("7z x a.7z\n") << QStringList {"7z x a.7z"};
        QTest::newRow("no output") << QByteArray() << QStringList();
    }

    void processListParsing()
    {
        QFETCH(QByteArray, output);
        QFETCH(QStringList, processes);
        QCOMPARE(ProcessRunning::parseProcessList(output, 77), processes);
    }

private:
    void installFakeProgram(const QString& name, const QByteArray& body);

    QTemporaryDir m_dir;
    QTemporaryDir m_bin;
    QByteArray m_originalPath;
};

// Puts a stand-in for a system program first on the search path of this test process.
void TestHostPerformers::installFakeProgram(const QString& name, const QByteArray& body)
{
    QVERIFY(TestFiles::write(m_bin.filePath(name), "#!/bin/sh\n" + body + "\n",
                             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    qputenv("PATH", m_bin.path().toLocal8Bit() + ':' + m_originalPath);
}

QTEST_GUILESS_MAIN(TestHostPerformers)
#include "tst_hostperformers.moc"
