#include "LogCapture.h"
#include "TestFiles.h"
#include "TestSeam.h"
#include "TestTaskRunner.h"
#include "performers/ProcessKill.h"
#include "performers/ProcessKillMonitor.h"
#include "performers/ShutDown.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QUuid>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {

using Params = QMap<QString, QVariant>;

// A program name no other process on the machine carries (killall matches 15 characters).
QString uniqueName()
{
    return "vtk" + QUuid::createUuid().toString(QUuid::Id128).left(10);
}

} // namespace

class TestProcessKill : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QWebSocketServer m_server {"kill-test", QWebSocketServer::NonSecureMode};
    QWebSocket m_socket;
    QList<QWebSocket*> m_peers;
    std::vector<std::unique_ptr<QProcess>> m_victims;

    // Starts a copy of sleep under `name`, as `user` when one is given.
    QProcess* startVictim(const QString& name, const QString& user = QString())
    {
        const QString path = m_dir.filePath(name);
        if (!QFile::exists(path)) {
            QFile::copy("/bin/sleep", path);
            QFile::setPermissions(path, QFile::ExeOwner | QFile::ReadOwner | QFile::ExeOther | QFile::ReadOther);
        }
        m_victims.emplace_back(new QProcess);
        QProcess* p = m_victims.back().get();
        if (user.isEmpty()) {
            p->start(path, {"30"});
        } else {
            p->start("setpriv", {"--reuid=" + user, "--regid=" + user, "--clear-groups", path, "30"});
        }
        p->waitForStarted();
        return p;
    }

    // Both wait with the event loop running, so that the monitor's timer can fire meanwhile.
    static bool killedWithin(QProcess* p, int ms)
    {
        if (p->state() != QProcess::NotRunning) {
            QSignalSpy finished(p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
            finished.wait(ms);
        }
        return p->state() == QProcess::NotRunning && p->exitStatus() == QProcess::CrashExit;
    }

    // Stays alive over the monitor's ticks, which are what would kill it: one run here, then two of
    // its timer's. A tick that runs no killall means nothing is registered, so no tick can kill.
    static bool survives(QProcess* p)
    {
        LogCapture log;
        const auto killallRuns = [&log] {
            int runs = 0;
            for (const auto& message : log.messages())
                runs += message.second.contains("\"ProcessKill\"") ? 1 : 0;
            return runs;
        };
        ProcessKillMonitor::instance()->monitorCommands();
        const int perTick = killallRuns();
        if (perTick > 0 && !QTest::qWaitFor([&] { return killallRuns() >= 3 * perTick; }, 10000))
            return false;
        return p->state() == QProcess::Running;
    }

    static TaskOutcome kill(const QString& id, const QString& name, bool cancel = false)
    {
        Params params {{"linux_process_name", name}, {"__vt__context_req_id", id}};
        if (cancel) {
            params.insert("cancel", true);
        }
        return TestTaskRunner::run(ProcessKill::msg_name, params);
    }

    bool connectSocket()
    {
        m_socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_server.serverPort())));
        QSignalSpy spy(&m_socket, &QWebSocket::connected);
        return m_socket.state() == QAbstractSocket::ConnectedState || spy.wait(5000);
    }

    TestSeam<int> m_interval {ProcessKillMonitor::s_intervalMs, 250};

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        connect(&m_server, &QWebSocketServer::newConnection, this,
                [this] { m_peers.append(m_server.nextPendingConnection()); });
        QVERIFY(connectSocket());
        QVERIFY(!ProcessKillMonitor::instance());
        ProcessKillMonitor::init(&m_socket);
        QVERIFY(ProcessKillMonitor::instance());
    }

    void cleanup()
    {
        for (auto& victim : m_victims) {
            victim->kill();
            victim->waitForFinished(2000);
        }
        m_victims.clear();
    }

    void wrongFormat_data()
    {
        QTest::addColumn<Params>("params");
        QTest::newRow("no name") << Params {{"__vt__context_req_id", "id1"}};
        QTest::newRow("no context id") << Params {{"linux_process_name", "x"}};
    }

    void wrongFormat()
    {
        QFETCH(Params, params);
        const TaskOutcome outcome = TestTaskRunner::run(ProcessKill::msg_name, params);
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.result, QVariant(false));
        QCOMPARE(outcome.error, QString("Wrong JSON format (ProcessKill)"));
    }

    void killsAtOnceAndAgainUntilCancelled()
    {
        const QString name = uniqueName();
        QProcess* first = startVictim(name);
        const TaskOutcome outcome = kill("origin-1", name);
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.result, QVariant(true));
        QCOMPARE(outcome.error, QString());
        // killall ran inside go(): no event loop was needed for the first kill.
        QVERIFY(killedWithin(first, 1000));

        QVERIFY(killedWithin(startVictim(name), 3000));

        QCOMPARE(kill("origin-1", name, true).result, QVariant(true));
        QVERIFY(survives(startVictim(name)));
    }

    void missingProgramCountsAsSuccess()
    {
        LogCapture log;
        QCOMPARE(kill("origin-absent", uniqueName()).result, QVariant(true));
        QVERIFY(log.contains(QtDebugMsg, "\"ProcessKill\" success"));
        QCOMPARE(log.count(QtWarningMsg), 0);
        kill("origin-absent", QString(), true);
    }

    void manyNamesShareOneKillallPerTick()
    {
        // One killall per name and per tick blocked the session for seconds with forty names.
        QStringList names;
        for (int i = 0; i < 40; ++i) {
            names << uniqueName();
            kill("origin-many-" + QString::number(i), names.last());
        }
        kill("origin-many-again", names.first());
        QProcess* victim = startVictim(names.last());
        {
            LogCapture log;
            ProcessKillMonitor::instance()->monitorCommands();
            QCOMPARE(log.count(QtDebugMsg), 1);
        }
        QVERIFY(killedWithin(victim, 1000));
        for (int i = 0; i < 40; ++i)
            kill("origin-many-" + QString::number(i), names.at(i), true);
        kill("origin-many-again", names.first(), true);
    }

    void optionLikeNameKillsNothingElse()
    {
        // Read as an option, the name would select every process of that user. "games" owns
        // nothing on a build machine but the victim, so a fault here harms nothing else.
        if (QStandardPaths::findExecutable("setpriv").isEmpty() || ::getuid() != 0)
            QSKIP("needs root and setpriv to start a process as another user");
        QProcess* victim = startVictim(uniqueName(), "games");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo("/proc/" + QString::number(victim->processId())).ownerId() != 0, 5000);
        kill("origin-option", "--user=games");
        QVERIFY(survives(victim));
        kill("origin-option", "--user=games", true);
    }

    void cancellingOneOfTwoKeepsTheOther()
    {
        const QString kept = uniqueName();
        const QString cancelled = uniqueName();
        kill("origin-a", kept);
        kill("origin-b", cancelled);
        // An unknown id changes nothing.
        QCOMPARE(kill("origin-never", cancelled, true).result, QVariant(true));
        QCOMPARE(kill("origin-b", cancelled, true).result, QVariant(true));

        QProcess* keptVictim = startVictim(kept);
        QProcess* cancelledVictim = startVictim(cancelled);
        QVERIFY(killedWithin(keptVictim, 3000));
        QVERIFY(survives(cancelledVictim));
        kill("origin-a", kept, true);
    }

    void disconnectDropsEveryRegistration()
    {
        const QString a = uniqueName();
        const QString b = uniqueName();
        kill("origin-x", a);
        kill("origin-y", b);
        QVERIFY(killedWithin(startVictim(a), 3000));

        QSignalSpy disconnected(&m_socket, &QWebSocket::disconnected);
        QVERIFY(!m_peers.isEmpty());
        m_peers.takeLast()->close();
        QVERIFY(disconnected.wait(5000));

        QProcess* victimA = startVictim(a);
        QProcess* victimB = startVictim(b);
        QVERIFY(survives(victimA));
        QCOMPARE(victimB->state(), QProcess::Running);

        // The monitor keeps following the same socket once it reconnects.
        QVERIFY(connectSocket());
        kill("origin-z", b);
        QVERIFY(killedWithin(victimB, 1000));
        QVERIFY(victimA->state() == QProcess::Running);
        QSignalSpy again(&m_socket, &QWebSocket::disconnected);
        m_socket.close();
        QVERIFY(again.count() > 0 || again.wait(5000));
        QVERIFY(survives(startVictim(b)));
    }

    void shutDownHandsTheStopScriptToADetachedShell()
    {
        // Kept until the end: the detached shell may still be reading the wrapper.
        static QTemporaryDir wrappers;
        TestSeam seam(ShutDown::tmp_file_template, wrappers.path() + "/ot_XXXXXX.sh");
        // A stand-in stop script records the wrapper, mode and text, while the wrapper runs it.
        const QString stopScript = QCoreApplication::applicationDirPath() + "/stopVt.sh";
        QVERIFY(!QFile::exists(stopScript));
        const QByteArray record = wrappers.filePath("record").toLocal8Bit();
        const auto removeStopScript = qScopeGuard([&] { QFile::remove(stopScript); });
        QVERIFY(TestFiles::write(stopScript,
                                 "#!/bin/sh\nfor f in '" + wrappers.path().toLocal8Bit()
                                     + "'/ot_*.sh; do stat -c %a \"$f\"; cat \"$f\"; done > '" + record
                                     + ".part' && mv '" + record + ".part' '" + record + "'\n",
                                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        const TaskOutcome outcome = TestTaskRunner::run(ShutDown::msg_name);
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.result, QVariant(true));

        QTRY_VERIFY(QFile::exists(record));
        QCOMPARE(QString::fromLocal8Bit(TestFiles::read(record)), "700\n" + stopScript);
        // The wrapper goes with the shell that ran it.
        QTRY_COMPARE(QDir(wrappers.path()).entryList({"ot_*.sh"}, QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestProcessKill)
#include "tst_processkill.moc"
