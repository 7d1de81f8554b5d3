#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// A small HTTP/1.1 server on loopback for download tests: it answers GET requests for the paths
// it was given, 404 for any other, and can be told to accept connections but never answer.
// With a certificate and key it speaks HTTPS instead. It lives on the thread that created it,
// so that thread must run its event loop (QSignalSpy::wait, QTRY_*) while a client downloads.
class TestHttpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit TestHttpServer(QObject* parent = nullptr);
    ~TestHttpServer() override;

    // Plain HTTP on 127.0.0.1 and a free port.
    bool start();
    // HTTPS with the PEM certificate and key files (e.g. from TestCertificates).
    bool startTls(const QString& certPath, const QString& keyPath);

    // `path` is matched against the request target as received (still percent-encoded), first
    // whole (with any query), then without its query.
    void setRoute(const QString& path, const QByteArray& body, int status = 200,
                  const QByteArray& contentType = "application/octet-stream");
    void removeRoute(const QString& path);
    // Declares the whole body's length but sends only its first `bytesSent` bytes, then closes.
    void setCutRoute(const QString& path, const QByteArray& body, int bytesSent);
    // While silent, requests are read and recorded but never answered nor closed.
    void setSilent(bool silent) { m_silent = silent; }

    // "http://127.0.0.1:<port>" or "https://..." followed by `path`.
    QString url(const QString& path = QString()) const;
    quint16 port() const { return serverPort(); }
    // Request targets in arrival order, exactly as the clients sent them.
    QStringList requestedTargets() const { return m_requested; }
    void clearRequests() { m_requested.clear(); }

signals:
    void requestReceived(const QString& target);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    struct Route
    {
        QByteArray body;
        int status = 200;
        QByteArray contentType;
        int bytesSent = -1;
    };

    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QString& target);

    bool m_tls = false;
    bool m_silent = false;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QHash<QString, Route> m_routes;
    QStringList m_requested;
    QHash<QTcpSocket*, QByteArray> m_pending;
    QList<QPointer<QTcpSocket>> m_sockets;
};
