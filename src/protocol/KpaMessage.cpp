#include "KpaMessage.h"

#include "tasks/BoundedProcess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QRegularExpression>
#include <QWebSocket>

int KpaMessage::s_psTimeoutMs = 30000;

KpaMessage::KpaMessage(QWebSocket* socket)
{
    setAgentHeader(socket ? socket->localAddress().toString() : QString());
    msg.type = eMsgKpa;
}

KpaMessage::Usage KpaMessage::usageFromPs(const QByteArray& psOutput, qint64 pid)
{
    // Without a line for the process the figures are unknown; zero is sent rather than
    // whatever another process's line happened to hold.
    double cpu = 0.0;
    double mem = 0.0;
    // Compiled once: every keep-alive reads a table of processes.
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QList<QByteArray> lines = psOutput.split('\n');
    for (const QByteArray& line : lines) {
        const QStringList parts = QString::fromLatin1(line).split(blanks, Qt::SkipEmptyParts);
        if (parts.size() < 3)
            continue;
        bool pidOk = false;
        bool cpuOk = false;
        bool memOk = false;
        const qint64 linePid = parts[0].toLongLong(&pidOk);
        const double lineCpu = parts[1].toDouble(&cpuOk);
        const double lineMem = parts[2].toDouble(&memOk);
        if (pidOk && cpuOk && memOk && linePid == pid) {
            cpu = lineCpu;
            mem = lineMem;
            break;
        }
    }
    return {QString::asprintf("%.2f", cpu * 100), QString::asprintf("%.2f", mem * 100)};
}

void KpaMessage::write(QJsonObject& json) const
{
    QJsonObject body = json.value("msg").toObject();
    body["time"] = QDateTime::currentMSecsSinceEpoch() / 1000;

    QJsonObject stats = body.value("stats").toObject();

    // ps prints its figures in the locale's number format; the parser expects a decimal point.
    BoundedProcess::Options options;
    options.environment << QStringLiteral("LC_ALL=C");
    const BoundedProcess::Result ps
        = BoundedProcess::run(QStringLiteral("ps"), {"-ecxo", "pid=,%cpu=,%mem="}, s_psTimeoutMs, options);
    const Usage usage = usageFromPs(ps.output, QCoreApplication::applicationPid());

    stats["cpu_usage"] = usage.cpu;
    stats["mem_usage"] = usage.mem;
    body["stats"] = stats;
    json["msg"] = body;
    JsonMessage::write(json);
}
