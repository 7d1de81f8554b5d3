#include "GuiClient.h"

#include "settings/VTServer.h"

// The connection manager is built alongside; until it is part of the build the channels run
// without a current server, as they do when none is configured.
#if __has_include("connection/VTConnection.h")
#include "connection/VTConnection.h"
#define VT_HAS_CONNECTION_MANAGER 1
#endif

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
#ifdef VT_HAS_CONNECTION_MANAGER
    return connection ? connection->getCurrentServer() : nullptr;
#else
    Q_UNUSED(connection)
    return nullptr;
#endif
}
