#pragma once

#include "protocol/JsonMessage.h"

class QWebSocket;

// Asks the server for this agent's configuration; the envelope writer produces the whole message.
class ConfigMessage : public JsonMessage
{
public:
    explicit ConfigMessage(const QWebSocket* socket);
};
