#pragma once

#include <QMap>
#include <QString>
#include <QVariant>

// What one task left behind when it was created by name and run to its end.
struct TaskOutcome
{
    bool created = false;
    bool finished = false;
    // Attached tasks end inside go(); detached ones only later, from the event loop.
    bool finishedInsideGo = false;
    QString name;
    QString taskUID;
    QString finishedID;
    QVariant result;
    QString error;
};

// Drives any task the way a handler does: create by name, connect finished, go, read, delete.
class TestTaskRunner
{
public:
    // Initialises the task factory with a GUI channel that lives for the whole test process.
    static void initFactory();

    static TaskOutcome run(const QString& name, const QMap<QString, QVariant>& params = {}, int timeoutMs = 20000);
};
