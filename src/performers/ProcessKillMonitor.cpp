#include "ProcessKillMonitor.h"

#include "tasks/BoundedProcess.h"

#include <QMap>
#include <QSet>
#include <QWebSocket>
#include <QtDebug>

int ProcessKillMonitor::s_intervalMs = 10000;
const int ProcessKillMonitor::s_killallTimeoutMs = 5000;
const int ProcessKillMonitor::s_maxNamesPerRun = 64;
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
    // Only the new name: the others are killed on the next tick as usual.
    killAll({args});
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
    killAll(m_commands.values());
}

void ProcessKillMonitor::killAll(const QList<QStringList>& commands)
{
    // The last argument is the program name, the ones before it killall's options ("-9"). One
    // killall takes many names, so a long list costs a few runs per tick instead of one each, and
    // a name registered twice is killed once.
    QMap<QStringList, QStringList> namesByOptions;
    QSet<QStringList> seen;
    for (const QStringList& args : commands) {
        if (args.isEmpty() || seen.contains(args)) {
            continue;
        }
        seen.insert(args);
        namesByOptions[args.mid(0, args.size() - 1)] << args.last();
    }
    for (auto it = namesByOptions.cbegin(); it != namesByOptions.cend(); ++it) {
        for (int first = 0; first < it.value().size(); first += s_maxNamesPerRun) {
            // "--" ends the options: a name such as "--user=root" must never be read as one.
            runKillall(it.key() + QStringList {QStringLiteral("--")} + it.value().mid(first, s_maxNamesPerRun));
        }
    }
}

void ProcessKillMonitor::runKillall(const QStringList& arguments)
{
    const BoundedProcess::Result run = BoundedProcess::run(QStringLiteral("killall"), arguments, s_killallTimeoutMs);
    if (!run.started) {
        qWarning("Error perform \"ProcessKill\" message, process cannot be started");
    } else if (run.timedOut) {
        qWarning("Error perform \"ProcessKill\" message, killall did not end within %d ms", s_killallTimeoutMs);
    } else if (run.crashed) {
        qWarning("Error perform \"ProcessKill\" message, process crashes");
    } else if (run.exitCode > 1) {
        qWarning("\"ProcessKill\" killall exitcode: %d", run.exitCode);
    } else {
        // 1 only says that some name matched no process.
        qDebug("\"ProcessKill\" success");
    }
}
