#include "ProcessKillMonitor.h"

#include <QProcess>
#include <QWebSocket>
#include <QtDebug>

int ProcessKillMonitor::s_intervalMs = 10000;
const QWebSocket* ProcessKillMonitor::m_pWebSocket = nullptr;
bool ProcessKillMonitor::m_init = false;
ProcessKillMonitor* ProcessKillMonitor::m_instance = nullptr;

void ProcessKillMonitor::init(const QWebSocket* socket)
{
    m_pWebSocket = socket;
    m_init = socket != nullptr;
    // A monitor made for an earlier connection follows the new one.
    if (m_instance) {
        m_instance->watchSocket();
    }
}

ProcessKillMonitor* ProcessKillMonitor::instance()
{
    if (!m_init) {
        return nullptr;
    }
    if (!m_instance) {
        m_instance = new ProcessKillMonitor();
    }
    return m_instance;
}

ProcessKillMonitor::ProcessKillMonitor()
{
    connect(&m_timer, &QTimer::timeout, this, &ProcessKillMonitor::monitorCommands);
    watchSocket();
}

void ProcessKillMonitor::watchSocket()
{
    disconnect(m_socketConnection);
    if (m_pWebSocket) {
        m_socketConnection
            = connect(m_pWebSocket, &QWebSocket::disconnected, this, &ProcessKillMonitor::stopMonitorCommands);
    }
}

void ProcessKillMonitor::add(QString id, QStringList args)
{
    m_commands.insert(id, args);
    if (!m_timer.isActive()) {
        m_timer.start(s_intervalMs);
    }
    monitorCommands();
}

void ProcessKillMonitor::remove(QString id)
{
    m_commands.remove(id);
    qDebug("stop monitoring id[%s]", qPrintable(id));
    if (m_commands.isEmpty()) {
        m_timer.stop();
    }
}

void ProcessKillMonitor::stopMonitorCommands()
{
    qDebug("stop monitoring commnds");
    m_commands.clear();
    m_timer.stop();
}

void ProcessKillMonitor::monitorCommands()
{
    // A copy: the hash must not change under the loop while killall runs.
    const QHash<QString, QStringList> commands = m_commands;
    for (auto it = commands.cbegin(); it != commands.cend(); ++it) {
        const int rc = QProcess::execute(QStringLiteral("killall"), it.value());
        if (rc == -1) {
            qWarning("Error perform \"ProcessKill\" message, process crashes");
        } else if (rc == -2) {
            qWarning("Error perform \"ProcessKill\" message, process cannot be started");
        } else if (rc < 0 || rc > 1) {
            qWarning("\"ProcessKill\" killall exitcode: %d", rc);
        } else {
            qDebug("\"ProcessKill\" success");
        }
    }
}
