#pragma once

#include "protocol/JsonMessage.h"

#include <QByteArray>
#include <QString>

class QWebSocket;

// Keep-alive: the current time and the agent's own CPU and memory figures.
class KpaMessage : public JsonMessage
{
public:
    explicit KpaMessage(QWebSocket* socket);

    void write(QJsonObject& json) const;

    struct Usage
    {
        QString cpu;
        QString mem;
    };
    // Figures of process `pid` from the output of `ps -ecxo pid=,%cpu=,%mem=`, as sent: 100 times
    // the percentage, "%.2f". "0.00" for both when ps printed no line for that process.
    static Usage usageFromPs(const QByteArray& psOutput, qint64 pid);

    static int s_psTimeoutMs;
};
