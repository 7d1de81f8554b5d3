#include "TestTlsWebSocketServer.h"

#include <QFile>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <functional>

// Qt 5 has no TLS server class; this one only turns accepted descriptors into server-side
// QSslSockets and leaves the rest to its owner.
class TlsListener : public QTcpServer
{
public:
    TlsListener(std::function<void(qintptr)> onDescriptor, QObject* parent)
        : QTcpServer(parent)
        , m_onDescriptor(std::move(onDescriptor))
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override { m_onDescriptor(descriptor); }

private:
    std::function<void(qintptr)> m_onDescriptor;
};

namespace {

QSslKey readKey(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QSslKey();
    }
    const QByteArray pem = file.readAll();
    for (QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
        QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull()) {
            return key;
        }
    }
    return QSslKey();
}

} // namespace

TestTlsWebSocketServer::TestTlsWebSocketServer(QObject* parent)
    : QObject(parent)
{
    m_webSockets = new QWebSocketServer(QStringLiteral("test"), QWebSocketServer::NonSecureMode, this);
    connect(m_webSockets, &QWebSocketServer::newConnection, this, &TestTlsWebSocketServer::onNewWebSocket);
}

TestTlsWebSocketServer::~TestTlsWebSocketServer()
{
    stop();
}

bool TestTlsWebSocketServer::listen(const QString& certPath, const QString& keyPath, ClientCertMode mode,
                                    const QString& clientCaPath, quint16 port, const QHostAddress& address)
{
    stop();
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certPath, QSsl::Pem);
    const QSslKey key = readKey(keyPath);
    if (chain.isEmpty() || key.isNull()) {
        qWarning() << "TestTlsWebSocketServer: cannot read" << certPath << "or" << keyPath;
        return false;
    }
    m_tls = QSslConfiguration::defaultConfiguration();
    m_tls.setLocalCertificateChain(chain);
    m_tls.setPrivateKey(key);
    // Only the test's own CA may vouch for a client, never the system store.
    m_tls.setCaCertificates(clientCaPath.isEmpty() ? QList<QSslCertificate>()
                                                   : QSslCertificate::fromPath(clientCaPath, QSsl::Pem));
    switch (mode) {
    case NoClientCert:
        m_tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        break;
    case QueryClientCert:
        m_tls.setPeerVerifyMode(QSslSocket::QueryPeer);
        break;
    case RequireClientCert:
        m_tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        break;
    }

    m_listener = new TlsListener(
        [this](qintptr descriptor) {
            auto* socket = new QSslSocket(this);
            if (!socket->setSocketDescriptor(descriptor)) {
                delete socket;
                return;
            }
            // As web servers do: otherwise the upgrade answer, written right behind the session
            // tickets, waits for the client's delayed acknowledgement (about 40 ms on loopback).
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            onIncoming(socket);
        },
        this);
    if (!m_listener->listen(address, port)) {
        qWarning() << "TestTlsWebSocketServer: cannot listen:" << m_listener->errorString();
        delete m_listener;
        m_listener = nullptr;
        return false;
    }
    m_address = address;
    m_port = m_listener->serverPort();
    return true;
}

void TestTlsWebSocketServer::onIncoming(QSslSocket* socket)
{
    socket->setSslConfiguration(m_tls);
    auto errors = std::make_shared<QList<QSslError>>();
    connect(socket, qOverload<const QList<QSslError>&>(&QSslSocket::sslErrors), this,
            [errors](const QList<QSslError>& list) { *errors += list; });
    connect(socket, &QSslSocket::encrypted, this, [this, socket]() {
        ++m_tlsHandshakeCount;
        m_lastPeerCertificate = socket->peerCertificate();
        m_lastPeerCertificateChain = socket->peerCertificateChain();
        m_lastHandshakeErrors.clear();
        emit tlsEstablished(m_lastPeerCertificate);
        if (!m_rawAnswer.isEmpty()) {
            disconnect(socket, nullptr, this, nullptr);
            connect(socket, &QSslSocket::readyRead, this, [this, socket]() {
                // The whole request head, then one answer; the socket stays open.
                if (socket->property("answered").toBool() || !socket->peek(1 << 16).contains("\r\n\r\n")) {
                    return;
                }
                socket->setProperty("answered", true);
                ++m_rawAnswerCount;
                socket->write(m_rawAnswer);
            });
            connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
            if (socket->bytesAvailable() > 0) {
                emit socket->readyRead();
            }
            return;
        }
        // From here the WebSocket server owns the socket. The upgrade request may already be
        // buffered behind the handshake, so it is announced again once the server listens for it.
        disconnect(socket, nullptr, this, nullptr);
        m_webSockets->handleConnection(socket);
        if (socket->bytesAvailable() > 0) {
            QMetaObject::invokeMethod(
                socket,
                [socket]() {
                    if (socket->bytesAvailable() > 0) {
                        emit socket->readyRead();
                    }
                },
                Qt::QueuedConnection);
        }
    });
    connect(socket, &QSslSocket::disconnected, this, [this, socket, errors]() {
        if (!socket->isEncrypted()) {
            ++m_failedHandshakeCount;
            m_lastHandshakeErrors = *errors;
            emit tlsFailed(*errors);
        }
        socket->deleteLater();
    });
    socket->startServerEncryption();
}

void TestTlsWebSocketServer::onNewWebSocket()
{
    while (QWebSocket* client = m_webSockets->nextPendingConnection()) {
        client->setParent(this);
        m_clients.append(client);
        ++m_connectionCount;
        m_lastRequestPath = client->requestUrl().path();
        connect(client, &QWebSocket::textMessageReceived, this, [this, client](const QString& text) {
            m_receivedTexts.append(text);
            emit textReceived(client, text);
        });
        connect(client, &QWebSocket::binaryMessageReceived, this, [this, client](const QByteArray& data) {
            m_receivedBinaries.append(data);
            emit binaryReceived(client, data);
        });
        connect(client, &QWebSocket::disconnected, this, [this, client]() {
            m_clients.removeAll(client);
            emit clientDisconnected(client);
            client->deleteLater();
        });
        emit clientConnected(client);
    }
}

void TestTlsWebSocketServer::stop()
{
    if (m_listener) {
        m_listener->close();
        delete m_listener;
        m_listener = nullptr;
    }
    const auto clients = m_clients;
    for (const QPointer<QWebSocket>& client : clients) {
        if (client) {
            client->abort();
        }
    }
    // Sockets still in their TLS handshake are children of this object.
    const auto pending = findChildren<QSslSocket*>(QString(), Qt::FindDirectChildrenOnly);
    for (QSslSocket* socket : pending) {
        socket->abort();
    }
}

bool TestTlsWebSocketServer::isListening() const
{
    return m_listener && m_listener->isListening();
}

QList<QWebSocket*> TestTlsWebSocketServer::clients() const
{
    QList<QWebSocket*> result;
    for (const QPointer<QWebSocket>& client : m_clients) {
        if (client) {
            result.append(client);
        }
    }
    return result;
}

QWebSocket* TestTlsWebSocketServer::lastClient() const
{
    const QList<QWebSocket*> all = clients();
    return all.isEmpty() ? nullptr : all.last();
}

void TestTlsWebSocketServer::clearReceived()
{
    m_receivedTexts.clear();
    m_receivedBinaries.clear();
}

QWebSocket* TestTlsWebSocketServer::pick(QWebSocket* client) const
{
    return client ? client : lastClient();
}

bool TestTlsWebSocketServer::sendText(const QString& text, QWebSocket* client)
{
    QWebSocket* target = pick(client);
    if (!target) {
        return false;
    }
    const qint64 length = text.toUtf8().size();
    return target->sendTextMessage(text) == length;
}

bool TestTlsWebSocketServer::sendBinary(const QByteArray& data, QWebSocket* client)
{
    QWebSocket* target = pick(client);
    return target && target->sendBinaryMessage(data) == data.size();
}

void TestTlsWebSocketServer::closeClient(QWebSocket* client, int code)
{
    if (QWebSocket* target = pick(client)) {
        target->close(static_cast<QWebSocketProtocol::CloseCode>(code));
    }
}

void TestTlsWebSocketServer::abortClient(QWebSocket* client)
{
    if (QWebSocket* target = pick(client)) {
        target->abort();
    }
}

bool TestTlsWebSocketServer::roundTrip(QWebSocket* client, int timeoutMs)
{
    QPointer<QWebSocket> target = pick(client);
    if (!target) {
        return false;
    }
    bool answered = false;
    const QMetaObject::Connection pong
        = connect(target, &QWebSocket::pong, this, [&answered](quint64, const QByteArray&) { answered = true; });
    target->ping();
    const bool done = QTest::qWaitFor(
        [&] { return answered || !target || target->state() != QAbstractSocket::ConnectedState; }, timeoutMs);
    disconnect(pong);
    return done && answered;
}
