#include "GuiServerConnection.h"

#include "GuiDecoupledServer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocalSocket>
#include <QProcess>
#include <QTimer>

GuiServerConnection::GuiServerConnection(GuiDecoupledServer* server, QLocalSocket* socket, QString status,
                                         QString compliance)
    : QObject(server)
    , m_status(status)
    , m_compliance(compliance)
    , m_socket(socket)
    , m_server(server)
    , m_peer(PeerCredentials::of(socket->socketDescriptor()))
{
    m_socket->setReadBufferSize(s_readBufferBytes);
    connect(m_socket, &QLocalSocket::readyRead, this, &GuiServerConnection::processClient);
    auto dispose = [this] {
        m_socket->deleteLater();
        deleteLater();
    };
    connect(m_socket, &QLocalSocket::errorOccurred, this, dispose);
    connect(m_socket, &QLocalSocket::disconnected, this, dispose);

    connect(server, &GuiDecoupledServer::serverChanged, this, &GuiServerConnection::onServerChanged);
    connect(server, &GuiDecoupledServer::statusChanged, this, &GuiServerConnection::onStatusChanged);
    connect(server, &GuiDecoupledServer::showNotification, this, &GuiServerConnection::onShowNotification);
    connect(server, &GuiDecoupledServer::compliance, this, &GuiServerConnection::onCompliance);
}

GuiServerConnection::~GuiServerConnection() = default;

bool GuiServerConnection::write(const QByteArray& bytes)
{
    if (m_socket->state() != QLocalSocket::ConnectedState)
        return false;
    m_socket->write(bytes);
    m_socket->flush();
    if (m_socket->bytesToWrite() > s_maxUnreadBytes) {
        qWarning().noquote() << "A gui client does not read what it is sent, dropping it:" << m_peer.describe();
        m_socket->abort();
        return false;
    }
    return true;
}

void GuiServerConnection::sendMessage(const QString& key, const QString& value)
{
    write(GuiPipeProtocol::encode(key, value));
}

void GuiServerConnection::sendMessage(const QString& key, int value)
{
    write(GuiPipeProtocol::encode(key, qint32(value)));
}

void GuiServerConnection::sendMessage(const QString& key, const QStringList& values)
{
    write(GuiPipeProtocol::encode(key, values));
}

void GuiServerConnection::onStatusChanged(QString status)
{
    m_status = status;
    sendMessage(GuiPipeProtocol::conn, m_status);
}

void GuiServerConnection::onCompliance(QString compliance)
{
    qDebug() << "GuiServerConnection::onCompliance :" << compliance;
    m_compliance = compliance;
    sendMessage(GuiPipeProtocol::compliance, m_compliance);
}

void GuiServerConnection::onShowNotification(QString type, QString title, QString msg)
{
    sendMessage(GuiPipeProtocol::notification, QStringList {type, title, msg});
}

void GuiServerConnection::onServerChanged()
{
    write(GuiPipeProtocol::settingsBurst(m_server->currentState(), m_status, m_compliance));
}

void GuiServerConnection::processClient()
{
    m_input += m_socket->readAll();
    const bool intact = GuiPipeProtocol::takeAll(
        m_input, s_maxStringBytes, [this](const GuiPipeProtocol::Message& message) { return handle(message); });
    if (!intact) {
        qWarning().noquote() << "Corrupt or oversized message on the gui pipe, closing the connection:"
                             << m_peer.describe();
        m_socket->abort();
    }
}

bool GuiServerConnection::handle(const GuiPipeProtocol::Message& message)
{
    if (message.key == GuiPipeProtocol::settings) {
        qInfo() << "got settings request";
        return write(GuiPipeProtocol::settingsBurst(m_server->currentState(), m_status, m_compliance));
    }
    if (message.key == GuiPipeProtocol::exitPassword) {
        m_exitPassword = message.texts.value(0);
    } else if (message.key == GuiPipeProtocol::quit) {
        qInfo() << "got quit request";
        // One decision at a time per agent; a "quit" sent while one waits is not queued.
        if (!m_quitPending) {
            m_quitPending = true;
            decideQuit();
        }
    }
    return m_socket->state() == QLocalSocket::ConnectedState;
}

void GuiServerConnection::decideQuit()
{
    const GuiServerState& state = m_server->currentState();
    if (state.exitNeedsPassword()) {
        // Waiting on a timer, not in place: the daemon goes on serving while a guesser is slowed down.
        const qint64 wait = m_server->exitCheck().msUntilNextCheck();
        if (wait > 0) {
            QTimer::singleShot(int(wait), this, &GuiServerConnection::decideQuit);
            return;
        }
        const QString typed = m_exitPassword;
        m_exitPassword.clear();
        m_quitPending = false;
        if (typed.isNull()) {
            qWarning().noquote() << "Quit refused: the exit password is required;" << m_peer.describe();
            sendMessage(GuiPipeProtocol::quitRefused, QStringLiteral("password required"));
            return;
        }
        if (!m_server->exitCheck().verify(typed, state)) {
            qWarning().noquote() << "Quit refused: wrong exit password;" << m_peer.describe();
            sendMessage(GuiPipeProtocol::quitRefused, QStringLiteral("wrong password"));
            return;
        }
        qDebug().noquote() << "Exit password accepted, quitting;" << m_peer.describe();
    }
    m_quitPending = false;
    if (!runExitScript())
        qCritical() << "Cannot run exit script";
    emit quit();
}

bool GuiServerConnection::runExitScript()
{
    return QProcess::startDetached(QStringLiteral("bash"),
                                   {QCoreApplication::applicationDirPath() + QStringLiteral("/exitVt.sh")});
}
