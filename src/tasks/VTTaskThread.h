#pragma once

#include <QThread>

class VTTask;

// Runs one task's perform() away from the main thread; the task owns its thread, not the reverse.
class VTTaskThread : public QThread
{
    Q_OBJECT

public:
    explicit VTTaskThread(VTTask* task);

protected:
    void run() override;

private:
    VTTask* m_task;
};
