#include "ServerApp.h"

#include "GuiModule.h"
#include "GuiModuleLoader.h"
#include "app/ServiceNotifier.h"
#include "connection/VTConnection.h"
#include "guichannel/GuiClient.h"
#include "guichannel/GuiDecoupledServer.h"
#include "protocol/BaseClient.h"
#include "settings/VTSettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QSslSocket>

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
    if (!tlsAvailable())
        return false;

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

bool ServerApp::tlsAvailable()
{
    // Qt 6 loads TLS from a plugin and only warns, in a category the log filters out, when it
    // finds none; every connection would then fail without a word on why.
    if (QSslSocket::supportsSsl())
        return true;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QStringList backends = QSslSocket::availableBackends();
    const QString detail = QStringLiteral("backends found: ")
        + (backends.isEmpty() ? QStringLiteral("none") : backends.join(QStringLiteral(", ")));
#else
    const QString detail = QStringLiteral("OpenSSL could not be loaded");
#endif
    qCritical().noquote() << QStringLiteral("TLS is not available: Qt %1 cannot load a TLS backend (%2)")
                                 .arg(QString::fromLatin1(qVersion()), detail);
    return false;
}

VTConnection* ServerApp::createConnection()
{
    return new VTConnection;
}

GuiClient* ServerApp::createGuiClient()
{
    // Coupled: the tray lives in this process. Decoupled: a desktop agent reaches it over the GUI pipe.
    if (m_guiClientType == GuiCoupled)
        return GuiModuleLoader::module()->createCoupledClient(m_connection, this, this);
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

void ServerApp::connectSessionSignals()
{
    // The channel hears of the session before it starts, so it misses no state change. Both kinds
    // have these slots, but the coupled one's class lives in the tray module, so they are named.
    connect(m_connection, SIGNAL(serverChanged()), m_guiClient, SLOT(onServerChanged()));
    connect(m_baseClient, SIGNAL(connected()), m_guiClient, SLOT(onConnected()));
    connect(m_baseClient, SIGNAL(disconnected()), m_guiClient, SLOT(onDisconnected()));
    connect(m_baseClient, SIGNAL(initialized()), m_guiClient, SLOT(onInitialized()));
    connect(m_baseClient, SIGNAL(compliance(QString)), m_guiClient, SLOT(onCompliance(QString)));
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
