#include "LogCapture.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestHttpServer.h"
#include "TestInstanceLock.h"
#include "TestSeam.h"
#include "TestSiteSettings.h"
#include "TestTaskRunner.h"
#include "performers/RunScript.h"
#include "performers/ScriptFile.h"
#include "performers/ScriptResult.h"
#include "settings/DownloadTrust.h"
#include "settings/VTSettings.h"
#include "tasks/VTTaskFactory.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Params = QMap<QString, QVariant>;

const char* const kSudoUser = "vtsudotest";
// Every shell metacharacter that could end a quoted string or start a command; each tries to
// leave a file behind if it were ever given to a shell.
const char* const kNastyPassword = "pw\"; touch /tmp/vt_pw_mark1; echo \"$(touch /tmp/vt_pw_mark2)`touch "
                                   "/tmp/vt_pw_mark3`'; touch /tmp/vt_pw_mark4; '";
const QStringList kMarks {"/tmp/vt_pw_mark1", "/tmp/vt_pw_mark2", "/tmp/vt_pw_mark3", "/tmp/vt_pw_mark4"};

// What another local user gets when reading the running script: "private" or "readable"; nothing
// at all when the probe itself could not run.
const char* const kOtherUserReads
    = "$(runuser -u nobody -- sh -c 'cat \"$1\" > /dev/null 2>&1 && echo readable || echo private' sh \"$0\")";

bool run(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// True when any process's command line holds `secret`.
bool secretInAnyCommandLine(const QByteArray& secret)
{
    const QStringList pids = QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs);
    for (const QString& pid : pids) {
        QFile f("/proc/" + pid + "/cmdline");
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(secret)) {
            return true;
        }
    }
    return false;
}

// Runs ScriptResult in this executable started as another user; parameters travel on stdin so
// that no secret is ever on a command line.
int runScriptWorker()
{
    QFile in;
    in.open(stdin, QIODevice::ReadOnly);
    const Params params = QJsonDocument::fromJson(in.readAll()).object().toVariantMap();
    const TaskOutcome outcome = TestTaskRunner::run(ScriptResult::msg_name, params);
    QFile out;
    out.open(stdout, QIODevice::WriteOnly);
    out.write(QJsonDocument(QJsonObject {{"result", outcome.result.toString()},
                                         {"null", outcome.result.isNull()},
                                         {"error", outcome.error}})
                  .toJson(QJsonDocument::Compact));
    return outcome.finished ? 0 : 1;
}

} // namespace

class TestScriptPerformers : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    // Keeps the stale-file sweep away from the system temporary directory.
    QString m_scriptDir = m_dir.filePath("scripts");
    TestSeam<QString> m_template {ScriptPerformer::tmp_file_template, m_scriptDir + "/otXXXXXX.sh"};
    // The "debug" flag that lets scripts come over plain http is read from here.
    TestSeam<QString> m_settingsDir {VTSettings::s_directory, m_dir.path()};
    TestHttpServer m_http;
    TestHttpServer m_https;
    QSslCertificate m_serverCert;

    QStringList scriptFiles() const { return QDir(m_scriptDir).entryList({"ot*.sh"}, QDir::Files); }

    bool setDebug(bool debug)
    {
        TestSiteSettings::Server server;
        server.cert = m_serverCert.toPem();
        return TestSiteSettings::load({TestSiteSettings::Site {{server}}}, debug)
            && VTSettings::instance()->debug() == debug;
    }

    // The script line of the launch tests: who ran it, from which file, and whether another user
    // could read that file meanwhile.
    QByteArray launchedLine() const
    {
        return "echo \"$(id -u) $0 " + QByteArray(kOtherUserReads) + "\" > " + m_dir.filePath("launched").toUtf8();
    }

    // Creating a RunScript sweeps stale script files; true once nothing is left behind.
    bool sweptClean()
    {
        std::unique_ptr<VTTask> sweeper(VTTaskFactory::createVTTask(RunScript::msg_name, {}));
        return scriptFiles().isEmpty();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir().mkpath(m_scriptDir));
        // Open like the system temporary directory, so that only a script's own mode keeps other
        // users out of it.
        const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
            | QFile::ReadOther | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(m_dir.path(), open));
        QVERIFY(::chmod(QFile::encodeName(m_scriptDir).constData(), 01777) == 0);
        TestTaskRunner::initFactory();

        TestCertificates certs(m_dir.filePath("certs"));
        QVERIFY(QDir().mkpath(certs.dir()));
        QVERIFY(certs.makeCert("server", QString(), "script.example"));
        QVERIFY(m_http.start());
        QVERIFY(m_https.startTls(certs.certPath("server"), certs.keyPath("server")));
        m_serverCert = QSslCertificate::fromPath(certs.certPath("server")).value(0);
        for (TestHttpServer* server : {&m_http, &m_https}) {
            server->setRoute("/hello.sh", "echo \"downloaded $1\"\n");
            server->setRoute("/my%20script.sh", launchedLine());
        }
        QVERIFY(setDebug(false));
    }

    void scriptResult_data()
    {
        QTest::addColumn<Params>("params");
        QTest::addColumn<QVariant>("result");
        QTest::addColumn<QString>("error");

        QTest::newRow("inline") << Params {{"run_command", "echo hello"}} << QVariant("hello\n") << "";
        QTest::newRow("file starts by clearing the library path")
            << Params {{"run_command", "cat \"$0\""}} << QVariant("LD_LIBRARY_PATH= ;\ncat \"$0\"") << "";
        QTest::newRow("non-zero exit keeps output")
            << Params {{"run_command", "echo partial; exit 3"}} << QVariant("partial\n")
            << "ScriptResult: Some error occurs, exitcode: 3";
        QTest::newRow("reading stdin sees its end")
            << Params {{"run_command", "read x; echo \"got[$x]\"; cat"}} << QVariant("got[]\n") << "";
        QTest::newRow("crash") << Params {{"run_command", "echo before; kill -9 $$"}} << QVariant("before\n")
                               << "ScriptResult: process crashes";
        QTest::newRow("no script") << Params {{"run_as_root", false}} << QVariant()
                                   << "missing param run_command,download_script";
        QTest::newRow("output past the limit cut and marked")
            << Params {{"run_command", "head -c 1100000 /dev/zero | tr '\\0' x"}}
            << QVariant(QString(int(ScriptResult::s_maxOutputBytes), 'x')
                        + QString("\n[output cut at %1 bytes]").arg(ScriptResult::s_maxOutputBytes))
            << "";
        QTest::newRow("root through sudo")
            << Params {{"run_command", "id -u"}, {"run_as_root", true}, {"sudo_password", "unused"}} << QVariant("0\n")
            << "";
        QTest::newRow("body kept from other users while it runs")
            << Params {{"run_command", QString("echo \"") + kOtherUserReads + "\""}} << QVariant("private\n") << "";
    }

    void scriptResult()
    {
        QFETCH(Params, params);
        QFETCH(QVariant, result);
        QFETCH(QString, error);
        const TaskOutcome outcome = TestTaskRunner::run(ScriptResult::msg_name, params);
        QVERIFY(outcome.finished);
        QVERIFY(!outcome.finishedInsideGo);
        QCOMPARE(outcome.result, result);
        QCOMPARE(outcome.error, error);
        // The file goes with the task.
        QTRY_COMPARE(scriptFiles(), QStringList());
    }

    void downloads_data()
    {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("inlineToo");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("errorStart");
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<bool>("debug");

        QTest::newRow("http refused") << false << "/hello.sh" << false << QString()
                                      << "ScriptResult : download error :only https" << false << false;
        QTest::newRow("http in debug mode") << false << "/hello.sh" << false << "downloaded \n"
                                            << QString() << false << true;
        QTest::newRow("https, management server's certificate") << true << "/hello.sh" << false << "downloaded \n"
                                                                << QString() << true << false;
        QTest::newRow("https, certificate no anchor covers")
            << true << "/hello.sh" << false << QString() << "ScriptResult : download error :SSL handshake failed"
            << false << false;
        QTest::newRow("inline wins") << false << "/hello.sh" << true << "inline\n" << QString() << false << false;
        QTest::newRow("not found") << true << "/missing.sh" << false << QString()
                                   << "ScriptResult : download error :" << true << false;
    }

    void downloads()
    {
        QFETCH(bool, tls);
        QFETCH(QString, path);
        QFETCH(bool, inlineToo);
        QFETCH(QString, result);
        QFETCH(QString, errorStart);
        QFETCH(bool, pinned);
        QFETCH(bool, debug);
        QVERIFY(setDebug(debug));
        DownloadTrust::setServerCertificates(pinned ? QList<QSslCertificate> {m_serverCert}
                                                    : QList<QSslCertificate> {});
        TestHttpServer& server = tls ? m_https : m_http;
        server.clearRequests();
        Params params {{"download_script", server.url(path)}};
        if (inlineToo) {
            params.insert("run_command", "echo inline");
        }
        const TaskOutcome outcome = TestTaskRunner::run(ScriptResult::msg_name, params);
        QVERIFY(setDebug(false));
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.result.toString(), result);
        if (errorStart.isEmpty()) {
            QCOMPARE(outcome.error, QString());
        } else {
            QVERIFY2(outcome.error.startsWith(errorStart) && outcome.error.size() > errorStart.size(),
                     qPrintable(outcome.error));
            QVERIFY(outcome.result.isNull());
        }
        // Neither a refused handshake nor a refused scheme sends a request.
        const bool asked = !inlineToo && (tls ? pinned : debug);
        QCOMPARE(server.requestedTargets(), asked ? QStringList {path} : QStringList());
    }

    void downloadTimeout_data()
    {
        QTest::addColumn<QString>("task");
        QTest::addColumn<QVariant>("result");
        QTest::newRow("ScriptResult") << ScriptResult::msg_name << QVariant();
        QTest::newRow("RunScript") << RunScript::msg_name << QVariant(false);
    }

    void downloadTimeout()
    {
        QFETCH(QString, task);
        QFETCH(QVariant, result);
        const QString performer = task == RunScript::msg_name ? "RunScript" : "ScriptResult";
        TestHttpServer silent;
        QVERIFY(silent.start());
        silent.setSilent(true);
        TestSeam shortTimeout(ScriptFile::s_downloadTimeoutMs, 300);
        QVERIFY(setDebug(true));
        LogCapture log;
        QElapsedTimer clock;
        clock.start();
        const TaskOutcome outcome
            = TestTaskRunner::run(task, {{"download_script", silent.url("/never.sh")}, {"run_as_root", false}});
        QVERIFY(setDebug(false));
        QVERIFY(outcome.finished);
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(outcome.result, result);
        QCOMPARE(outcome.error, performer + " : download error : timeout 5 sec");
        QVERIFY(log.contains(QtWarningMsg, "Error perform \"" + performer + "\" download error , timeout 5 sec"));
        QCOMPARE(silent.requestedTargets(), QStringList {"/never.sh"});
    }

    void scriptTimeLimitKeepsOutput()
    {
        TestSeam shortLimit(ScriptResult::s_runTimeoutMs, 400);
        QElapsedTimer clock;
        clock.start();
        const TaskOutcome outcome
            = TestTaskRunner::run(ScriptResult::msg_name, {{"run_command", "echo early; sleep 20; echo late"}});
        QVERIFY(outcome.finished);
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(outcome.result.toString(), QString("early\n"));
        QCOMPARE(outcome.error, QString());
    }

    void runScript_data()
    {
        QTest::addColumn<Params>("params");
        QTest::addColumn<bool>("launched");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("requested");

        const QString write = launchedLine();
        const QStringList none;
        QTest::newRow("inline") << Params {{"run_command", write}, {"run_as_root", false}} << true << "" << none;
        QTest::newRow("root through sudo")
            << Params {{"run_command", write}, {"run_as_root", true}, {"sudo_password", "unused"}} << true << ""
            << none;
        // The space travels percent-encoded, as a browser would send it.
        QTest::newRow("download with a space")
            << Params {{"download_script", m_https.url("/my script.sh")}, {"run_as_root", false}} << true << ""
            << QStringList {"/my%20script.sh"};
        QTest::newRow("download from a certificate no anchor covers")
            << Params {{"download_script", m_https.url("/no anchor.sh")}, {"run_as_root", false}} << false
            << "RunScript : download error :SSL handshake failed" << none;
        QTest::newRow("no run_as_root") << Params {{"run_command", write}} << false
                                        << "RunScript: Wrong JSON format unable to find script_interactive param"
                                        << none;
        QTest::newRow("no script") << Params {{"run_as_root", false}} << false
                                   << "RunScript: Wrong JSON format unable to find run_command or download_script "
                                      "param"
                                   << none;
    }

    void runScript()
    {
        QFETCH(Params, params);
        QFETCH(bool, launched);
        QFETCH(QString, error);
        QFETCH(QStringList, requested);
        const QString marker = m_dir.filePath("launched");
        QFile::remove(marker);
        m_https.clearRequests();
        // Only the row that must fail the handshake asks for a path no other row uses.
        const bool trusted = !params.value("download_script").toString().contains("no anchor");
        DownloadTrust::setServerCertificates(trusted ? QList<QSslCertificate> {m_serverCert}
                                                     : QList<QSslCertificate> {});
        const TaskOutcome outcome = TestTaskRunner::run(RunScript::msg_name, params);
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.result, QVariant(launched));
        QCOMPARE(outcome.error.left(error.size()), error);
        QCOMPARE(outcome.error.isEmpty(), error.isEmpty());
        QCOMPARE(m_https.requestedTargets(), requested);
        if (!launched) {
            QVERIFY(!QFile::exists(marker));
        } else {
            QTRY_VERIFY(QFileInfo(marker).size() > 0);
            const QStringList line = QString::fromUtf8(TestFiles::read(marker)).trimmed().split(' ');
            QCOMPARE(line.size(), 3);
            QCOMPARE(line.at(0), QString("0"));
            QVERIFY2(line.at(1).startsWith(m_scriptDir + "/ot"), qPrintable(line.at(1)));
            QCOMPARE(line.at(2), QString("private"));
            // The background shell takes its file away once it has ended.
            QTRY_VERIFY(!QFile::exists(line.at(1)));
        }
    }

    void sweepSparesScriptsInUse()
    {
        // A stale file goes; the script of a running ScriptResult and that of a background
        // RunScript still starting must both survive a new RunScript.
        QTRY_VERIFY_WITH_TIMEOUT(sweptClean(), 5000);
        const QString marker = m_dir.filePath("background");
        QFile::remove(marker);
        const TaskOutcome background = TestTaskRunner::run(
            RunScript::msg_name,
            {{"run_command", "sleep 0.6; cat \"$0\" > /dev/null && echo kept > " + marker}, {"run_as_root", false}});
        QCOMPARE(background.result, QVariant(true));

        TestTaskRunner::initFactory();
        std::unique_ptr<VTTask> running(VTTaskFactory::createVTTask(
            ScriptResult::msg_name, {{"run_command", "sleep 0.6; cat \"$0\" > /dev/null && echo kept"}}));
        QSignalSpy spy(running.get(), SIGNAL(finished(QString)));
        running->go();
        QTRY_COMPARE(scriptFiles().size(), 2);
        const QString stale = m_scriptDir + "/otSTALE1.sh";
        QVERIFY(TestFiles::write(stale));
        // Named like scripts, but a user's file and a link are not the daemon's to remove.
        const QString users = m_scriptDir + "/otUSER1.sh";
        QVERIFY(TestFiles::write(users));
        QCOMPARE(::chown(QFile::encodeName(users).constData(), 65534, 65534), 0);
        const QString link = m_scriptDir + "/otLINK1.sh";
        QVERIFY(QFile::link(stale, link));

        std::unique_ptr<VTTask> sweeper(VTTaskFactory::createVTTask(RunScript::msg_name, {}));
        QVERIFY(!QFile::exists(stale));
        QVERIFY(QFile::exists(users));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(QFile::remove(users) && QFile::remove(link));
        QCOMPARE(scriptFiles().size(), 2);

        QVERIFY(spy.wait(10000));
        QCOMPARE(running->m_result, QVariant("kept\n"));
        QCOMPARE(running->m_error, QString());
        QTRY_VERIFY(QFile::exists(marker));

        // Once its shell has ended, the background script is stale like any other.
        QTRY_VERIFY_WITH_TIMEOUT(sweptClean(), 5000);
    }

    void sudoOptionFollowsDistributionFiles_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("option");
        QTest::newRow("debian") << QStringList {"debian_version"} << "-S ";
        QTest::newRow("red hat") << QStringList {"redhat-release"} << "-S ";
        QTest::newRow("centos") << QStringList {"redhat-release", "centos-release"} << "";
        QTest::newRow("other") << QStringList {"os-release"} << "";
    }

    void sudoOptionFollowsDistributionFiles()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, option);
        QTemporaryDir etc;
        for (const QString& name : files)
            QVERIFY(TestFiles::write(etc.filePath(name)));
        TestSeam etcSeam(ScriptFile::s_etcDir, etc.path());
        QCOMPARE(ScriptFile::sudoOption(), option);
        const ScriptFile::Command command = ScriptFile::command("/tmp/x.sh", true, "secret");
        QCOMPARE(command.arguments.contains("-S"), !option.isEmpty());
        QVERIFY(!command.arguments.join(' ').contains("secret"));
        QCOMPARE(command.input, QByteArray("secret\n"));
    }

    void sudoPasswordGoesOnlyToStandardInput_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("error");
        QTest::newRow("right password with metacharacters") << kNastyPassword << "0 ran\n"
                                                            << "";
        QTest::newRow("wrong password with metacharacters") << QString(kNastyPassword) + "x"
                                                            << ""
                                                            << "ScriptResult: Some error occurs, exitcode: 1";
    }

    // sudo asks a password only of an unprivileged user, so the performer runs as one, in a
    // copy of this executable, against a sudoers rule made for the test.
    void sudoPasswordGoesOnlyToStandardInput()
    {
        if (getuid() != 0) {
            QSKIP("needs root to create the sudo user");
        }
        QFETCH(QString, password);
        QFETCH(QString, result);
        QFETCH(QString, error);
        for (const QString& mark : kMarks)
            QFile::remove(mark);
        const QString ranMark = m_dir.filePath("sudo_ran");
        QFile::remove(ranMark);

        const QJsonObject params {{"run_command", "touch " + ranMark + "; sleep 0.5; echo \"$(id -u) ran\""},
                                  {"run_as_root", true},
                                  {"sudo_password", password}};
        // A copy the unprivileged user can reach wherever the build tree lives.
        const QString workerExe = m_dir.filePath("script-worker");
        if (!QFile::exists(workerExe)) {
            QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), workerExe));
        }
        const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup
            | QFile::ReadOther | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(workerExe, open));
        QVERIFY(QFile::setPermissions(m_dir.path(), open));
        QProcess worker;
        worker.setWorkingDirectory("/");
        worker.start("runuser", {"-u", kSudoUser, "--", workerExe, "--script-worker"});
        QVERIFY(worker.waitForStarted());
        worker.write(QJsonDocument(params).toJson());
        worker.closeWriteChannel();

        const QByteArray secret = password.toUtf8();
        bool leaked = false;
        while (!worker.waitForFinished(20)) {
            leaked = leaked || secretInAnyCommandLine(secret);
        }
        QVERIFY(!leaked);
        QCOMPARE(worker.exitCode(), 0);
        const QJsonObject out = QJsonDocument::fromJson(worker.readAllStandardOutput()).object();
        QCOMPARE(out.value("result").toString(), result);
        QCOMPARE(out.value("error").toString(), error);
        QCOMPARE(QFile::exists(ranMark), error.isEmpty());
        for (const QString& mark : kMarks) {
            QVERIFY2(!QFile::exists(mark), qPrintable(mark));
        }
    }

    void init()
    {
        if (QByteArray(QTest::currentTestFunction()) == "sudoPasswordGoesOnlyToStandardInput" && getuid() == 0) {
            // The user's name is fixed, so another run of this test elsewhere must not share it.
            m_sudoUserLock.emplace(QStringLiteral("sudo-user"));
            QVERIFY(m_sudoUserLock->isLocked());
            removeSudoUser();
            QVERIFY(run("useradd", {"-M", "-s", "/usr/sbin/nologin", kSudoUser}));
            QVERIFY(run("chpasswd", {}, QByteArray(kSudoUser) + ":" + kNastyPassword + "\n"));
            const QString rule = "/etc/sudoers.d/" + QString(kSudoUser);
            // No cached credentials: every row must authenticate afresh.
            QVERIFY(TestFiles::write(rule,
                                     QByteArray("Defaults:") + kSudoUser + " !lecture, timestamp_timeout=0\n"
                                         + kSudoUser + " ALL=(root) ALL\n",
                                     QFile::ReadOwner | QFile::ReadGroup));
            QVERIFY(run("visudo", {"-cf", rule}));
        }
    }

    void cleanup()
    {
        if (QByteArray(QTest::currentTestFunction()) == "sudoPasswordGoesOnlyToStandardInput") {
            removeSudoUser();
            m_sudoUserLock.reset();
        }
    }

private:
    std::optional<TestInstanceLock> m_sudoUserLock;

    static void removeSudoUser()
    {
        QFile::remove("/etc/sudoers.d/" + QString(kSudoUser));
        run("userdel", {kSudoUser});
    }
};

int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--script-worker") == 0) {
        QCoreApplication app(argc, argv);
        return runScriptWorker();
    }
    QCoreApplication app(argc, argv);
    TestScriptPerformers test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_scriptperformers.moc"
