#include "VTTroubleshootHandler.h"

#include "protocol/BaseClient.h"
#include "protocol/VTPasswordMask.h"
#include "settings/VTSettings.h"
#include "tasks/VTInfo.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QStringList>

const qint64 VTTroubleshootHandler::s_logTailBytes = 500000;

VTTroubleshootHandler::VTTroubleshootHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
    , m_params(json.value(QStringLiteral("msg")).toObject().value(QStringLiteral("params")).toObject().toVariantMap())
{
}

void VTTroubleshootHandler::handle()
{
    const VTInfo* info = VTInfo::instance();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();

    QStringList ongoing;
    for (auto it = info->m_tasksInfo.constBegin(); it != info->m_tasksInfo.constEnd(); ++it)
        ongoing << it->taskName + ":" + it->paramsText + ":" + QString::asprintf("%g", (now - it->startTime) / 1000.0);
    QStringList stats;
    for (auto it = info->m_tasksStats.constBegin(); it != info->m_tasksStats.constEnd(); ++it)
        stats << it.key() + ":count=" + QString::number(it->count)
                + ":average_time=" + QString::asprintf("%g", it->averageTime / 1000.0);
    m_params.insert(QStringLiteral("ongoing_tasks"), ongoing);
    m_params.insert(QStringLiteral("total_tasks_count"), info->m_totalTasksCount);
    m_params.insert(QStringLiteral("tasks_stats"), stats);

    const bool withLog = m_params.contains(QStringLiteral("log"));
    if (withLog) {
        QFile file(VTSettings::instance()->getLogFilePath());
        if (file.open(QIODevice::ReadOnly)) {
            if (file.size() > s_logTailBytes)
                file.seek(file.size() - s_logTailBytes);
            m_params.insert(QStringLiteral("log"), QString::fromUtf8(file.read(s_logTailBytes)));
            file.close();
        } else {
            m_params.insert(QStringLiteral("log"), QStringLiteral("Failed to read log file"));
        }
    }

    QJsonObject response;
    createResponse(response);
    QJsonObject msg = response.value(QStringLiteral("msg")).toObject();
    msg.insert(QStringLiteral("type"), QStringLiteral("troubleshoot_response"));
    msg.insert(QStringLiteral("params"), QJsonObject::fromVariantMap(m_params));
    response.insert(QStringLiteral("msg"), msg);

    // The log's own text is never copied back into the log.
    if (withLog)
        qDebug() << "Sent log to server.";
    else
        qDebug().noquote().nospace() << "Message sent: " << VTPasswordMask::forLog(response);
    m_client->sendMessage(QJsonDocument(response).toJson(QJsonDocument::Compact));
    emit finished(this);
}
