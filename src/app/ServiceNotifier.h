#pragma once

#include <QByteArray>
#include <QObject>

class QTimer;

// Tells the service manager that the daemon is ready and, while its event loop turns, that it is
// alive, through the datagram socket the manager names in NOTIFY_SOCKET. A daemon whose main
// thread hangs stops sending, and the manager kills and restarts it. Without NOTIFY_SOCKET (not
// started by a service manager) it does nothing.
class ServiceNotifier : public QObject
{
    Q_OBJECT

public:
    // Takes the manager's variables out of the environment, so that no script the daemon starts
    // can speak for it.
    explicit ServiceNotifier(QObject* parent = nullptr);

    bool isActive() const { return !m_socketPath.isEmpty(); }
    // Milliseconds between two "alive" messages: half the manager's watchdog period; 0 for none.
    int heartbeatMs() const { return m_heartbeatMs; }

    // Sends READY=1 and starts the heartbeat when the manager asked for one.
    void notifyReady();

private:
    void onHeartbeat();
    bool send(QByteArray const& state);

    // The socket's address as given: a path, or "@" and an abstract name.
    QByteArray m_socketPath;
    int m_heartbeatMs = 0;
    bool m_lastSendOk = true;
    QTimer* m_heartbeat = nullptr;
};
