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
        const QString exe = QFileInfo(dir.executable()).canonicalFilePath();
        // Nothing listens on the server's port, so the daemon keeps trying until stopped.
        TestCertificates certs(dir.path());
        QVERIFY(certs.makeCert("server", QString(), "loopback", {"IP:127.0.0.1"}));
        const QByteArray cert
            = QJsonDocument(QJsonArray {QString::fromLatin1(TestFiles::read(certs.certPath("server")))})
                  .toJson()
                  .mid(1)
                  .chopped(2);
        QVERIFY(dir.writeSettings(R"({"app_type": "ws", "visible": false, "sites": [{"servers": [{"server":
            "127.0.0.1", "port": 9, "cert": )"
                                  + cert + R"(, "reconnect_interval": 60}]}]})"));
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
        const QString logBefore = dir.log();

        // A "new" program that exits at once stands for a build that cannot start here.
        QTemporaryDir work;
        const QString build = newComesUp ? QFileInfo(VT_EXECUTABLE).absolutePath() : work.filePath("broken");
        if (!newComesUp) {
            QVERIFY(QDir().mkpath(build + "/src"));
            QVERIFY(QFile::copy("/bin/false", build + "/src/vantorel"));
        }
        QVERIFY(runTool("bash",
                        {QStringLiteral(VT_SOURCE_DIR) + "/tools/make-upgrade-package.sh", "-b", build, "-o",
                         work.path()}));
        QVERIFY(runTool("tar", {"-zxf", work.filePath("update_64.tgz"), "-C", work.path()}));

        QProcess update;
        update.setProcessChannelMode(QProcess::ForwardedChannels);
        update.start("bash", {work.filePath("Update/update.sh"), "-pid", QString::number(oldDaemon->processId()),
                              "-path", dir.path(), "-t", "ws", "-v", "0"});
        QVERIFY(update.waitForFinished(120000));
        QCOMPARE(update.exitCode(), newComesUp ? 0 : 1);

        QVERIFY(oldDaemon->waitForFinished(10000));
        QCOMPARE(TestFiles::read(dir.executable()), newComesUp ? TestFiles::read(VT_EXECUTABLE) : oldProgram);
        QCOMPARE(TestFiles::read(dir.path() + "/stopVt.sh"),
                 TestFiles::read(QStringLiteral(VT_SOURCE_DIR) + "/scripts/stopVt.sh"));
        QCOMPARE(TestFiles::read(dir.settingsPath()), settings);
        QVERIFY(dir.log().startsWith(logBefore));
        const QString updateLog = QString::fromUtf8(TestFiles::read(dir.path() + "/log/update.log"));
        QVERIFY2(updateLog.contains(newComesUp ? "upgrade succeeded" : "rollback succeeded"), qPrintable(updateLog));
        QCOMPARE(updateLog.contains("did not come up"), !newComesUp);
        // The program came up again in the same directory, in the same mode, writing to the same log.
        QCOMPARE(dir.log().count("Ready to run Vantorel"), 2);
        const QList<int> pids = processesOf(exe);
        QCOMPARE(pids.size(), 1);
        const QList<QByteArray> cmdline = TestFiles::read(QStringLiteral("/proc/%1/cmdline").arg(pids.first())).split('\0');
        QVERIFY2(cmdline.contains(mode.toUtf8()), cmdline.join(' ').constData());

        QVERIFY(runTool("bash", {dir.path() + "/stopVt.sh"}));
        QTRY_COMPARE_WITH_TIMEOUT(processesOf(exe).size(), 0, 10000);
    }
};

QTEST_GUILESS_MAIN(TestUpdateScript)
#include "tst_updatescript.moc"
