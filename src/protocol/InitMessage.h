#pragma once

#include "protocol/JsonMessage.h"

class QWebSocket;

// Introduces the device: the address the connection leaves from, the hardware address of the
// interface that carries it, and the agent's version.
class InitMessage : public JsonMessage
{
public:
    explicit InitMessage(const QWebSocket* socket);

    void write(QJsonObject& json) const;
};
