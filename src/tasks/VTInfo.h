#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

struct sTaskInfo
{
    qint64 startTime = 0;
    QString taskName;
    QString msgID;
    QString paramsText;
};

struct sTaskStats
{
    quint32 count = 0;
    double averageTime = 0.0;
};

// Process-wide record of running tasks and per-name run times, read by the troubleshoot answer.
// Only the main thread touches it, so it has no lock.
class VTInfo
{
public:
    static VTInfo* instance();

    void taskStarted(QString taskUID, QString msgID, QString name, QMap<QString, QVariant> params, qint64 startTime);
    void taskFinished(QString taskUID);

    // " | key:value | key:value | ", with secrets the server sent replaced by asterisks.
    static QString paramsText(const QMap<QString, QVariant>& params);
    // Milliseconds as seconds in printf "%g" form (precision 6).
    static QString formatSeconds(double milliseconds);

    QStringList ongoingTasksReport() const;
    QStringList tasksStatsReport() const;
    // The three troubleshoot entries: "total_tasks_count", "ongoing_tasks" and "tasks_stats".
    QMap<QString, QVariant> troubleshootReports() const;

    QMap<QString, sTaskStats> m_tasksStats;
    QMap<QString, sTaskInfo> m_tasksInfo;
    quint32 m_totalTasksCount = 0;

private:
    VTInfo() = default;
};
