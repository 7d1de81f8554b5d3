#pragma once

#include "VTTask.h"
#include "VTTaskThread.h"

// Runs perform() on a thread of its own; finished() arrives later through the event loop.
class VTDetachedTask : public VTTask
{
    Q_OBJECT

public:
    VTDetachedTask(const QMap<QString, QVariant>& params, QString name);
    ~VTDetachedTask() override;

    void go() override;

signals:
    void finished(QString strTaskID);

public slots:
    void onFinished();

protected:
    // A subclass with state of its own calls this from its destructor, so that the thread never
    // runs perform() on a half-destroyed object.
    void stopThread();

    VTTaskThread m_thread;
};
