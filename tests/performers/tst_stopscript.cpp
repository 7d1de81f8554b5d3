#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <unistd.h>

// The stop script run by the shutdown action and the exit script run after Exit: each must stop
// every process of its own installation, including one whose executable was replaced under it,
// and nothing else, whatever a user names the programs they run.
class TestStopScript : public QObject
{
    Q_OBJECT

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;

    // A fake installation: a program called "vantorel" (a copy of sleep) beside the stop script.
    static bool makeInstallation(const QString& dir, bool withScript)
    {
        if (!QFile::copy("/bin/sleep", dir + "/vantorel")) {
            return false;
        }
        QFile::setPermissions(dir + "/vantorel", QFile::ExeOwner | QFile::ReadOwner | QFile::WriteOwner);
        const QString scripts = QStringLiteral(VT_SOURCE_DIR) + "/scripts/";
        return !withScript
            || (QFile::copy(scripts + "stopVt.sh", dir + "/stopVt.sh")
                && QFile::copy(scripts + "exitVt.sh", dir + "/exitVt.sh")
                && QFile::copy(scripts + "vtCommon.sh", dir + "/vtCommon.sh"));
    }

    QProcess* start(const QString& program, const QStringList& args = {"30"})
    {
        m_processes.emplace_back(new QProcess);
        QProcess* p = m_processes.back().get();
        p->start(program, args);
        p->waitForStarted();
        return p;
    }

    // QProcess notices an end only in its event loop, so the kernel is asked: a process killed but
    // not yet reaped is a zombie.
    static bool runs(const QProcess* p)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(p->processId()));
        if (!stat.open(QIODevice::ReadOnly)) {
            return false;
        }
        const QByteArray text = stat.readAll();
        const QByteArray state = text.mid(text.lastIndexOf(") ") + 2, 1);
        return state != "Z" && state != "X";
    }

private slots:
    void cleanup()
    {
        for (auto& p : m_processes) {
            p->kill();
            p->waitForFinished(2000);
        }
        m_processes.clear();
    }

    void stopsOnlyThisInstallation_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("replaceExecutable");
        QTest::addColumn<bool>("forgeProcessLine");
        QTest::newRow("running copies") << "stopVt.sh" << false << false;
        QTest::newRow("executable replaced since start") << "stopVt.sh" << true << false;
        QTest::newRow("a path with a newline names another process") << "stopVt.sh" << false << true;
        QTest::newRow("exit script, a path with a newline names another process") << "exitVt.sh" << false << true;
    }

    void stopsOnlyThisInstallation()
    {
        QFETCH(QString, script);
        QFETCH(bool, replaceExecutable);
        QFETCH(bool, forgeProcessLine);
        QTemporaryDir own;
        QTemporaryDir other;
        QVERIFY(makeInstallation(own.path(), true));
        QVERIFY(makeInstallation(other.path(), false));

        QProcess* daemon = start(own.filePath("vantorel"));
        QProcess* agent = start(own.filePath("vantorel"));
        QProcess* foreign = start(other.filePath("vantorel"));
        QProcess* forger = nullptr;
        if (forgeProcessLine) {
            // A user's program whose path reads, split into lines, as if the foreign process
            // ran this installation's executable.
            const QString forgedDir = other.path() + "/x\n/proc/" + QString::number(foreign->processId()) + " "
                + QFileInfo(own.path()).canonicalFilePath();
            QVERIFY(QDir().mkpath(forgedDir));
            QVERIFY(QFile::copy("/bin/sleep", forgedDir + "/vantorel"));
            const auto open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
            QVERIFY(QFile::setPermissions(other.path(), open));
            QVERIFY(QFile::setPermissions(forgedDir + "/vantorel", open));
            forger = getuid() == 0
                ? start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", forgedDir + "/vantorel", "30"})
                : start(forgedDir + "/vantorel");
            const QString exeLink = "/proc/" + QString::number(forger->processId()) + "/exe";
            QTRY_COMPARE_WITH_TIMEOUT(QFile::symLinkTarget(exeLink), forgedDir + "/vantorel", 5000);
        }
        if (replaceExecutable) {
            // As an upgrade does: a new file renamed over the running one.
            QVERIFY(QFile::copy("/bin/sleep", own.filePath(".vantorel.new")));
            QVERIFY(QFile::setPermissions(own.filePath(".vantorel.new"), QFile::ExeOwner | QFile::ReadOwner));
            QVERIFY(::rename(qPrintable(own.filePath(".vantorel.new")), qPrintable(own.filePath("vantorel"))) == 0);
        }

        QProcess stop;
        stop.start("bash", {own.filePath(script)});
        // The exit script first gives the processes ten seconds to end by themselves.
        QVERIFY(stop.waitForFinished(30000));
        QCOMPARE(stop.exitCode(), 0);

        QVERIFY(daemon->waitForFinished(2000));
        QVERIFY(agent->waitForFinished(2000));
        QCOMPARE(daemon->exitStatus(), QProcess::CrashExit);
        QVERIFY(runs(foreign));
        if (forger) {
            QVERIFY(runs(forger));
        }
    }
};

QTEST_GUILESS_MAIN(TestStopScript)
#include "tst_stopscript.moc"
