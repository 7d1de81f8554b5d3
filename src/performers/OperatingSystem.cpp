#include "OperatingSystem.h"

#include "tasks/BoundedProcess.h"

#include <QCoreApplication>
#include <QtDebug>

const QString OperatingSystem::msg_name = QStringLiteral("linux_operating_system");
int OperatingSystem::s_processWaitMs = 30000;
QString OperatingSystem::s_scriptDir;

OperatingSystem::OperatingSystem(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void OperatingSystem::perform()
{
    const QString dir = s_scriptDir.isEmpty() ? QCoreApplication::applicationDirPath() : s_scriptDir;
    // Whatever the script managed to print is used, even when it did not finish in time.
    const QString output = QString::fromLocal8Bit(
        BoundedProcess::run(QStringLiteral("bash"), {dir + QStringLiteral("/get_os.sh")}, s_processWaitMs).output);
    qInfo() << "Perform \"OperatingSystem\" message";
    m_result = getLinuxOs(output);
    qDebug() << "\"OperatingSystem\" success";
}

QString OperatingSystem::getLinuxOs(const QString& output)
{
    static const QString welcome = QStringLiteral("Welcome to ");
    static const QString linux = QStringLiteral("Linux");
    QString description;
    if (!output.isEmpty()) {
        const QStringList lines = output.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
        for (QString line : lines) {
            // Escapes of /etc/issue banners that getty would otherwise expand.
            line.remove(QStringLiteral("\\n")).remove(QStringLiteral("\\l")).remove(QStringLiteral("\\1"));
            if (line.contains(QLatin1String("release"))) {
                description += line;
            } else if (line.contains(QLatin1String("Ubuntu"))) {
                description += line;
            } else if (line.toLower().contains(QLatin1String("suse"))) {
                // A SUSE line without the banner's greeting names nothing we could read safely.
                const int start = line.indexOf(welcome);
                if (start < 0)
                    continue;
                QString name = line.mid(start + welcome.size());
                const int again = name.indexOf(welcome);
                if (again >= 0)
                    name.truncate(again);
                const int kernel = name.indexOf(QLatin1String("- Kernel"));
                if (kernel >= 0)
                    name.truncate(kernel);
                description += name;
            } else if (line.contains(linux)) {
                if (!description.isEmpty())
                    description += QStringLiteral(" Kernel") + QString(line).remove(linux);
                else
                    description += QStringLiteral("Generic ") + line;
            }
        }
    }
    return description.isEmpty() ? QStringLiteral("Generic Linux") : description;
}
