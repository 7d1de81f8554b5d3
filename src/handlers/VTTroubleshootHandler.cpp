#include "VTTroubleshootHandler.h"

#include "protocol/BaseClient.h"
#include "protocol/VTPasswordMask.h"
#include "settings/VTSettings.h"
#include "tasks/VTInfo.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>

const qint64 VTTroubleshootHandler::s_logTailBytes = 500000;

VTTroubleshootHandler::VTTroubleshootHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
    , m_params(json.value(QStringLiteral("msg")).toObject().value(QStringLiteral("params")).toObject().toVariantMap())
{
}

void VTTroubleshootHandler::handle()
{
    // The statistics are taken at this moment, their elapsed times included.
    const QMap<QString, QVariant> reports = VTInfo::instance()->troubleshootReports();
    for (auto it = reports.constBegin(); it != reports.constEnd(); ++it)
        m_params.insert(it.key(), it.value());

    const bool withLog = m_params.contains(QStringLiteral("log"));
    if (withLog) {
        QFile file(VTSettings::instance()->logFilePath());
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
