#pragma once

#include "TestTlsWebSocketServer.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

// A management server for tests: TLS WebSocket on loopback that plays the server's side of a
// session (config_request, init, kpa) and lets a test send any request and await the answers.
// Messages from the agent are expected as binary frames; text frames are recorded apart.
class TestManagementServer : public QObject
{
    Q_OBJECT

public:
    explicit TestManagementServer(QObject* parent = nullptr);

    // Port 0 picks a free port.
    bool listen(const QString& certPath, const QString& keyPath, quint16 port = 0);
    quint16 port() const { return m_server.port(); }
    TestTlsWebSocketServer& transport() { return m_server; }

    // What the session answers are made of. With no sites set, config_response names this
    // server alone, with its own certificate and the given keep-alive interval.
    void setConfigSites(const QJsonArray& sites) { m_configSites = sites; }
    QJsonArray configSites() const;
    void setKpaInterval(int seconds) { m_kpaInterval = seconds; }
    bool answerConfig = true;
    bool answerInit = true;
    bool echoKpa = true;
    // Echoes keep-alives under an id of its own instead of the agent's.
    bool echoKpaWithForeignId = false;

    // A server site entry for `address` on `port`, trusting `certPem`.
    static QJsonObject siteFor(const QString& address, quint16 port, const QByteArray& certPem, int kpaInterval,
                               const QJsonObject& extraServerKeys = {});

    // Wraps `body` in an envelope (with a fresh id unless one is given), sends it as a text frame
    // and returns the id.
    QString sendRequest(const QJsonObject& body, const QString& id = QString());
    bool sendText(const QString& text) { return m_server.sendText(text); }
    // The last message sendRequest sent.
    QJsonObject lastSent() const { return m_lastSent; }

    // Every message received so far, in arrival order.
    QList<QJsonObject> received() const { return m_received; }
    QList<QJsonObject> receivedOfType(const QString& bodyType) const;
    int textFrameCount() const { return m_textFrames; }
    void clearReceived() { m_received.clear(); }

    // Waits until a received message (including earlier ones) satisfies `match`.
    bool waitFor(const std::function<bool(const QJsonObject&)>& match, int timeoutMs, QJsonObject* found = nullptr);
    // Waits until `count` messages of `bodyType` have arrived in total.
    bool waitForType(const QString& bodyType, int timeoutMs, int count = 1);
    // Waits for `count` answers (any body type) whose header id is `id`.
    QList<QJsonObject> waitForAnswers(const QString& id, int count, int timeoutMs);
    bool waitForConnections(int count, int timeoutMs);
    bool waitForDisconnections(int count, int timeoutMs);

    int connectionCount() const { return m_server.connectionCount(); }
    int disconnectionCount() const { return m_disconnections; }

    // The envelope's "msg" member.
    static QJsonObject body(const QJsonObject& message);
    static QString bodyType(const QJsonObject& message);
    static QString headerId(const QJsonObject& message);

signals:
    void messageReceived(const QJsonObject& message);

private:
    void onMessage(QWebSocket* client, const QByteArray& data);
    void answer(QWebSocket* client, const QJsonObject& request, const QJsonObject& body);
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);

    TestTlsWebSocketServer m_server;
    QByteArray m_certPem;
    QJsonArray m_configSites;
    int m_kpaInterval = 60;
    QJsonObject m_lastSent;
    QList<QJsonObject> m_received;
    int m_textFrames = 0;
    int m_disconnections = 0;
};
