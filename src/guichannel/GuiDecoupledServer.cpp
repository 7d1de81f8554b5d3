#include "GuiDecoupledServer.h"

#include "GuiPipePath.h"
#include "GuiServerConnection.h"

#include <QDebug>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

QString GuiDecoupledServer::s_pipeName = QStringLiteral("/tmp/OstrelleVantorelGUIpipe");
int GuiDecoupledServer::s_maxClients = 64;
int GuiDecoupledServer::s_listenCheckMs = 1000;

GuiDecoupledServer::GuiDecoupledServer(VTConnection* connection, QObject* app, QObject* parent)
    : GuiClient(parent)
    , m_connection(connection)
    , m_status(QStringLiteral("disconnected"))
    , m_app(app)
    , m_server(new QLocalServer(this))
    , m_listenCheck(new QTimer(this))
{
    // Agents run as whichever user is logged in to the desktop, the daemon as root.
    m_server->setSocketOptions(QLocalServer::WorldAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &GuiDecoupledServer::newConnection);
    ensureListening();
    connect(m_listenCheck, &QTimer::timeout, this, &GuiDecoupledServer::ensureListening);
    m_listenCheck->start(s_listenCheckMs);
}

GuiDecoupledServer::~GuiDecoupledServer() = default;

bool GuiDecoupledServer::isListening() const
{
    // When accepting fails (typically for want of descriptors) Qt closes its listening socket and
    // removes the socket file, yet still reports that it listens: what agents find at the path
    // is what counts.
    struct stat st = {};
    return m_server->isListening() && lstat(QFile::encodeName(s_pipeName).constData(), &st) == 0 && S_ISSOCK(st.st_mode)
        && st.st_uid == geteuid() && st.st_dev == m_socketFile.first && st.st_ino == m_socketFile.second;
}

void GuiDecoupledServer::ensureListening()
{
    if (isListening())
        return;
    if (m_listening) {
        qCritical() << "The gui pipe server stopped:" << m_server->errorString();
        m_listening = false;
        m_listenFailed = true;
    }
    // Qt may still count itself as listening; it listens again only once closed.
    m_server->close();
    struct stat st = {};
    if (GuiPipePath::clear(s_pipeName) && m_server->listen(s_pipeName)
        && lstat(QFile::encodeName(s_pipeName).constData(), &st) == 0) {
        m_socketFile = {st.st_dev, st.st_ino};
        if (m_listenFailed)
            qWarning() << "Listening on the gui pipe again";
        m_listening = true;
        m_listenFailed = false;
        return;
    }
    m_server->close();
    if (!m_listenFailed)
        qCritical() << "Unable to start gui pipe server";
    m_listenFailed = true;
}

const GuiServerState& GuiDecoupledServer::currentState()
{
    if (const VTServer* current = currentServer(m_connection))
        m_state.takeServer(*current);
    return m_state;
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
        if (m_clients >= s_maxClients) {
            // Logged once until a client leaves: a connection loop must not flood the log.
            if (!m_refusing)
                qWarning() << "Too many gui clients, refusing new ones; limit" << s_maxClients;
            m_refusing = true;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        qInfo() << "New GUI client connected";
        auto* client = new GuiServerConnection(this, socket, m_status, m_compliance);
        ++m_clients;
        connect(client, &QObject::destroyed, this, [this] {
            --m_clients;
            m_refusing = false;
        });
        if (m_app)
            connect(client, SIGNAL(quit()), m_app, SLOT(Quit()));
    }
}
