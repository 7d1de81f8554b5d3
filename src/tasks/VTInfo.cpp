#include "VTInfo.h"

#include "VTClock.h"
#include "protocol/VTPasswordMask.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtDebug>

namespace {

// The troubleshoot answer is logged in full, so anything secret in a task's parameters must not
// reach it; the masks are the ones the log uses for the same keys.
QVariant masked(const QVariant& value)
{
    if (value.userType() == QMetaType::QVariantMap) {
        QVariantMap inner = value.toMap();
        for (auto it = inner.begin(); it != inner.end(); ++it) {
            const QString mask = VTPasswordMask::maskFor(it.key());
            it.value() = mask.isNull() ? masked(it.value()) : QVariant(mask);
        }
        return inner;
    }
    if (value.userType() == QMetaType::QVariantList) {
        QVariantList list = value.toList();
        for (QVariant& item : list)
            item = masked(item);
        return list;
    }
    return value;
}

QString valueText(const QVariant& value)
{
    // Nested parameter objects have no plain text form; compact JSON keeps them readable.
    if (value.userType() == QMetaType::QVariantMap)
        return QString::fromUtf8(
            QJsonDocument(QJsonObject::fromVariantMap(value.toMap())).toJson(QJsonDocument::Compact));
    if (value.userType() == QMetaType::QVariantList || value.userType() == QMetaType::QStringList)
        return QString::fromUtf8(QJsonDocument::fromVariant(value.toList()).toJson(QJsonDocument::Compact));
    return value.toString();
}

} // namespace

VTInfo* VTInfo::instance()
{
    // Lives for the whole process on purpose: tasks may report their end during shut-down.
    static VTInfo* info = new VTInfo;
    return info;
}

void VTInfo::taskStarted(QString taskUID, QString msgID, QString name, QMap<QString, QVariant> params, qint64 startTime)
{
    if (m_tasksInfo.contains(taskUID)) {
        qCritical() << "Task is already here. something is wrong.";
        return;
    }
    sTaskInfo info;
    info.startTime = startTime;
    info.taskName = name;
    info.msgID = msgID;
    info.paramsText = paramsText(params);
    m_tasksInfo.insert(taskUID, info);
    ++m_totalTasksCount;
}

void VTInfo::taskFinished(QString taskUID)
{
    auto found = m_tasksInfo.find(taskUID);
    if (found == m_tasksInfo.end()) {
        qCritical() << "Task is missing. something is wrong.";
        return;
    }
    sTaskStats& stats = m_tasksStats[found->taskName];
    const qint64 elapsed = VTClock::currentMSecs() - found->startTime;
    stats.averageTime = (stats.count * stats.averageTime + static_cast<double>(elapsed)) / (stats.count + 1.0);
    ++stats.count;
    m_tasksInfo.erase(found);
}

QString VTInfo::paramsText(const QMap<QString, QVariant>& params)
{
    QString text = QStringLiteral(" | ");
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        QString value = VTPasswordMask::maskFor(it.key());
        if (value.isNull()) {
            // The statistics are logged in troubleshoot answers.
            value = VTPasswordMask::isLogOnlySecret(it.key()) ? VTPasswordMask::logOnlyMask(it.value().toString())
                                                              : valueText(masked(it.value()));
        }
        text += it.key() + QLatin1Char(':') + value + QStringLiteral(" | ");
    }
    return text;
}

QString VTInfo::formatSeconds(double milliseconds)
{
    return QString::asprintf("%g", milliseconds / 1000.0);
}

QStringList VTInfo::ongoingTasksReport() const
{
    const qint64 now = VTClock::currentMSecs();
    QStringList report;
    for (auto it = m_tasksInfo.cbegin(); it != m_tasksInfo.cend(); ++it)
        report << it->taskName + QLatin1Char(':') + it->paramsText + QLatin1Char(':')
                + formatSeconds(static_cast<double>(now - it->startTime));
    return report;
}

QStringList VTInfo::tasksStatsReport() const
{
    QStringList report;
    for (auto it = m_tasksStats.cbegin(); it != m_tasksStats.cend(); ++it)
        report << it.key() + QStringLiteral(":count=") + QString::number(it->count) + QStringLiteral(":average_time=")
                + formatSeconds(it->averageTime);
    return report;
}

QMap<QString, QVariant> VTInfo::troubleshootReports() const
{
    QMap<QString, QVariant> reports;
    reports.insert(QStringLiteral("total_tasks_count"), m_totalTasksCount);
    reports.insert(QStringLiteral("ongoing_tasks"), ongoingTasksReport());
    reports.insert(QStringLiteral("tasks_stats"), tasksStatsReport());
    return reports;
}
