#include "JsonMessage.h"

#include <QJsonValue>
#include <QUuid>
#include <QtDebug>

namespace {

// A member of the wrong JSON type must read as empty, never as a conversion of something else.
QString stringMember(const QJsonObject& object, const QString& key)
{
    return object.value(key).toString();
}

QJsonObject objectMember(const QJsonObject& object, const QString& key)
{
    return object.value(key).toObject();
}

} // namespace

JsonMessage::JsonMessage() = default;

QString JsonMessage::newMessageId()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

void JsonMessage::setAgentHeader(const QString& localAddress)
{
    msg_info.id = newMessageId();
    msg_info.src = localAddress;
    msg_info.dst = QStringLiteral("linux");
    msg_info.type = QStringLiteral("proxy");
}

void JsonMessage::write(QJsonObject& json) const
{
    QJsonObject header = objectMember(json, "msg_info");
    header["id"] = msg_info.id;
    header["src"] = msg_info.src;
    header["dst"] = msg_info.dst;
    header["type"] = msg_info.type;
    json["msg_info"] = header;

    QJsonObject body = objectMember(json, "msg");

    if (!msg.errors.isEmpty()) {
        QJsonObject fieldErrors;
        for (auto it = msg.errors.cbegin(); it != msg.errors.cend(); ++it) {
            if (it.key() == QLatin1String("global"))
                body["error"] = it.value();
            else
                fieldErrors[it.key()] = it.value();
        }
        if (!fieldErrors.isEmpty())
            body["errors"] = fieldErrors;
    }

    switch (msg.type) {
    case eMsgResolve:
        body["type"] = "resolve_response";
        if (!msg.fields.isEmpty())
            body["fields"] = QJsonObject::fromVariantMap(msg.fields);
        if (!msg.params.isEmpty())
            body["params"] = QJsonObject::fromVariantMap(msg.params);
        break;
    case eMsgAction:
        body["type"] = "action_response";
        break;
    case eMsgReconfigure:
        body["type"] = "reconfigure_response";
        break;
    case eMsgKpa:
        body["type"] = "kpa";
        break;
    case eMsgInit:
        body["type"] = "init";
        break;
    case eMsgConfigRequest:
        body["type"] = "config_request";
        break;
    case eMsgTroubleshoot:
        body["type"] = "troubleshoot_response";
        if (!msg.params.isEmpty())
            body["params"] = QJsonObject::fromVariantMap(msg.params);
        break;
    case eMsgInitOk:
        qWarning("Message is not designed to send : %d", int(msg.type));
        break;
    case eMsgNone:
    case eMsgConfigResponse:
    case eMsgCompliance:
    case eMsgNotInternal:
        // Inbound-only kinds: nothing to announce.
        break;
    }

    if (!msg.action_succeeded.isNull())
        body["action_succeeded"] = msg.action_succeeded.toString();

    json["msg"] = body;
}

bool JsonMessage::isValid(const QJsonObject& json)
{
    const QJsonObject header = objectMember(json, "msg_info");
    if (header.isEmpty()) {
        qWarning("Error parsing message. Couldn't find \"msg_info\" node");
        return false;
    }
    if (stringMember(header, "id").isEmpty()) {
        qWarning("Error parsing message. \"msg_info\" \"id\" is empty");
        return false;
    }
    if (stringMember(header, "src").isEmpty()) {
        qWarning("Error parsing message. \"msg_info\" \"src\" is empty");
        return false;
    }
    if (stringMember(header, "dst").isEmpty()) {
        qWarning("Error parsing message. \"msg_info\" \"dst\" is empty");
        return false;
    }
    if (stringMember(header, "type").isEmpty()) {
        qWarning("Error parsing message. C\"msg_info\" \"type\" is empty");
        return false;
    }
    if (objectMember(json, "msg").isEmpty()) {
        qWarning("Error parsing message. Couldn't find \"msg\" node");
        return false;
    }
    return true;
}

bool JsonMessage::read(const QJsonObject& json, const QString& fieldName)
{
    const QJsonObject header = objectMember(json, "msg_info");
    msg_info.id = stringMember(header, "id");
    msg_info.dst = stringMember(header, "src");
    msg_info.src = stringMember(header, "dst");
    msg_info.type = stringMember(header, "type");

    const QJsonObject body = objectMember(json, "msg");
    msg.name = stringMember(body, "name");

    const QString type = stringMember(body, "type");
    if (type == QLatin1String("resolve_request")) {
        msg.type = eMsgResolve;
        const QJsonObject fields = objectMember(body, "fields");
        if (!fieldName.isEmpty() && fields.contains(fieldName)) {
            msg.fields.clear();
            msg.fields.insert(fieldName, fields.value(fieldName).toVariant().toString());
        } else {
            msg.fields = fields.toVariantMap();
        }
    } else if (type == QLatin1String("action_request")) {
        msg.type = eMsgAction;
        if (body.contains("cancel"))
            msg.cancel = true;
        msg.origid = stringMember(body, "origid");
    } else if (type == QLatin1String("config_response")) {
        msg.type = eMsgConfigResponse;
    } else if (type == QLatin1String("compliance")) {
        msg.type = eMsgCompliance;
    } else if (type == QLatin1String("kpa")) {
        msg.type = eMsgKpa;
    } else if (type == QLatin1String("troubleshoot")) {
        msg.type = eMsgTroubleshoot;
    } else if (type == QLatin1String("reconfigure")) {
        msg.type = eMsgReconfigure;
    } else if (type == QLatin1String("init_ok")) {
        msg.type = eMsgInitOk;
    } else if (type == QLatin1String("not_internal")) {
        msg.type = eMsgNotInternal;
    } else {
        msg.errors["global"] = QStringLiteral("Unknown message type :") + type;
        qWarning("Error parsing message. Unknown message type : %s", qUtf8Printable(type));
        return false;
    }

    msg.params = objectMember(body, "params").toVariantMap();
    return true;
}
