#include "ProcessRunning.h"

#include "tasks/BoundedProcess.h"

#include <QRegularExpression>
#include <QtDebug>

const QString ProcessRunning::msg_name = QStringLiteral("linux_process_running");
int ProcessRunning::s_processWaitMs = 30000;

ProcessRunning::ProcessRunning(const QMap<QString, QVariant>& params)
    : VTDetachedTask(params, msg_name)
{
}

ProcessRunning::~ProcessRunning()
{
    stopThread();
}

QStringList ProcessRunning::parseProcessList(const QByteArray& output, qint64 psPid)
{
    static const QRegularExpression whiteSpace(QStringLiteral("\\s+"));
    QStringList processes;
    const QList<QByteArray> lines = output.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        // split() leaves one empty piece after the final line end; it is no line of output.
        if (i == lines.size() - 1 && lines.at(i).isEmpty())
            break;
        QStringList words = QString::fromLocal8Bit(lines.at(i)).split(whiteSpace, Qt::SkipEmptyParts);
        qint64 pid = 0;
        // Only a whole leading number is a process id; a command such as "7z" keeps its name.
        if (!words.isEmpty()) {
            bool isNumber = false;
            const qint64 leading = words.first().toLongLong(&isNumber);
            if (isNumber) {
                pid = leading;
                words.removeFirst();
            }
        }
        if (pid != psPid || psPid == 0)
            processes << words.join(QLatin1Char(' '));
    }
    return processes;
}

void ProcessRunning::perform()
{
    qInfo() << "Perform \"ProcessRunning\" message";
    const BoundedProcess::Result ps
        = BoundedProcess::run(QStringLiteral("ps"), {QStringLiteral("-ewo"), QStringLiteral("cmd")}, s_processWaitMs);
    m_result = parseProcessList(ps.output, ps.pid);
    qDebug() << "\"ProcessRunning\" success";
}
