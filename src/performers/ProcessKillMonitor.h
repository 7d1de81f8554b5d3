#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QWebSocket;

// Keeps killing the programs the server named, at once and then periodically, until the server
// cancels the registration or its connection drops.
class ProcessKillMonitor : public QObject
{
    Q_OBJECT

public:
    // Registrations are bound to the life of this server connection.
    static void init(const QWebSocket* socket);
    // Null until init has been given a socket.
    static ProcessKillMonitor* instance();

    void add(QString id, QStringList args);
    void remove(QString id);

    static int s_intervalMs;
    // killall runs on the session's thread: each run is bounded, and names share runs.
    static const int s_killallTimeoutMs;
    static const int s_maxNamesPerRun;

public slots:
    void monitorCommands();
    void stopMonitorCommands();

private:
    ProcessKillMonitor();
    void watchSocket();
    void killAll(const QList<QStringList>& commands);
    static void runKillall(const QStringList& arguments);

    static const QWebSocket* m_pWebSocket;
    static bool m_init;
    static ProcessKillMonitor* m_instance;

    QHash<QString, QStringList> m_commands;
    QTimer m_timer;
    QMetaObject::Connection m_socketConnection;
};
