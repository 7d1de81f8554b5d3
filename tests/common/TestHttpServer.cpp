#include "TestHttpServer.h"

#include <QFile>
#include <QSslSocket>

#include <utility>

TestHttpServer::TestHttpServer(QObject* parent)
    : QTcpServer(parent)
{
}

TestHttpServer::~TestHttpServer()
{
    // Silent connections are still open; close them so clients see the end instead of a hang.
    for (const auto& socket : std::as_const(m_sockets)) {
        if (socket) {
            socket->abort();
        }
    }
}

bool TestHttpServer::start()
{
    m_tls = false;
    return listen(QHostAddress::LocalHost, 0);
}

bool TestHttpServer::startTls(const QString& certPath, const QString& keyPath)
{
    QFile certFile(certPath);
    QFile keyFile(keyPath);
    if (!certFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly)) {
        return false;
    }
    m_certificate = QSslCertificate(certFile.readAll(), QSsl::Pem);
    m_key = QSslKey(keyFile.readAll(), QSsl::Rsa, QSsl::Pem);
    if (m_key.isNull()) {
        keyFile.seek(0);
        m_key = QSslKey(keyFile.readAll(), QSsl::Ec, QSsl::Pem);
    }
    if (m_certificate.isNull() || m_key.isNull()) {
        return false;
    }
    m_tls = true;
    return listen(QHostAddress::LocalHost, 0);
}

void TestHttpServer::setRoute(const QString& path, const QByteArray& body, int status, const QByteArray& contentType)
{
    m_routes.insert(path, Route {body, status, contentType});
}

void TestHttpServer::setCutRoute(const QString& path, const QByteArray& body, int bytesSent)
{
    m_routes.insert(path, Route {body, 200, "application/octet-stream", bytesSent});
}

void TestHttpServer::removeRoute(const QString& path)
{
    m_routes.remove(path);
}

QString TestHttpServer::url(const QString& path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_tls ? "https" : "http").arg(serverPort()).arg(path);
}

void TestHttpServer::incomingConnection(qintptr socketDescriptor)
{
    QTcpSocket* socket = nullptr;
    if (m_tls) {
        auto* ssl = new QSslSocket(this);
        if (!ssl->setSocketDescriptor(socketDescriptor)) {
            delete ssl;
            return;
        }
        ssl->setLocalCertificate(m_certificate);
        ssl->setPrivateKey(m_key);
        ssl->setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl->startServerEncryption();
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(socketDescriptor)) {
            delete socket;
            return;
        }
    }
    m_sockets.append(socket);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        m_pending.remove(socket);
        socket->deleteLater();
    });
}

void TestHttpServer::onReadyRead(QTcpSocket* socket)
{
    QByteArray& buffer = m_pending[socket];
    buffer += socket->readAll();
    const int headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        return;
    }
    const QByteArray requestLine = buffer.left(buffer.indexOf("\r\n"));
    buffer.clear();
    const QList<QByteArray> parts = requestLine.split(' ');
    const QString target = parts.size() >= 2 ? QString::fromLatin1(parts.at(1)) : QString();
    m_requested.append(target);
    emit requestReceived(target);
    if (!m_silent) {
        answer(socket, target);
    }
}

void TestHttpServer::answer(QTcpSocket* socket, const QString& target)
{
    auto it = m_routes.constFind(target);
    if (it == m_routes.constEnd()) {
        it = m_routes.constFind(target.section('?', 0, 0));
    }
    const Route route = it != m_routes.constEnd() ? *it : Route {"not found", 404, "text/plain"};
    QByteArray response = "HTTP/1.1 " + QByteArray::number(route.status) + (route.status < 400 ? " OK" : " Error")
        + "\r\nContent-Type: " + route.contentType + "\r\nContent-Length: " + QByteArray::number(route.body.size())
        + "\r\nConnection: close\r\n\r\n" + (route.bytesSent < 0 ? route.body : route.body.left(route.bytesSent));
    socket->write(response);
    socket->disconnectFromHost();
}
