#include "GuiDecoupledServer.h"

#include "GuiServerConnection.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>

QString GuiDecoupledServer::s_pipeName = QStringLiteral("/tmp/OstrelleVantorelGUIpipe");

GuiDecoupledServer::GuiDecoupledServer(VTConnection* connection, QObject* app, QObject* parent)
    : GuiClient(parent)
    , m_connection(connection)
    , m_status(QStringLiteral("disconnected"))
    , m_app(app)
{
    auto* server = new QLocalServer(this);
    // Agents run as whichever user is logged in to the desktop, the daemon as root.
    server->setSocketOptions(QLocalServer::WorldAccessOption);
    QLocalServer::removeServer(s_pipeName);
    if (!server->listen(s_pipeName)) {
        qCritical() << "Unable to start gui pipe server";
        delete server;
        return;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &GuiDecoupledServer::newConnection);
}

GuiDecoupledServer::~GuiDecoupledServer() = default;

bool GuiDecoupledServer::isListening() const
{
    return m_server && m_server->isListening();
}

void GuiDecoupledServer::updateGui()
{
    emit serverChanged();
}

void GuiDecoupledServer::onServerChanged()
{
    emit serverChanged();
}

void GuiDecoupledServer::setStatus(const QString& status)
{
    m_status = status;
    emit statusChanged(m_status);
}

void GuiDecoupledServer::onConnected()
{
    setStatus(QStringLiteral("connected"));
}

void GuiDecoupledServer::onDisconnected()
{
    setStatus(QStringLiteral("disconnected"));
}

void GuiDecoupledServer::onInitialized()
{
    setStatus(QStringLiteral("initialized"));
}

void GuiDecoupledServer::onShowNotification(QString type, QString title, QString msg)
{
    emit showNotification(type, title, msg);
}

void GuiDecoupledServer::onCompliance(QString compliance)
{
    qDebug() << "GuiDecoupledServer::onCompliance :" << compliance;
    m_compliance = compliance;
    emit this->compliance(compliance);
}

void GuiDecoupledServer::newConnection()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        qInfo() << "New GUI client connected";
        auto* client = new GuiServerConnection(m_connection, socket, m_status, m_compliance, this);
        if (m_app)
            connect(client, SIGNAL(quit()), m_app, SLOT(Quit()));
    }
}
