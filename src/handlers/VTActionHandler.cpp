#include "VTActionHandler.h"

#include "tasks/VTTask.h"
#include "tasks/VTTaskFactory.h"

#include <QDebug>

VTActionHandler::VTActionHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
{
    const QJsonObject msg = json.value(QStringLiteral("msg")).toObject();
    m_params = msg.value(QStringLiteral("params")).toObject().toVariantMap();
    m_cancel = msg.contains(QStringLiteral("cancel"));
    if (m_cancel)
        m_params.insert(QStringLiteral("cancel"), true);
    m_actionName = msg.value(QStringLiteral("name")).toString();
    // A cancel names the action it ends by the server's id, so the task must carry that id.
    m_origId = msg.value(QStringLiteral("origid")).toString();
    m_params.insert(VTTask::contextRequestIdKey, m_origId);
}

VTActionHandler::~VTActionHandler()
{
    delete m_task;
}

void VTActionHandler::handle()
{
    m_task = VTTaskFactory::createVTTask(m_actionName, m_params);
    if (m_task) {
        // Attached and detached tasks each declare the signal of their own.
        connect(m_task, SIGNAL(finished(QString)), this, SLOT(onTaskFinished(QString)));
        // An attached task answers and ends the handler inside go().
        m_task->go();
        return;
    }
    respond(nullptr, QStringLiteral("Unknown action type"));
    emit finished(this);
}

void VTActionHandler::onTaskFinished(QString strTaskID)
{
    if (!m_task || m_task->getTaskUID() != strTaskID) {
        qCritical() << "Got a finished signal for a task and it's missing! something is deeply wrong here. id:"
                    << strTaskID;
        return;
    }

    if (m_markedForDeletion)
        qDebug() << "This handler was marked for deletion. Ignoring a finished task. id:" << strTaskID
                 << "; name:" << m_task->m_name;
    else
        respond(m_task);

    delete m_task;
    m_task = nullptr;
    emit finished(this);
}

void VTActionHandler::respond(VTTask* task, QString error)
{
    QJsonObject response;
    createResponse(response);

    QJsonObject msg = m_request.value(QStringLiteral("msg")).toObject();
    msg.insert(QStringLiteral("type"), QStringLiteral("action_response"));
    if (!error.isNull())
        msg.insert(QStringLiteral("error"), error);
    else if (task && !task->m_error.isEmpty())
        msg.insert(QStringLiteral("error"), task->m_error);

    const bool succeeded = task && !task->m_result.isNull() && task->m_result.toString() == QLatin1String("true");
    // The server reads the outcome as text, not as a JSON boolean.
    msg.insert(QStringLiteral("action_succeeded"), succeeded ? QStringLiteral("true") : QStringLiteral("false"));

    response.insert(QStringLiteral("msg"), msg);
    sendResponse(response);
}
