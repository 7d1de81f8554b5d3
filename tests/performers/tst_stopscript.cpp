#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

// The stop script run by the shutdown action: it must stop every process of its own
// installation, including one whose executable was replaced under it, and nothing else.
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
                && QFile::copy(scripts + "vtCommon.sh", dir + "/vtCommon.sh"));
    }

    QProcess* start(const QString& dir)
    {
        m_processes.emplace_back(new QProcess);
        QProcess* p = m_processes.back().get();
        p->start(dir + "/vantorel", {"30"});
        p->waitForStarted();
        return p;
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
        QTest::addColumn<bool>("replaceExecutable");
        QTest::newRow("running copies") << false;
        QTest::newRow("executable replaced since start") << true;
    }

    void stopsOnlyThisInstallation()
    {
        QFETCH(bool, replaceExecutable);
        QTemporaryDir own;
        QTemporaryDir other;
        QVERIFY(makeInstallation(own.path(), true));
        QVERIFY(makeInstallation(other.path(), false));

        QProcess* daemon = start(own.path());
        QProcess* agent = start(own.path());
        QProcess* foreign = start(other.path());
        if (replaceExecutable) {
            // As an upgrade does: a new file renamed over the running one.
            QVERIFY(QFile::copy("/bin/sleep", own.filePath(".vantorel.new")));
            QVERIFY(QFile::setPermissions(own.filePath(".vantorel.new"), QFile::ExeOwner | QFile::ReadOwner));
            QVERIFY(::rename(qPrintable(own.filePath(".vantorel.new")), qPrintable(own.filePath("vantorel"))) == 0);
        }

        QProcess stop;
        stop.start("bash", {own.filePath("stopVt.sh")});
        QVERIFY(stop.waitForFinished(15000));
        QCOMPARE(stop.exitCode(), 0);

        QVERIFY(daemon->waitForFinished(2000));
        QVERIFY(agent->waitForFinished(2000));
        QCOMPARE(daemon->exitStatus(), QProcess::CrashExit);
        QCOMPARE(foreign->state(), QProcess::Running);
    }
};

QTEST_GUILESS_MAIN(TestStopScript)
#include "tst_stopscript.moc"
