#include "VTMsgHandler.h"

#include "protocol/BaseClient.h"
#include "protocol/VTPasswordMask.h"

#include <QDebug>
#include <QJsonDocument>

VTMsgHandler::VTMsgHandler(const QJsonObject& json, BaseClient* client, QObject* parent)
    : QObject(parent)
    , m_request(json)
    , m_client(client)
{
    const QJsonObject header = json.value(QStringLiteral("msg_info")).toObject();
    m_msgInfo.id = header.value(QStringLiteral("id")).toString();
    m_msgInfo.src = header.value(QStringLiteral("dst")).toString();
    m_msgInfo.dst = header.value(QStringLiteral("src")).toString();
    m_msgInfo.type = header.value(QStringLiteral("type")).toString();
}

VTMsgHandler::~VTMsgHandler() = default;

void VTMsgHandler::createResponse(QJsonObject& json) const
{
    QJsonObject header = json.value(QStringLiteral("msg_info")).toObject();
    header.insert(QStringLiteral("id"), m_msgInfo.id);
    header.insert(QStringLiteral("src"), m_msgInfo.src);
    header.insert(QStringLiteral("dst"), m_msgInfo.dst);
    header.insert(QStringLiteral("type"), m_msgInfo.type);
    json.insert(QStringLiteral("msg_info"), header);
}

qint64 VTMsgHandler::sendResponse(const QJsonObject& response)
{
    // The answer echoes the request's "params", so a password given there must not travel back.
    const QJsonObject masked = VTPasswordMask::masked(response);
    qDebug().noquote().nospace() << "Message sent: " << VTPasswordMask::forLog(masked);
    const QByteArray data = QJsonDocument(masked).toJson(QJsonDocument::Compact);
    m_client->sendMessage(data);
    return data.size();
}
