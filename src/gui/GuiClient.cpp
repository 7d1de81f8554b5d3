#include "GuiClient.h"

#include "connection/VTConnection.h"
#include "settings/VTServer.h"

GuiClient::GuiClient(QObject* parent)
    : QObject(parent)
{
}

GuiClient::~GuiClient() = default;

void GuiClient::start() { }

void GuiClient::updateGui() { }

QString GuiClient::shownAddress(const VTServer& server)
{
    if (!server.m_serverInUse.trimmed().isEmpty())
        return server.m_serverInUse;
    if (!server.m_hostName.isEmpty())
        return server.m_hostName;
    return server.m_server;
}

const VTServer* GuiClient::currentServer(const VTConnection* connection)
{
    return connection ? connection->getCurrentServer() : nullptr;
}
