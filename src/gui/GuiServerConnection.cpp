#include "GuiServerConnection.h"

#include "GuiClient.h"
#include "GuiDecoupledServer.h"
#include "settings/VTServer.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDebug>
#include <QLocalSocket>
#include <QProcess>
#include <QtEndian>

GuiServerConnection::GuiServerConnection(VTConnection* connection, QLocalSocket* socket, QString status,
                                         QString compliance, QObject* parent)
    : QObject(parent)
    , m_status(status)
    , m_compliance(compliance)
    , m_socket(socket)
    , m_connection(connection)
{
    connect(m_socket, &QLocalSocket::readyRead, this, &GuiServerConnection::processClient);
    auto dispose = [this] {
        m_socket->deleteLater();
        deleteLater();
    };
    connect(m_socket, &QLocalSocket::errorOccurred, this, dispose);
    connect(m_socket, &QLocalSocket::disconnected, this, dispose);

    if (auto* server = qobject_cast<GuiDecoupledServer*>(parent)) {
        connect(server, &GuiDecoupledServer::serverChanged, this, &GuiServerConnection::onServerChanged);
        connect(server, &GuiDecoupledServer::statusChanged, this, &GuiServerConnection::onStatusChanged);
        connect(server, &GuiDecoupledServer::showNotification, this, &GuiServerConnection::onShowNotification);
        connect(server, &GuiDecoupledServer::compliance, this, &GuiServerConnection::onCompliance);
    }
}

GuiServerConnection::~GuiServerConnection() = default;

template<typename T>
void GuiServerConnection::send(const QString& key, const T& value)
{
    QByteArray buffer;
    QDataStream out(&buffer, QIODevice::WriteOnly);
    out << key << value;
    m_socket->write(buffer);
    m_socket->flush();
}

void GuiServerConnection::sendMessage(const QString& key, const QString& value)
{
    send(key, value);
}

void GuiServerConnection::sendMessage(const QString& key, int value)
{
    send(key, qint32(value));
}

void GuiServerConnection::sendMessage(const QString& key, const QStringList& values)
{
    QByteArray buffer;
    QDataStream out(&buffer, QIODevice::WriteOnly);
    out << key;
    for (const QString& value : values)
        out << value;
    m_socket->write(buffer);
    m_socket->flush();
}

void GuiServerConnection::onStatusChanged(QString status)
{
    m_status = status;
    sendMessage(QStringLiteral("conn"), m_status);
}

void GuiServerConnection::onCompliance(QString compliance)
{
    qDebug() << "GuiServerConnection::onCompliance :" << compliance;
    m_compliance = compliance;
    sendMessage(QStringLiteral("compliance"), m_compliance);
}

void GuiServerConnection::onShowNotification(QString type, QString title, QString msg)
{
    sendMessage(QStringLiteral("notification"), QStringList {type, title, msg});
}

void GuiServerConnection::onServerChanged()
{
    const VTServer* current = GuiClient::currentServer(m_connection);
    const VTServer server = current ? *current : VTServer();
    sendMessage(QStringLiteral("server"), GuiClient::shownAddress(server));
    sendMessage(QStringLiteral("port"), int(server.m_port));
    sendMessage(QStringLiteral("compliance_url"), server.m_complianceCenterUrl);
    sendMessage(QStringLiteral("conn"), m_status);
    sendMessage(QStringLiteral("compliance"), m_compliance);
    sendMessage(QStringLiteral("hashed_password"), server.m_protectionPassword);
    sendMessage(QStringLiteral("salt"), server.m_passwordSalt);
    sendMessage(QStringLiteral("dissolvable_status"), server.m_enableExitPasswordOnDissolvable);
    sendMessage(QStringLiteral("application_type"), server.m_applicationType);
    sendMessage(QStringLiteral("enable_protection_password"), server.m_enableProtectionPassword);
    sendMessage(QStringLiteral("hostname"), server.m_hostName);
}

void GuiServerConnection::processClient()
{
    while (m_socket->bytesAvailable() >= 2) {
        if (m_socket->bytesAvailable() >= 4) {
            char length[4];
            m_socket->peek(length, sizeof length);
            const quint32 bytes = qFromBigEndian<quint32>(length);
            if (bytes != 0xFFFFFFFFu && bytes > s_maxKeyBytes) {
                qWarning() << "Oversized message on the gui pipe, closing the connection";
                m_socket->abort();
                return;
            }
        }

        QDataStream in(m_socket);
        in.startTransaction();
        QString request;
        in >> request;
        if (!in.commitTransaction()) {
            if (in.status() == QDataStream::ReadCorruptData)
                m_socket->abort();
            return;
        }

        if (request == QLatin1String("settings")) {
            qInfo() << "got settings request";
            onServerChanged();
        } else if (request == QLatin1String("quit")) {
            qInfo() << "got quit request";
            if (!runExitScript())
                qCritical() << "Cannot run exit script";
            emit quit();
            return;
        }
    }
}

bool GuiServerConnection::runExitScript()
{
    return QProcess::startDetached(QStringLiteral("bash"),
                                   {QCoreApplication::applicationDirPath() + QStringLiteral("/exitVt.sh")});
}
