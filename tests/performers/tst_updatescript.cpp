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
int processesOf(const QString& exe)
{
    int count = 0;
    const QStringList pids = QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs);
    for (const QString& pid : pids) {
        QString target = QFile::symLinkTarget("/proc/" + pid + "/exe");
        target.remove(" (deleted)");
        const QByteArray stat = TestFiles::read("/proc/" + pid + "/stat");
        const bool zombie = stat.contains(") Z ");
        if (target == exe && !zombie) {
            ++count;
        }
    }
    return count;
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
    void replacesProgramKeepsSettingsAndLogRestartsDaemon()
    {
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

        QProcess* oldDaemon = dir.start({"-daemon"});
        QVERIFY(dir.waitForLog("Ready to run Vantorel", 15000));
        const QByteArray settings = TestFiles::read(dir.settingsPath());
        const QString logBefore = dir.log();

        QTemporaryDir work;
        QVERIFY(runTool("bash",
                        {QStringLiteral(VT_SOURCE_DIR) + "/tools/make-upgrade-package.sh", "-b",
                         QFileInfo(VT_EXECUTABLE).absolutePath(), "-o", work.path()}));
        QVERIFY(runTool("tar", {"-zxf", work.filePath("update_64.tgz"), "-C", work.path()}));

        QVERIFY(runTool("bash",
                        {work.filePath("Update/update.sh"), "-pid", QString::number(oldDaemon->processId()), "-path",
                         dir.path(), "-t", "ws", "-v", "0"}));

        QVERIFY(oldDaemon->waitForFinished(10000));
        QCOMPARE(TestFiles::read(dir.executable()), TestFiles::read(VT_EXECUTABLE));
        QCOMPARE(TestFiles::read(dir.path() + "/stopVt.sh"),
                 TestFiles::read(QStringLiteral(VT_SOURCE_DIR) + "/scripts/stopVt.sh"));
        QCOMPARE(TestFiles::read(dir.settingsPath()), settings);
        QVERIFY(dir.log().startsWith(logBefore));
        // The new program came up as a daemon in the same directory, writing to the same log.
        QTRY_COMPARE_WITH_TIMEOUT(dir.log().count("Ready to run Vantorel"), 2, 15000);
        QCOMPARE(processesOf(exe), 1);

        QVERIFY(runTool("bash", {dir.path() + "/stopVt.sh"}));
        QTRY_COMPARE_WITH_TIMEOUT(processesOf(exe), 0, 10000);
    }
};

QTEST_GUILESS_MAIN(TestUpdateScript)
#include "tst_updatescript.moc"
