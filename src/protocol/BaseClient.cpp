#include "BaseClient.h"

#include "connection/VTConnection.h"
#include "guichannel/GuiClient.h"
#include "handlers/VTMsgHandler.h"
#include "handlers/VTMsgHandlerFactory.h"
#include "performers/ProcessKillMonitor.h"
#include "protocol/ConfigMessage.h"
#include "protocol/InitMessage.h"
#include "protocol/KpaMessage.h"
#include "protocol/VTPasswordMask.h"
#include "settings/VTServer.h"
#include "tasks/VTTaskFactory.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

int BaseClient::s_configTimeoutMs = 10000;
int BaseClient::s_kpaAnswerTimeoutMs = 45000;
int BaseClient::s_msPerKpaSecond = 1000;
const qint64 BaseClient::s_maxUnsentBytes = 32 * 1024 * 1024;

BaseClient::BaseClient(VTConnection* connection, GuiClient* guiClient, QObject* parent)
    : QObject(parent)
    , m_kpaTimer(new QTimer(this))
    , m_configTimer(new QTimer(this))
    , m_guiClient(guiClient)
    , m_connection(connection)
    , m_kpaTimeoutTimer(new QTimer(this))
{
    connect(m_connection, &VTConnection::connected, this, &BaseClient::onConnected);
    connect(m_connection, &VTConnection::disconnected, this, &BaseClient::onDisconnected);
    connect(m_connection->getSocket(), &QWebSocket::textFrameReceived, this, &BaseClient::onTextFrameReceived);
    connect(this, &BaseClient::settingsChanged, m_connection, &VTConnection::onSettingsChanged);

    connect(m_kpaTimer, &QTimer::timeout, this, &BaseClient::onSendKPA);
    connect(m_kpaTimeoutTimer, &QTimer::timeout, this, &BaseClient::onKPATimeout);
    connect(m_configTimer, &QTimer::timeout, this, &BaseClient::onConfigTimeout);

    VTTaskFactory::init(guiClient);

    qDebug() << "before ProcessKillMonitor";
    ProcessKillMonitor::init(m_connection->getSocket());
    qDebug() << "after m_connection->getSocket();";
}

BaseClient::~BaseClient()
{
    // A handler still running would otherwise outlive the client it answers through, and its
    // detached tasks could report into freed memory.
    const QList<VTMsgHandler*> running = m_handlers.keys();
    m_handlers.clear();
    m_handlersMarkedForDeletion.clear();
    qDeleteAll(running);
}

void BaseClient::sendMessage(const QByteArray& data)
{
    QWebSocket* socket = m_connection->getSocket();
    socket->sendBinaryMessage(data);
    if (socket->bytesToWrite() > s_maxUnsentBytes) {
        qCritical() << "The server does not read what is sent, closing the connection";
        // A normal close would wait for the unsent bytes too.
        socket->abort();
    }
}

void BaseClient::logAndSend(const QJsonObject& message)
{
    qDebug().noquote().nospace() << "Message sent: " << VTPasswordMask::forLog(message);
    sendMessage(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

template<class Message>
QString BaseClient::send()
{
    const Message message(m_connection->getSocket());
    QJsonObject json;
    message.write(json);
    logAndSend(json);
    return message.msg_info.id;
}

void BaseClient::sendConfigRequest()
{
    m_pendingConfigId = send<ConfigMessage>();
    m_configTimer->start(s_configTimeoutMs);
}

void BaseClient::sendInit()
{
    send<InitMessage>();
}

void BaseClient::onSendKPA()
{
    m_pendingKpaId = send<KpaMessage>();
    m_kpaTimeoutTimer->stop();
    m_kpaTimeoutTimer->start(s_kpaAnswerTimeoutMs);
}

void BaseClient::onConnected()
{
    m_disconnected = false;
    qDebug() << "connected";
    sendConfigRequest();
    emit connected();
}

void BaseClient::onConfigResponse()
{
    m_pendingConfigId.clear();
    m_configTimer->stop();
    emit settingsChanged();
    m_guiClient->updateGui();
    sendInit();
}

void BaseClient::onConfigTimeout()
{
    m_configTimer->stop();
    qCritical() << "timeout waiting for config response";
    // The session goes on with the settings already held; the configuration is not asked again.
    if (!m_pendingConfigId.isEmpty()) {
        sendInit();
        m_pendingConfigId.clear();
    } else {
        qCritical() << "no pending config request";
    }
}

void BaseClient::onInitOK()
{
    onSendKPA();
    // The interval was checked on loading; bound it again here, where a bad one would spin or overflow.
    const int seconds = m_connection->getCurrentServer()->m_kpaInterval;
    m_kpaTimer->start(
        (seconds >= 1 && seconds <= VTServer::s_maxIntervalSeconds ? seconds : VTServer::s_defaultKpaInterval)
        * s_msPerKpaSecond);
    emit initialized();
}

void BaseClient::onCompliance(QString comp)
{
    emit compliance(comp);
}

void BaseClient::resetKpaTimer()
{
    m_kpaTimeoutTimer->stop();
    m_pendingKpaId.clear();
}

void BaseClient::onKPATimeout()
{
    m_kpaTimeoutTimer->stop();
    m_pendingKpaId.clear();
    qCritical() << "timeout waiting for kpa";
    if (!m_disconnected) {
        m_connection->getSocket()->close(QWebSocketProtocol::CloseCodeNormal, QString());
        m_connection->skipSite();
    }
}

void BaseClient::onDisconnected()
{
    qDebug() << "WebSocket disconnected";
    m_kpaTimer->stop();
    m_configTimer->stop();
    m_pendingConfigId.clear();
    m_frameMaskCarry.clear();
    m_disconnected = true;
    // Running handlers finish as usual but answer nothing: their session is gone.
    for (auto it = m_handlers.constBegin(); it != m_handlers.constEnd(); ++it) {
        m_handlersMarkedForDeletion.insert(it.key(), true);
        it.key()->markForDeletion();
    }
    emit disconnected();
}

void BaseClient::onTextFrameReceived(QString message, bool isLastFrame)
{
    if (message.isNull()) {
        qDebug() << "Message is NULL";
        return;
    }
    if (!isLastFrame)
        qDebug() << "Message is not last";

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning().noquote().nospace() << "Message is not Json. Error:" << error.errorString() << "Plain message is: "
                                       << VTPasswordMask::forPlainText(message, &m_frameMaskCarry);
        if (isLastFrame)
            m_frameMaskCarry.clear();
        return;
    }
    m_frameMaskCarry.clear();

    const QJsonObject object = document.object();
    qDebug().noquote().nospace() << "Message received: " << VTPasswordMask::forLog(object);

    VTMsgHandler* handler = VTMsgHandlerFactory::createHandler(object, this);
    if (!handler)
        return;
    connect(handler, &VTMsgHandler::finished, this, &BaseClient::onHandlerFinished);
    // Listed before handle(), which may end and delete the handler before it returns.
    m_handlers.insert(handler, 1);
    handler->handle();
}

void BaseClient::onHandlerFinished(VTMsgHandler* handler)
{
    if (!m_handlers.contains(handler)) {
        qCritical() << "Got a finished signal for a handlr and it's missing! something is deeply wrong here.";
    } else {
        if (m_handlersMarkedForDeletion.remove(handler) > 0)
            qDebug() << "Finished handler is marked for deletion";
        m_handlers.remove(handler);
    }
    delete handler;
}
