#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestInstanceLock.h"
#include "TestProgramDir.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <unistd.h>

namespace {

bool runTool(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedChannels);
    p.start(program, args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Processes whose executable is `exe`, also after it was replaced on disk.
QList<int> processesOf(const QString& exe)
{
    QList<int> found;
    const QStringList pids = QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs);
    for (const QString& pid : pids) {
        QString target = QFile::symLinkTarget("/proc/" + pid + "/exe");
        target.remove(" (deleted)");
        const QByteArray stat = TestFiles::read("/proc/" + pid + "/stat");
        const bool zombie = stat.contains(") Z ");
        if (target == exe && !zombie) {
            found << pid.toInt();
        }
    }
    return found;
}

const QFile::Permissions kOpenDir = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

// Settings that keep a daemon trying a server on loopback where nothing listens, until stopped.
bool writeIdleSettings(TestProgramDir& dir)
{
    TestCertificates certs(dir.path());
    if (!certs.makeCert("server", QString(), "loopback", {"IP:127.0.0.1"})) {
        return false;
    }
    const QByteArray cert = QJsonDocument(QJsonArray {QString::fromLatin1(TestFiles::read(certs.certPath("server")))})
                                .toJson()
                                .mid(1)
                                .chopped(2);
    return dir.writeSettings(R"({"app_type": "ws", "visible": false, "sites": [{"servers": [{"server":
            "127.0.0.1", "port": 9, "cert": )"
                             + cert + R"(, "reconnect_interval": 60}]}]})");
}

// Packs the executable of `build` as the project's tool does and unpacks it into `work`.
bool makePackage(const QString& build, const QString& work)
{
    return runTool("bash", {QStringLiteral(VT_SOURCE_DIR) + "/tools/make-upgrade-package.sh", "-b", build, "-o", work})
        && runTool("tar", {"-zxf", work + "/update_64.tgz", "-C", work});
}

// Runs the unpacked update script as the agent starts it; its exit code, or -1.
int runUpdate(const QString& work, qint64 pid, const QString& programDir)
{
    QProcess update;
    update.setProcessChannelMode(QProcess::ForwardedChannels);
    update.start(
        "bash", {work + "/Update/update.sh", "-pid", QString::number(pid), "-path", programDir, "-t", "ws", "-v", "0"});
    return update.waitForFinished(120000) && update.exitStatus() == QProcess::NormalExit ? update.exitCode() : -1;
}

// Entries of the program directory but its log that a user owns or may change.
QStringList userControlled(const QString& dir, const QString& settingsName)
{
    QStringList found;
    QFileInfo top(dir);
    if (top.ownerId() != 0 || (top.permissions() & (QFile::WriteGroup | QFile::WriteOther))) {
        found << ".";
    }
    const QFileInfoList entries
        = QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        const bool writable = entry.permissions() & (QFile::WriteGroup | QFile::WriteOther);
        if (entry.fileName() != "log"
            && (entry.ownerId() != 0 || entry.groupId() != 0 || (writable && entry.fileName() != settingsName))) {
            found << entry.fileName();
        }
    }
    return found;
}

// Stops what the update script started in a program directory, which no test object owns, also
// when a failed check ends the test early.
struct StopAllOnExit
{
    const QString stopScript;
    ~StopAllOnExit() { runTool("bash", {stopScript}); }
};

// Those of them started as desktop agents.
QList<int> agentsOf(const QString& exe)
{
    QList<int> found;
    for (int pid : processesOf(exe)) {
        if (TestFiles::read(QStringLiteral("/proc/%1/cmdline").arg(pid)).split('\0').value(1) == "-agent") {
            found << pid;
        }
    }
    return found;
}

} // namespace

// The update script of the project's upgrade package, run as the agent runs it, against a
// program directory whose daemon is running.
class TestUpdateScript : public QObject
{
    Q_OBJECT

private:
    TestInstanceLock m_lock;

private slots:
    void replacesProgramKeepsSettingsAndLogRestarts_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("newComesUp");
        QTest::newRow("daemon upgraded") << "-daemon" << true;
        QTest::newRow("local mode comes back in local mode") << "-local" << true;
        QTest::newRow("new version does not come up: rolled back") << "-daemon" << false;
    }

    void replacesProgramKeepsSettingsAndLogRestarts()
    {
        QFETCH(QString, mode);
        QFETCH(bool, newComesUp);
        QVERIFY(m_lock.isLocked());
        TestProgramDir dir;
        QVERIFY(dir.isValid());
        const StopAllOnExit stopAll {dir.path() + "/stopVt.sh"};
        const QString exe = QFileInfo(dir.executable()).canonicalFilePath();
        QVERIFY(writeIdleSettings(dir));
        // An "old" program: runs the same, differs on disk.
        {
            QFile old(dir.executable());
            QVERIFY(old.open(QIODevice::Append));
            old.write("old build");
        }
        const QByteArray oldProgram = TestFiles::read(dir.executable());

        QProcess* oldDaemon = dir.start({mode});
        QVERIFY(dir.waitForLog("Ready to run Vantorel", 15000));
        const QByteArray settings = TestFiles::read(dir.settingsPath());
        const QFile::Permissions settingsMode = QFile::permissions(dir.settingsPath());
        const QString logBefore = dir.log();

        // A "new" program that exits at once stands for a build that cannot start here.
        QTemporaryDir work;
        const QString build = newComesUp ? QFileInfo(VT_EXECUTABLE).absolutePath() : work.filePath("broken");
        if (!newComesUp) {
            QVERIFY(QDir().mkpath(build + "/src"));
            QVERIFY(QFile::copy("/bin/false", build + "/src/vantorel"));
        }
        QVERIFY(makePackage(build, work.path()));
        // Whatever owners and modes the package and the installation hold, a user must end up
        // with nothing the daemon runs.
        const bool asRoot = getuid() == 0;
        if (asRoot) {
            QVERIFY(runTool("chown",
                            {"-R", "1000:1000", work.filePath("Update/files"), dir.path() + "/get_os.sh", dir.path()}));
            QVERIFY(runTool("chmod", {"-R", "a+w", work.filePath("Update/files"), dir.path() + "/get_os.sh"}));
            QVERIFY(runTool("chmod", {"0777", dir.path()}));
        }

        QCOMPARE(runUpdate(work.path(), oldDaemon->processId(), dir.path()), newComesUp ? 0 : 1);

        QVERIFY(oldDaemon->waitForFinished(10000));
        QCOMPARE(TestFiles::read(dir.executable()), newComesUp ? TestFiles::read(VT_EXECUTABLE) : oldProgram);
        QCOMPARE(TestFiles::read(dir.path() + "/stopVt.sh"),
                 TestFiles::read(QStringLiteral(VT_SOURCE_DIR) + "/scripts/stopVt.sh"));
        QCOMPARE(TestFiles::read(dir.settingsPath()), settings);
        QCOMPARE(QFile::permissions(dir.settingsPath()), settingsMode);
        if (asRoot) {
            QCOMPARE(userControlled(dir.path(), QFileInfo(dir.settingsPath()).fileName()), QStringList());
        }
        QVERIFY(dir.log().startsWith(logBefore));
        const QString updateLog = QString::fromUtf8(TestFiles::read(dir.path() + "/log/update.log"));
        QVERIFY2(updateLog.contains(newComesUp ? "upgrade succeeded" : "rollback succeeded"), qPrintable(updateLog));
        QCOMPARE(updateLog.contains("did not come up"), !newComesUp);
        // The program came up again in the same directory, in the same mode, writing to the same log.
        QCOMPARE(dir.log().count("Ready to run Vantorel"), 2);
        const QList<int> pids = processesOf(exe);
        QCOMPARE(pids.size(), 1);
        const QList<QByteArray> cmdline
            = TestFiles::read(QStringLiteral("/proc/%1/cmdline").arg(pids.first())).split('\0');
        QVERIFY2(cmdline.contains(mode.toUtf8()), cmdline.join(' ').constData());

        QVERIFY(runTool("bash", {dir.path() + "/stopVt.sh"}));
        QTRY_COMPARE_WITH_TIMEOUT(processesOf(exe).size(), 0, 10000);
    }

    // Anyone can run the program as a desktop agent, or name a program of their own so that its
    // path reads like this installation's; what the update brings back up is only a verified
    // agent, never with a value that would make anything else run.
    void restartsOnlyVerifiedAgents_data()
    {
        QTest::addColumn<QString>("display");
        QTest::addColumn<bool>("forged");
        QTest::addColumn<bool>("restarted");
        // %1 is a script that leaves a mark when anything runs it.
        QTest::newRow("a path with a newline names a root process") << ":0 %1" << true << false;
        QTest::newRow("an agent whose DISPLAY holds a blank") << ":0 %1" << false << false;
        QTest::newRow("an agent whose DISPLAY holds a semicolon") << ":0;%1" << false << false;
        QTest::newRow("a user's agent comes back as that user") << ":0" << false << true;
    }

    void restartsOnlyVerifiedAgents()
    {
        QFETCH(QString, display);
        QFETCH(bool, forged);
        QFETCH(bool, restarted);
        if (getuid() != 0) {
            QSKIP("needs root to run a program as another user");
        }
        QVERIFY(m_lock.isLocked());
        TestProgramDir dir;
        QVERIFY(dir.isValid());
        const StopAllOnExit stopAll {dir.path() + "/stopVt.sh"};
        const QString exe = QFileInfo(dir.executable()).canonicalFilePath();
        QVERIFY(writeIdleSettings(dir));
        QVERIFY(QFile::setPermissions(dir.path(), kOpenDir));
        QTemporaryDir marks;
        QVERIFY(QFile::setPermissions(marks.path(), kOpenDir | QFile::WriteGroup | QFile::WriteOther));
        const QString markScript = marks.filePath("mark.sh");
        QVERIFY(TestFiles::write(markScript, "#!/bin/sh\ntouch " + marks.filePath("ran").toUtf8() + "\n", kOpenDir));

        QProcess* daemon = dir.start({"-daemon"});
        QVERIFY(dir.waitForLog("Ready to run Vantorel", 15000));

        // Neither the agent's other variables nor the update script's own reach a restarted agent.
        qputenv("UNRELATED", "1");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DISPLAY", display.arg(markScript));
        std::vector<std::unique_ptr<QProcess>> others;
        auto startWith = [&](const QString& program, const QStringList& args) {
            others.emplace_back(new QProcess);
            others.back()->setProcessEnvironment(environment);
            others.back()->start(program, args);
            return others.back()->waitForStarted() ? others.back().get() : nullptr;
        };
        if (forged) {
            // A root process with "-agent" on its command line (waiting on its input, so it leaves
            // no child behind), and a user's program whose path, split into lines, claims that
            // process runs this installation's executable.
            QProcess* victim = startWith("bash", {"-c", "read -r _", "-agent"});
            QVERIFY(victim);
            const QString forgedDir = marks.path() + "/x\n/proc/" + QString::number(victim->processId()) + " "
                + QFileInfo(dir.path()).canonicalFilePath();
            QVERIFY(QDir().mkpath(forgedDir));
            QVERIFY(QFile::copy("/bin/sleep", forgedDir + "/vantorel"));
            QProcess* forger = startWith(
                "setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", forgedDir + "/vantorel", "60"});
            QVERIFY(forger);
            QTRY_COMPARE_WITH_TIMEOUT(QFile::symLinkTarget(QString("/proc/%1/exe").arg(forger->processId())),
                                      forgedDir + "/vantorel", 5000);
        } else {
            QProcess* agent = startWith("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", exe, "-agent"});
            QVERIFY(agent);
            QTRY_COMPARE_WITH_TIMEOUT(agentsOf(exe).size(), 1, 15000);
            QCOMPARE(agent->state(), QProcess::Running);
        }

        QTemporaryDir work;
        QVERIFY(makePackage(QFileInfo(VT_EXECUTABLE).absolutePath(), work.path()));
        QCOMPARE(runUpdate(work.path(), daemon->processId(), dir.path()), 0);

        const QString updateLog = QString::fromUtf8(TestFiles::read(dir.path() + "/log/update.log"));
        QVERIFY2(updateLog.contains("upgrade succeeded"), qPrintable(updateLog));
        // A forged process is not taken for an agent at all; a real one is refused for its display.
        QVERIFY2(updateLog.contains("restarted the desktop agent") == restarted, qPrintable(updateLog));
        QVERIFY2(updateLog.contains("desktop agent") != forged, qPrintable(updateLog));
        QCOMPARE(updateLog.contains("unsafe DISPLAY"), !forged && !restarted);
        if (restarted) {
            QList<int> agents;
            QTRY_COMPARE_WITH_TIMEOUT((agents = agentsOf(exe)).size(), 1, 15000);
            const QString proc = QStringLiteral("/proc/%1/").arg(agents.first());
            const QByteArray status = TestFiles::read(proc + "status");
            QVERIFY2(status.contains("\nUid:\t65534\t"), status.constData());
            const QList<QByteArray> variables = TestFiles::read(proc + "environ").split('\0');
            QVERIFY(variables.contains("DISPLAY=:0"));
            QVERIFY(!variables.contains("UNRELATED=1"));
        } else {
            QCOMPARE(processesOf(exe).size(), 1);
        }

        QVERIFY(runTool("bash", {dir.path() + "/stopVt.sh"}));
        QTRY_COMPARE_WITH_TIMEOUT(processesOf(exe).size(), 0, 10000);
        // Last, so that a value that did run had time to leave its mark.
        QVERIFY(!QFile::exists(marks.filePath("ran")));
    }
};

QTEST_GUILESS_MAIN(TestUpdateScript)
#include "tst_updatescript.moc"
