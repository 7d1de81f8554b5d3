#pragma once

#include "GuiPipeProtocol.h"
#include "PeerCredentials.h"

#include <QObject>
#include <QString>
#include <QStringList>

class GuiDecoupledServer;
class QLocalSocket;

// One connected desktop agent, as the daemon sees it. Any local user can connect, so everything
// it is sent or sends is bounded, and a "quit" is obeyed only when the exit rule allows it.
class GuiServerConnection : public QObject
{
    Q_OBJECT

public:
    GuiServerConnection(GuiDecoupledServer* server, QLocalSocket* socket, QString status, QString compliance);
    ~GuiServerConnection() override;

    void sendMessage(const QString& key, const QString& value);
    void sendMessage(const QString& key, int value);
    void sendMessage(const QString& key, const QStringList& values);
    bool runExitScript();

    // Agents send short keys and a typed password; longer strings announce garbage.
    static const quint32 s_maxStringBytes = 1024;
    // What the daemon keeps for one agent: input it has not parsed yet, output the agent has not
    // read yet. An agent that reads nothing is dropped when its output passes the bound.
    static const int s_readBufferBytes = 16 * 1024;
    static const int s_maxUnreadBytes = 32 * 1024;

signals:
    void quit();

public slots:
    void onServerChanged();
    void processClient();
    void onStatusChanged(QString status);
    void onShowNotification(QString type, QString title, QString msg);
    void onCompliance(QString compliance);

private:
    // False once the agent has been dropped.
    bool write(const QByteArray& bytes);
    // False when nothing more is to be read from this agent.
    bool handle(const GuiPipeProtocol::Message& message);
    void decideQuit();

    QString m_status;
    QString m_compliance;
    QLocalSocket* m_socket;
    GuiDecoupledServer* m_server;
    PeerCredentials m_peer;
    QByteArray m_input;
    QString m_exitPassword;
    bool m_quitPending = false;
};
