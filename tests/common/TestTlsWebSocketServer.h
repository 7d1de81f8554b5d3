#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QUrl>

class QSslSocket;
class QWebSocket;
class QWebSocketServer;
class TlsListener;

// A real TLS WebSocket server on loopback for tests. TLS is terminated by a QSslSocket of its own
// so that the certificate a client presented can be read back, then the socket is handed to a
// QWebSocketServer for the WebSocket upgrade.
class TestTlsWebSocketServer : public QObject
{
    Q_OBJECT

public:
    enum ClientCertMode
    {
        NoClientCert, // never asks for a certificate
        QueryClientCert, // asks, accepts a handshake without one, does not judge one it gets
        RequireClientCert, // demands one that chains to the client CA
    };

    explicit TestTlsWebSocketServer(QObject* parent = nullptr);
    ~TestTlsWebSocketServer() override;

    // `certPath` may hold the leaf followed by intermediates; `clientCaPath` holds the CAs a
    // client certificate must chain to. Port 0 picks a free port; a given port reopens a stopped
    // server on the address clients already know.
    bool listen(const QString& certPath, const QString& keyPath, ClientCertMode mode = NoClientCert,
                const QString& clientCaPath = QString(), quint16 port = 0,
                const QHostAddress& address = QHostAddress::LocalHost);
    // Stops accepting and drops every client without a close handshake.
    void stop();
    // Non-empty: every request after TLS is answered with these raw bytes instead of an upgrade,
    // and the connection is left open, as a loaded server or a proxy may do.
    void setRawAnswer(const QByteArray& answer) { m_rawAnswer = answer; }
    int rawAnswerCount() const { return m_rawAnswerCount; }
    bool isListening() const;

    quint16 port() const { return m_port; }
    QHostAddress address() const { return m_address; }

    QList<QWebSocket*> clients() const;
    QWebSocket* lastClient() const;
    int connectionCount() const { return m_connectionCount; }
    int tlsHandshakeCount() const { return m_tlsHandshakeCount; }
    int failedHandshakeCount() const { return m_failedHandshakeCount; }

    // The certificate the most recent TLS client presented (null when it presented none).
    QSslCertificate lastPeerCertificate() const { return m_lastPeerCertificate; }
    // Every certificate that client sent, leaf first.
    QList<QSslCertificate> lastPeerCertificateChain() const { return m_lastPeerCertificateChain; }
    QList<QSslError> lastHandshakeErrors() const { return m_lastHandshakeErrors; }
    QString lastRequestPath() const { return m_lastRequestPath; }

    QStringList receivedTexts() const { return m_receivedTexts; }
    QList<QByteArray> receivedBinaries() const { return m_receivedBinaries; }
    void clearReceived();

    // With no client given, the most recent one.
    bool sendText(const QString& text, QWebSocket* client = nullptr);
    bool sendBinary(const QByteArray& data, QWebSocket* client = nullptr);
    // A normal WebSocket close (code 1000 unless given).
    void closeClient(QWebSocket* client = nullptr, int code = 1000);
    // Drops the TCP connection without a WebSocket close frame.
    void abortClient(QWebSocket* client = nullptr);
    // Pings the client and waits for its pong. Both ends handle frames in order, so by then the
    // client has handled everything sent to it before, and everything it sent before answering has
    // arrived here. False when the client is gone or silent for `timeoutMs`.
    bool roundTrip(QWebSocket* client = nullptr, int timeoutMs = 10000);

signals:
    void tlsEstablished(const QSslCertificate& peerCertificate);
    void tlsFailed(const QList<QSslError>& errors);
    void clientConnected(QWebSocket* client);
    void clientDisconnected(QWebSocket* client);
    void textReceived(QWebSocket* client, const QString& text);
    void binaryReceived(QWebSocket* client, const QByteArray& data);

private:
    void onIncoming(QSslSocket* socket);
    void onNewWebSocket();
    QWebSocket* pick(QWebSocket* client) const;

    TlsListener* m_listener = nullptr;
    QWebSocketServer* m_webSockets = nullptr;
    QSslConfiguration m_tls;
    QHostAddress m_address;
    quint16 m_port = 0;
    QList<QPointer<QWebSocket>> m_clients;
    QSslCertificate m_lastPeerCertificate;
    QList<QSslCertificate> m_lastPeerCertificateChain;
    QList<QSslError> m_lastHandshakeErrors;
    QString m_lastRequestPath;
    QStringList m_receivedTexts;
    QList<QByteArray> m_receivedBinaries;
    int m_connectionCount = 0;
    int m_tlsHandshakeCount = 0;
    int m_failedHandshakeCount = 0;
    QByteArray m_rawAnswer;
    int m_rawAnswerCount = 0;
};
