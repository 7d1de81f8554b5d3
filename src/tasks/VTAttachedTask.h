#pragma once

#include "VTTask.h"

// Runs inside go() on the caller's thread; receivers see finished() before go() returns.
class VTAttachedTask : public VTTask
{
    Q_OBJECT

public:
    using VTTask::VTTask;

    void go() override;

signals:
    void finished(QString strTaskID);
};
