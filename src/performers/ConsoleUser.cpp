#include "ConsoleUser.h"

#include "tasks/BoundedProcess.h"

#include <QRegularExpression>
#include <QSet>
#include <QtDebug>

const QString ConsoleUser::msg_name = QStringLiteral("user");
int ConsoleUser::s_processWaitMs = 30000;

ConsoleUser::ConsoleUser(const QMap<QString, QVariant>& params)
    : VTDetachedTask(params, msg_name)
{
}

ConsoleUser::~ConsoleUser()
{
    stopThread();
}

QString ConsoleUser::CopyCurrentConsoleUsername()
{
    // bash runs only the first string; the other two become its positional parameters.
    const BoundedProcess::Result who
        = BoundedProcess::run(QStringLiteral("bash"),
                              {QStringLiteral("-c"), QStringLiteral("who | cut -d' ' -f1 "), QStringLiteral("| sort "),
                               QStringLiteral("| uniq")},
                              s_processWaitMs);
    const QString line = QString::fromLocal8Bit(who.firstLine());
    const QStringList names = line.split(QRegularExpression(QStringLiteral("[\r\n]")), Qt::SkipEmptyParts);
    const QSet<QString> distinct(names.cbegin(), names.cend());
    return QStringList(distinct.values()).join(QLatin1Char(','));
}

void ConsoleUser::perform()
{
    qInfo() << "Perform \"ConsoleUser\" message";
    const QString name = CopyCurrentConsoleUsername();
    m_result = name.isEmpty() ? QString(QLatin1String("")) : name;
}
