#pragma once

#include "protocol/JsonMessage.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

class BaseClient;

// One handler serves one inbound message and is deleted by the session client while it emits
// `finished`, so emitting is always the last thing a handler does.
class VTMsgHandler : public QObject
{
    Q_OBJECT

public:
    // The header of the answer being built: the same fields as any message's.
    using msg_info_t = JsonMessage::msg_info_t;

    VTMsgHandler(const QJsonObject& json, BaseClient* client, QObject* parent = nullptr);
    ~VTMsgHandler() override;

    virtual void handle() = 0;

    // Writes the answer's routing header: the request's id and type, sender and receiver swapped.
    void createResponse(QJsonObject& json) const;

    // Set by the session client when the connection drops while this handler runs: answers for
    // work that ends afterwards would reach the next session, which never asked.
    void markForDeletion() { m_markedForDeletion = true; }
    bool isMarkedForDeletion() const { return m_markedForDeletion; }

signals:
    void finished(VTMsgHandler* handler);

protected:
    // Masks the password keys, logs the answer and sends it; returns the bytes sent.
    qint64 sendResponse(const QJsonObject& response);

    msg_info_t m_msgInfo;
    QJsonObject m_request;
    BaseClient* m_client;
    bool m_markedForDeletion = false;
};

Q_DECLARE_METATYPE(VTMsgHandler*)
