#include "VTResolveHandler.h"

#include "VTFieldsGroups.h"
#include "tasks/VTTask.h"
#include "tasks/VTTaskFactory.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUuid>

#include <utility>

const qint64 VTResolveHandler::s_maxAnswerBytes = 8 * 1024 * 1024;

VTResolveHandler::VTResolveHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
{
    const QJsonObject msg = json.value(QStringLiteral("msg")).toObject();
    for (const QString& field : msg.value(QStringLiteral("fields")).toObject().keys())
        m_fields.insert(field);
    handleGroupedFields();
    m_params = msg.value(QStringLiteral("params")).toObject().toVariantMap();
    m_contextReqId = QUuid::createUuid().toString();
    m_params.insert(VTTask::contextRequestIdKey, m_contextReqId);
    m_echoBytes = QJsonDocument(msg).toJson(QJsonDocument::Compact).size();
}

VTResolveHandler::~VTResolveHandler()
{
    // Only reached with tasks left when the session client goes away mid-request.
    qDeleteAll(m_tasks);
}

void VTResolveHandler::handleGroupedFields()
{
    QSet<QString> companions;
    for (const QString& field : std::as_const(m_fields)) {
        QSet<QString> group;
        VTFieldsGroups::getGroup(field, group);
        companions.unite(group);
    }
    m_fields.unite(companions);
}

void VTResolveHandler::handle()
{
    for (const QString& name : std::as_const(m_fields)) {
        VTTask* task = VTTaskFactory::createVTTask(name, m_params);
        if (task) {
            // Attached and detached tasks each declare the signal of their own.
            connect(task, SIGNAL(finished(QString)), this, SLOT(onTaskFinished(QString)));
            m_tasks.insert(task->getTaskUID(), task);
        } else {
            respond(nullptr, name, QStringLiteral("Unknown field type"));
        }
    }

    if (m_droppedAnswers > 0) {
        qWarning("Resolve request %s: %d unknown fields left unanswered, its answers passed %lld bytes",
                 qPrintable(m_msgInfo.id), m_droppedAnswers, s_maxAnswerBytes);
    }

    if (m_tasks.isEmpty()) {
        emit finished(this);
        return;
    }

    // Every task is stored before any starts, so none can finish unknown to the handler. The
    // last attached task may end the handler inside go(): nothing of it is touched afterwards.
    const QStringList ids = m_tasks.keys();
    for (const QString& id : ids) {
        VTTask* task = m_tasks.value(id);
        task->go();
    }
}

void VTResolveHandler::onTaskFinished(QString strTaskID)
{
    VTTask* task = m_tasks.take(strTaskID);
    if (!task) {
        qCritical() << "Got a finished signal for a task and it's missing! something is deeply wrong here. id:"
                    << strTaskID;
        return;
    }

    if (m_markedForDeletion)
        qDebug() << "This task was marked for deletion. Ignoring a finished task. id:" << strTaskID
                 << "; name:" << task->m_name;
    else
        respond(task, QString(), QString());
    delete task;

    if (m_tasks.isEmpty())
        emit finished(this);
}

void VTResolveHandler::respond(VTTask* task, const QString& fieldName, const QString& error)
{
    QJsonObject response;
    createResponse(response);

    // Past the budget an answer carries only its own field, not the request's body again, and an
    // unknown field gets no answer at all (one warning counts them): a task's answer always goes.
    const bool fullForm = m_answerBytes + m_echoBytes <= s_maxAnswerBytes;
    if (!task && !fullForm && m_answerBytes >= s_maxAnswerBytes) {
        ++m_droppedAnswers;
        return;
    }
    QJsonObject msg = fullForm ? m_request.value(QStringLiteral("msg")).toObject() : QJsonObject();
    msg.insert(QStringLiteral("type"), QStringLiteral("resolve_response"));
    if (task) {
        QVariantMap fields;
        fields.insert(task->m_name, task->m_result);
        msg.insert(QStringLiteral("fields"), QJsonObject::fromVariantMap(fields));
    }

    if (!error.isEmpty() && !fieldName.isEmpty())
        msg.insert(QStringLiteral("errors"), QJsonObject {{fieldName, error}});
    else if (task && !task->m_error.isEmpty())
        msg.insert(QStringLiteral("errors"), QJsonObject {{task->m_name, task->m_error}});

    response.insert(QStringLiteral("msg"), msg);
    m_answerBytes += sendResponse(response);
}
