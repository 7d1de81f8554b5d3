#include "ServerApp.h"

#include "app/ServiceNotifier.h"
#include "connection/VTConnection.h"
#include "gui/GuiClient.h"
#include "gui/GuiCoupledClient.h"
#include "gui/GuiDecoupledServer.h"
#include "protocol/BaseClient.h"
#include "settings/VTSettings.h"

#include <QCoreApplication>
#include <QDebug>

ServerApp::ServerApp(GuiClientType type)
    : m_notifier(new ServiceNotifier(this))
    , m_guiClientType(type)
{
}

ServerApp::~ServerApp()
{
    qInfo() << "Application exiting";
    delete m_guiClient;
    delete m_baseClient;
    delete m_connection;
}

bool ServerApp::isRunning()
{
    m_instanceLockResult = m_instanceLock.take();
    return m_instanceLockResult == InstanceLock::eHeld;
}

bool ServerApp::initialize()
{
    qInfo() << "Initializing application, version:" << QCoreApplication::applicationVersion();
    if (isRunning()) {
        qCritical() << "Application is already running";
        return false;
    }
    if (m_instanceLockResult != InstanceLock::eTaken) {
        return false;
    }

    // The file is the same for both scopes; the scope only says where the tray interface lives.
    const QSettings::Scope scope = m_guiClientType == GuiDecoupled ? QSettings::SystemScope : QSettings::UserScope;
    VTSettings::instance()->setScope(scope, false);
    if (VTSettings::instance()->load() != 0) {
        qCritical() << "CSettings::instance()->load";
        return false;
    }

    m_connection = createConnection();
    m_guiClient = createGuiClient();
    qDebug() << "before connect base client signals ";
    m_baseClient = createBaseClient();
    qDebug() << "before m_connection->open ";
    if (!openConnection()) {
        qInfo() << "Connection was closed!";
        return false;
    }

    qDebug() << "connect base client signals ";
    connectSessionSignals();
    qInfo() << "Application initialization completed";
    // Ready means settings loaded and the pipe served; the server may take a while to answer.
    m_notifier->notifyReady();
    return true;
}

VTConnection* ServerApp::createConnection()
{
    return new VTConnection;
}

GuiClient* ServerApp::createGuiClient()
{
    // Coupled: the tray lives in this process. Decoupled: a desktop agent reaches it over the GUI pipe.
    if (m_guiClientType == GuiCoupled)
        return new GuiCoupledClient(m_connection, this, this);
    return new GuiDecoupledServer(m_connection, this, this);
}

BaseClient* ServerApp::createBaseClient()
{
    // The session client also initialises the task factory and the kill monitor.
    return new BaseClient(m_connection, m_guiClient, this);
}

bool ServerApp::openConnection()
{
    return m_connection->open();
}

namespace {

// Both kinds of GUI channel take the same session signals; they share no base with those slots.
template<class Channel>
bool connectChannel(VTConnection* connection, BaseClient* client, GuiClient* guiClient)
{
    auto* channel = qobject_cast<Channel*>(guiClient);
    if (!channel)
        return false;
    QObject::connect(connection, &VTConnection::serverChanged, channel, &Channel::onServerChanged);
    QObject::connect(client, &BaseClient::connected, channel, &Channel::onConnected);
    QObject::connect(client, &BaseClient::disconnected, channel, &Channel::onDisconnected);
    QObject::connect(client, &BaseClient::initialized, channel, &Channel::onInitialized);
    QObject::connect(client, &BaseClient::compliance, channel, &Channel::onCompliance);
    return true;
}

} // namespace

void ServerApp::connectSessionSignals()
{
    // The channel hears of the session before it starts, so it misses no state change.
    if (!connectChannel<GuiCoupledClient>(m_connection, m_baseClient, m_guiClient))
        connectChannel<GuiDecoupledServer>(m_connection, m_baseClient, m_guiClient);
    m_guiClient->start();
    connect(this, &BasicApp::quit, qApp, &QCoreApplication::quit);
    connect(m_baseClient, &BaseClient::connected, this, &ServerApp::onConnected);
    connect(m_baseClient, &BaseClient::disconnected, this, &ServerApp::onDisconnected);
    connect(m_baseClient, &BaseClient::initialized, this, &ServerApp::onInitialized);
}

void ServerApp::onConnected()
{
    qInfo() << "Connected to server";
}

void ServerApp::onDisconnected()
{
    qInfo() << "Disconnected from server";
}

void ServerApp::onInitialized()
{
    qInfo() << "VTConnection initialized";
}
