#include "TestManagementServer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QThread>
#include <QUuid>
#include <QWebSocket>

#include <utility>

TestManagementServer::TestManagementServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &TestTlsWebSocketServer::binaryReceived, this,
            [this](QWebSocket* client, const QByteArray& data) { onMessage(client, data); });
    connect(&m_server, &TestTlsWebSocketServer::textReceived, this, [this](QWebSocket* client, const QString& text) {
        ++m_textFrames;
        onMessage(client, text.toUtf8());
    });
    connect(&m_server, &TestTlsWebSocketServer::clientDisconnected, this, [this]() { ++m_disconnections; });
}

bool TestManagementServer::listen(const QString& certPath, const QString& keyPath, quint16 port)
{
    QFile cert(certPath);
    if (!cert.open(QIODevice::ReadOnly))
        return false;
    m_certPem = cert.readAll();
    return m_server.listen(certPath, keyPath, TestTlsWebSocketServer::NoClientCert, QString(), port);
}

QJsonObject TestManagementServer::siteFor(const QString& address, quint16 port, const QByteArray& certPem,
                                          int kpaInterval, const QJsonObject& extraServerKeys)
{
    QJsonObject server {{"server", address},
                        {"port", port},
                        {"cert", QString::fromUtf8(certPem)},
                        {"kpa_interval", kpaInterval},
                        {"reconnect_interval", 1}};
    for (auto it = extraServerKeys.begin(); it != extraServerKeys.end(); ++it)
        server.insert(it.key(), it.value());
    return QJsonObject {{"resource", "/vt"}, {"servers", QJsonArray {server}}};
}

QJsonArray TestManagementServer::configSites() const
{
    if (!m_configSites.isEmpty())
        return m_configSites;
    return QJsonArray {siteFor("127.0.0.1", port(), m_certPem, m_kpaInterval)};
}

QString TestManagementServer::sendRequest(const QJsonObject& body, const QString& givenId)
{
    const QString id = givenId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() : givenId;
    const QJsonObject message {
        {"msg_info", QJsonObject {{"id", id}, {"src", "server"}, {"dst", "127.0.0.1"}, {"type", "proxy"}}},
        {"msg", body}};
    m_lastSent = message;
    m_server.sendText(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    return id;
}

void TestManagementServer::answer(QWebSocket* client, const QJsonObject& request, const QJsonObject& body)
{
    const QJsonObject header = request.value("msg_info").toObject();
    const QJsonObject reply {{"msg_info",
                              QJsonObject {{"id", header.value("id")},
                                           {"src", header.value("dst")},
                                           {"dst", header.value("src")},
                                           {"type", header.value("type")}}},
                             {"msg", body}};
    m_server.sendText(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)), client);
}

void TestManagementServer::onMessage(QWebSocket* client, const QByteArray& data)
{
    const QJsonObject message = QJsonDocument::fromJson(data).object();
    m_received << message;
    emit messageReceived(message);

    const QString type = bodyType(message);
    if (type == "config_request" && answerConfig)
        answer(client, message, QJsonObject {{"type", "config_response"}, {"sites", configSites()}});
    else if (type == "init" && answerInit)
        answer(client, message, QJsonObject {{"type", "init_ok"}});
    else if (type == "kpa" && echoKpa && !echoKpaWithForeignId)
        answer(client, message, message.value("msg").toObject());
    else if (type == "kpa" && echoKpaWithForeignId)
        sendRequest(message.value("msg").toObject());
}

QList<QJsonObject> TestManagementServer::receivedOfType(const QString& type) const
{
    QList<QJsonObject> result;
    for (const QJsonObject& message : m_received)
        if (bodyType(message) == type)
            result << message;
    return result;
}

bool TestManagementServer::waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

bool TestManagementServer::waitFor(const std::function<bool(const QJsonObject&)>& match, int timeoutMs,
                                   QJsonObject* found)
{
    return waitUntil(
        [&]() {
            for (const QJsonObject& message : std::as_const(m_received)) {
                if (match(message)) {
                    if (found)
                        *found = message;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

bool TestManagementServer::waitForType(const QString& type, int timeoutMs, int count)
{
    return waitUntil([&]() { return receivedOfType(type).size() >= count; }, timeoutMs);
}

QList<QJsonObject> TestManagementServer::waitForAnswers(const QString& id, int count, int timeoutMs)
{
    QList<QJsonObject> answers;
    waitUntil(
        [&]() {
            answers.clear();
            for (const QJsonObject& message : std::as_const(m_received))
                if (headerId(message) == id)
                    answers << message;
            return answers.size() >= count;
        },
        timeoutMs);
    return answers;
}

bool TestManagementServer::waitForConnections(int count, int timeoutMs)
{
    return waitUntil([&]() { return m_server.connectionCount() >= count; }, timeoutMs);
}

bool TestManagementServer::waitForDisconnections(int count, int timeoutMs)
{
    return waitUntil([&]() { return m_disconnections >= count; }, timeoutMs);
}

QJsonObject TestManagementServer::body(const QJsonObject& message)
{
    return message.value("msg").toObject();
}

QString TestManagementServer::bodyType(const QJsonObject& message)
{
    return body(message).value("type").toString();
}

QString TestManagementServer::headerId(const QJsonObject& message)
{
    return message.value("msg_info").toObject().value("id").toString();
}
