#pragma once

#include "ExitPasswordCheck.h"
#include "GuiClient.h"
#include "GuiServerState.h"

#include <QPair>
#include <QString>

class QLocalServer;
class QTimer;
class VTConnection;

// The daemon's end of the GUI pipe: desktop agents connect here, one GuiServerConnection each.
// The pipe is open to every local user, so the daemon bounds what a client can make it hold and
// decides itself whether a "quit" is to be obeyed.
class GuiDecoupledServer : public GuiClient
{
    Q_OBJECT

public:
    GuiDecoupledServer(VTConnection* connection, QObject* app, QObject* parent = nullptr);
    ~GuiDecoupledServer() override;

    void updateGui() override;
    bool isListening() const;
    // What agents are shown, refreshed from the connection manager's current server.
    const GuiServerState& currentState();
    ExitPasswordCheck& exitCheck() { return m_exitCheck; }

    static QString s_pipeName;
    // Enough for every desktop session of a busy machine; more are refused at once.
    static int s_maxClients;
    // How often the daemon makes sure it still listens (Qt stops listening when it runs out of
    // descriptors); tests shorten it.
    static int s_listenCheckMs;

signals:
    void statusChanged(QString status);
    void serverChanged();
    void showNotification(QString, QString title, QString msg);
    void compliance(QString);

public slots:
    void onServerChanged();
    void onConnected();
    void onDisconnected();
    void onInitialized();
    void onShowNotification(QString type, QString title, QString msg);
    void onCompliance(QString compliance);

private slots:
    void newConnection();
    void ensureListening();

private:
    void setStatus(const QString& status);

    VTConnection* m_connection;
    QString m_status;
    QString m_compliance;
    QObject* m_app;
    QLocalServer* m_server = nullptr;
    QTimer* m_listenCheck = nullptr;
    GuiServerState m_state;
    ExitPasswordCheck m_exitCheck;
    int m_clients = 0;
    bool m_refusing = false;
    bool m_listening = false;
    bool m_listenFailed = false;
    // Device and inode of the socket file this server made.
    QPair<quint64, quint64> m_socketFile;
};
