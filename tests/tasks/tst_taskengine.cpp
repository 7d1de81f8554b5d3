#include "TestTaskRunner.h"

#include "guichannel/GuiClient.h"
#include "tasks/VTAttachedTask.h"
#include "tasks/VTDetachedTask.h"
#include "tasks/VTInfo.h"
#include "tasks/VTTaskFactory.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace {

// Qt reports a thread it could not start through qErrnoWarning, whose level is critical in Qt 5
// and in early Qt 6 but a warning in later ones: the test expects what this Qt emits.
QtMsgType errnoWarningLevel()
{
    static QtMsgType level = QtCriticalMsg;
    const QtMessageHandler previous
        = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) { level = type; });
    qErrnoWarning(0, "probe");
    qInstallMessageHandler(previous);
    return level;
}

class ProbeAttached : public VTAttachedTask
{
public:
    explicit ProbeAttached(const QMap<QString, QVariant>& params)
        : VTAttachedTask(params, QStringLiteral("probe_attached"))
    {
    }
    void perform() override
    {
        performThread = QThread::currentThread();
        m_result = QStringLiteral("attached answer");
    }
    QThread* performThread = nullptr;
};

class ProbeDetached : public VTDetachedTask
{
public:
    explicit ProbeDetached(const QMap<QString, QVariant>& params, bool block = false)
        : VTDetachedTask(params, QStringLiteral("probe_detached"))
        , m_block(block)
    {
    }
    ~ProbeDetached() override { stopThread(); }
    void perform() override
    {
        performThread = QThread::currentThread();
        started.release();
        // Stands for a performer stuck on a child process: only termination ends it.
        while (m_block)
            QThread::msleep(50);
        m_result = 42;
        m_error = QStringLiteral("detached error");
    }
    // A stack too small for any thread: the system refuses to create it.
    void breakThread() { m_thread.setStackSize(1); }
    // Waits for perform() to return without running the event loop.
    bool threadEnded() { return m_thread.wait(5000); }
    QThread* performThread = nullptr;
    QSemaphore started;

private:
    const bool m_block;
};

QMap<QString, QVariant> contextParams(const QString& id)
{
    return {{QStringLiteral("__vt__context_req_id"), id}};
}

} // namespace

class TestTaskEngine : public QObject
{
    Q_OBJECT

private slots:
    void uninitialisedFactoryCreatesNothing()
    {
        QTest::ignoreMessage(QtCriticalMsg, "VTTaskFactory is not initialized! cannot create task");
        QVERIFY(!VTTaskFactory::createVTTask(QStringLiteral("linux_manage"), {}));

        GuiClient client;
        VTTaskFactory::init(&client);
        QVERIFY(VTTaskFactory::m_init);
        QTest::ignoreMessage(QtCriticalMsg, "VTTaskFatory initialization failed!");
        VTTaskFactory::init(nullptr);
        QTest::ignoreMessage(QtCriticalMsg, "VTTaskFactory is not initialized! cannot create task");
        QVERIFY(!VTTaskFactory::createVTTask(QStringLiteral("linux_manage"), {}));
    }

    void factoryNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("known");
        QTest::addColumn<bool>("attached");

        QTest::newRow("file exists") << "linux_file_exists" << true << true;
        QTest::newRow("process running") << "linux_process_running" << true << false;
        QTest::newRow("console user") << "user" << true << false;
        QTest::newRow("version") << "linux_vt_version" << true << true;
        QTest::newRow("wrong case") << "Linux_Manage" << false << false;
        QTest::newRow("trailing blank") << "user " << false << false;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("unknown") << "linux_coffee_level" << false << false;
    }

    void factoryNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, known);
        QFETCH(bool, attached);

        TestTaskRunner::initFactory();
        const QString id = QStringLiteral("{ctx-names}");
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(known ? QStringLiteral("created task [%1] msg id[%2]").arg(name, id)
                                              : QStringLiteral("created task [] msg id[]")));
        std::unique_ptr<VTTask> task(VTTaskFactory::createVTTask(name, contextParams(id)));
        QCOMPARE(task != nullptr, known);
        if (!known)
            return;
        QCOMPARE(task->m_name, name);
        QCOMPARE(qobject_cast<VTAttachedTask*>(task.get()) != nullptr, attached);
        QCOMPARE(qobject_cast<VTDetachedTask*>(task.get()) != nullptr, !attached);
    }

    void attachedTaskEndsInsideGo()
    {
        ProbeAttached task(contextParams(QStringLiteral("{ctx-a}")));
        QSignalSpy spy(&task, &VTAttachedTask::finished);
        task.go();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toString(), task.getTaskUID());
        QCOMPARE(task.performThread, QThread::currentThread());
        QCOMPARE(task.m_state, 2);
        QCOMPARE(task.m_result.toString(), QStringLiteral("attached answer"));
    }

    void detachedTaskEndsThroughEventLoop()
    {
        ProbeDetached task(contextParams(QStringLiteral("{ctx-d}")));
        QSignalSpy spy(&task, &VTDetachedTask::finished);
        task.go();
        QCOMPARE(task.m_state, 1);
        // Even a finished thread reports only once the event loop runs.
        QVERIFY(task.started.tryAcquire(1, 5000));
        QVERIFY(task.threadEnded());
        QCOMPARE(spy.count(), 0);
        QVERIFY(spy.wait(5000));
        QCOMPARE(spy.first().first().toString(), task.getTaskUID());
        QVERIFY(task.performThread != QThread::currentThread());
        QCOMPARE(task.m_state, 2);
        QCOMPARE(task.m_result.toInt(), 42);
        QCOMPARE(task.m_error, QStringLiteral("detached error"));
    }

    void detachedTaskWithoutThreadAnswersAnError()
    {
        ProbeDetached task(contextParams(QStringLiteral("{ctx-nothread}")));
        task.breakThread();
        QSignalSpy spy(&task, &VTDetachedTask::finished);
        QTest::ignoreMessage(errnoWarningLevel(), QRegularExpression("QThread::start"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("cannot start thread"));
        task.go();
        QCOMPARE(spy.count(), 0);
        QVERIFY(spy.wait(5000));
        QCOMPARE(task.m_error, QStringLiteral("Task thread cannot be started"));
        QVERIFY(!task.m_result.isValid());
    }

    void deletingRunningDetachedTaskStopsIt()
    {
        auto task = std::make_unique<ProbeDetached>(contextParams(QStringLiteral("{ctx-stuck}")), true);
        QSignalSpy spy(task.get(), &VTDetachedTask::finished);
        task->go();
        QVERIFY(task->started.tryAcquire(1, 5000));
        const QString uid = task->getTaskUID();
        QVERIFY(VTInfo::instance()->m_tasksInfo.contains(uid));
        QTest::ignoreMessage(QtCriticalMsg, R"(terminating running thread   msg id[ "{ctx-stuck}" ])");
        task.reset();
        QVERIFY(!VTInfo::instance()->m_tasksInfo.contains(uid));
        // The abandoned task never reports an end.
        QCoreApplication::processEvents();
        QCOMPARE(spy.count(), 0);
    }

    void identifiersAndStatistics()
    {
        VTInfo* info = VTInfo::instance();
        const quint32 totalBefore = info->m_totalTasksCount;
        const quint32 countBefore = info->m_tasksStats.value(QStringLiteral("probe_attached")).count;
        const QMap<QString, QVariant> params = contextParams(QStringLiteral("{ctx-same}"));
        {
            ProbeAttached first(params);
            ProbeAttached second(params);
            ProbeAttached orphan({{QStringLiteral("x"), 1}});
            QVERIFY(first.getTaskUID() != second.getTaskUID());
            QVERIFY(QUuid::fromString(first.getTaskUID()) != QUuid());
            QCOMPARE(first.getTaskUID().size(), 38);
            QCOMPARE(first.getTaskMsgID(), second.getTaskMsgID());
            QCOMPARE(first.getTaskMsgID(), QStringLiteral("{ctx-same}"));
            QVERIFY(orphan.getTaskMsgID().isEmpty());
            QCOMPARE(info->m_tasksInfo.value(first.getTaskUID()).msgID, QStringLiteral("{ctx-same}"));
            QCOMPARE(info->m_totalTasksCount, totalBefore + 3);
        }
        QCOMPARE(info->m_tasksStats.value(QStringLiteral("probe_attached")).count, countBefore + 3);
    }
};

QTEST_GUILESS_MAIN(TestTaskEngine)
#include "tst_taskengine.moc"
