#include "ProcessKill.h"

#include "performers/ProcessKillMonitor.h"

#include <QtDebug>

const QString ProcessKill::msg_name = QStringLiteral("linux_process_kill");
const QString ProcessKill::msg_param_name = QStringLiteral("linux_process_name");
const QString ProcessKill::msg_param_cancel = QStringLiteral("cancel");

ProcessKill::ProcessKill(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void ProcessKill::perform()
{
    qInfo("Perform \"ProcessKill\" message");
    if (!m_params.contains(msg_param_name) || !m_params.contains(contextRequestIdKey)) {
        m_result = false;
        m_error = QStringLiteral("Wrong JSON format (ProcessKill)");
        qWarning("Error perform \"ProcessKill\" message, wrong JSON format");
        return;
    }
    ProcessKillMonitor* monitor = ProcessKillMonitor::instance();
    if (!monitor) {
        // Only reachable without a server connection; nothing could be registered.
        m_result = false;
        m_error = QStringLiteral("ProcessKill: no server connection to monitor");
        qWarning("Error perform \"ProcessKill\" message, monitor not initialized");
        return;
    }

    m_result = true;
    const QStringList args {QStringLiteral("-9"), m_params.value(msg_param_name).toString()};
    const QString id = m_params.value(contextRequestIdKey).toString();
    if (!m_params.contains(msg_param_cancel)) {
        monitor->add(id, args);
    } else {
        monitor->remove(id);
        qDebug("process kill cancelled stop monitoring %s", qPrintable(args.join(' ')));
    }
}
