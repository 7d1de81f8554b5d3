#include "ConfigMessage.h"

#include <QWebSocket>

ConfigMessage::ConfigMessage(const QWebSocket* socket)
{
    setAgentHeader(socket ? socket->localAddress().toString() : QString());
    msg.type = eMsgConfigRequest;
}
