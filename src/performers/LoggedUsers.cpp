#include "LoggedUsers.h"

#include "tasks/BoundedProcess.h"

#include <QSet>
#include <QtDebug>

const QString LoggedUsers::msg_name = QStringLiteral("linux_logged_users");
int LoggedUsers::s_processWaitMs = 30000;

LoggedUsers::LoggedUsers(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

QString LoggedUsers::distinctUsers(const QString& line)
{
    const QStringList names = line.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    const QSet<QString> distinct(names.cbegin(), names.cend());
    return QStringList(distinct.values()).join(QLatin1Char(','));
}

void LoggedUsers::perform()
{
    qInfo() << "Perform \"LoggedUsers\" message";
    const BoundedProcess::Result users = BoundedProcess::run(QStringLiteral("users"), {}, s_processWaitMs);
    // The line end is not part of the last name.
    const QString line = QString::fromLocal8Bit(users.firstLine()).remove(QLatin1Char('\n'));
    m_result = distinctUsers(line);
    qDebug() << "\"LoggedUsers\" success";
}
