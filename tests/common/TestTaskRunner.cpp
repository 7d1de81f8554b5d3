#include "TestTaskRunner.h"

#include "guichannel/GuiClient.h"
#include "tasks/VTTask.h"
#include "tasks/VTTaskFactory.h"

#include <QSignalSpy>

#include <memory>

void TestTaskRunner::initFactory()
{
    static GuiClient client;
    if (!VTTaskFactory::m_init)
        VTTaskFactory::init(&client);
}

TaskOutcome TestTaskRunner::run(const QString& name, const QMap<QString, QVariant>& params, int timeoutMs)
{
    initFactory();
    TaskOutcome outcome;
    std::unique_ptr<VTTask> task(VTTaskFactory::createVTTask(name, params));
    if (!task)
        return outcome;
    outcome.created = true;
    outcome.name = task->m_name;
    outcome.taskUID = task->getTaskUID();
    // Both task kinds declare their own finished(QString), so connect by signature.
    QSignalSpy spy(task.get(), SIGNAL(finished(QString)));
    task->go();
    outcome.finishedInsideGo = spy.count() > 0;
    outcome.finished = outcome.finishedInsideGo || spy.wait(timeoutMs);
    // A detached task still running must not be read; deleting it stops its thread.
    if (!outcome.finished)
        return outcome;
    outcome.finishedID = spy.first().first().toString();
    outcome.result = task->m_result;
    outcome.error = task->m_error;
    return outcome;
}
