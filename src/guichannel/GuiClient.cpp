#include "GuiClient.h"

#include "connection/VTConnection.h"

GuiClient::GuiClient(QObject* parent)
    : QObject(parent)
{
}

GuiClient::~GuiClient() = default;

void GuiClient::start() { }

void GuiClient::updateGui() { }

const VTServer* GuiClient::currentServer(const VTConnection* connection)
{
    return connection ? connection->getCurrentServer() : nullptr;
}
