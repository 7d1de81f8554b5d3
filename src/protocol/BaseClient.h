#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

class GuiClient;
class QJsonObject;
class QTimer;
class VTConnection;
class VTMsgHandler;

// Drives one server session over the connection manager's socket: configuration, init,
// keep-alive, and one handler per inbound message.
//
// The session on each connection (reconnecting is the connection manager's work):
//
//   VTConnection::connected --> config_request ----- config_response (pending id) --+
//                                  | no answer within s_configTimeoutMs             | settings
//                                  +---------------------------> init <-------------+ replaced
//                                                                  |                  (rotation
//                                                                  v                   reset)
//   init_ok --> kpa now, then every "kpa_interval" s; each kpa expects its echo within
//               s_kpaAnswerTimeoutMs, else: close, skip to the next site
//   any time: VTConnection::disconnected --> timers stopped, running handlers silenced
//             (the manager's rotation decision picks the next server: a session that ends
//             within 130 s of its connection attempt moves the rotation on)
//   any time: more than s_maxUnsentBytes waiting for a server that does not read --> abort
class BaseClient : public QObject
{
    Q_OBJECT

public:
    BaseClient(VTConnection* connection, GuiClient* guiClient, QObject* parent = nullptr);
    ~BaseClient() override;

    // Sends `data` unchanged as one binary message.
    void sendMessage(const QByteArray& data);
    void resetKpaTimer();
    void sendInit();
    void sendConfigRequest();

    // Header ids of the requests whose answers the session still waits for; empty when none.
    QString pendingConfigId() const { return m_pendingConfigId; }
    QString pendingKpaId() const { return m_pendingKpaId; }
    VTConnection* connection() const { return m_connection; }
    int runningHandlerCount() const { return m_handlers.size(); }

    // How long the server has to answer a config request and a keep-alive. Tests shorten them.
    static int s_configTimeoutMs;
    static int s_kpaAnswerTimeoutMs;
    // Milliseconds per second of the keep-alive interval; tests shrink it.
    static int s_msPerKpaSecond;
    // Answers queued for a server that does not read them beyond this end the session, which the
    // connection manager then retries, instead of growing the agent's memory without end.
    static const qint64 s_maxUnsentBytes;

signals:
    void settingsChanged();
    void connected();
    void disconnected();
    void initialized();
    void compliance(QString state);

public slots:
    void onConfigResponse();
    void onInitOK();
    void onCompliance(QString comp);

private slots:
    void onConnected();
    void onDisconnected();
    void onConfigTimeout();
    void onSendKPA();
    void onKPATimeout();
    void onTextFrameReceived(QString message, bool isLastFrame);
    void onHandlerFinished(VTMsgHandler* handler);

private:
    void logAndSend(const QJsonObject& message);
    // Builds a fresh message of this kind for the current connection, sends it and returns its id.
    template<class Message>
    QString send();

    QTimer* m_kpaTimer;
    QTimer* m_configTimer;
    GuiClient* m_guiClient;
    VTConnection* m_connection;
    QMap<VTMsgHandler*, bool> m_handlersMarkedForDeletion;
    QMap<VTMsgHandler*, int> m_handlers;
    QString m_pendingConfigId;
    QString m_pendingKpaId;
    // What the frames of the current message so far leave open for masking the next one.
    QString m_frameMaskCarry;
    QTimer* m_kpaTimeoutTimer;
    bool m_disconnected = false;
};
