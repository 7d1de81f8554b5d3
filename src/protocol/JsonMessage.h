#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVariant>

// The numbering is shared with the server side; never reorder.
enum eMsgType
{
    eMsgNone = 0,
    eMsgResolve = 1,
    eMsgAction = 2,
    eMsgReconfigure = 3,
    eMsgKpa = 4,
    eMsgInit = 5,
    eMsgConfigRequest = 6,
    eMsgConfigResponse = 7,
    eMsgInitOk = 8,
    eMsgCompliance = 9,
    eMsgTroubleshoot = 10,
    eMsgNotInternal = 11
};

// One message of the server protocol: a routing header ("msg_info") and a body ("msg").
class JsonMessage
{
public:
    struct msg_info_t
    {
        QString id;
        QString src;
        QString dst;
        QString type;
    };

    struct msg_t
    {
        eMsgType type = eMsgNone;
        // The key "global" holds the message-wide error; the others are per field.
        QMap<QString, QString> errors;
        QVariant action_succeeded;
        QVariant cancel = false;
        QString name;
        QString origid;
        QMap<QString, QVariant> fields;
        QMap<QString, QVariant> params;
    };

    JsonMessage();

    // Members already under "msg" in `json` are kept unless this message sets them.
    void write(QJsonObject& json) const;
    // Swaps "src" and "dst" so that writing the result back answers the sender.
    bool read(const QJsonObject& json, const QString& fieldName);
    static bool isValid(const QJsonObject& json);

    // Header id for a message the agent originates: upper-case UUID without braces.
    static QString newMessageId();
    // The header every agent-originated message carries: a fresh id, from the connection's
    // local address to the server side.
    void setAgentHeader(const QString& localAddress);

    msg_info_t msg_info;
    msg_t msg;
};
