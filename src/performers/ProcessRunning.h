#pragma once

#include "tasks/VTDetachedTask.h"

class ProcessRunning : public VTDetachedTask
{
    Q_OBJECT

public:
    explicit ProcessRunning(const QMap<QString, QVariant>& params);
    ~ProcessRunning() override;

    void perform() override;

    static const QString msg_name;
    static int s_processWaitMs;

    // One entry per line of "ps" output, leaving out the line of the "ps" child itself.
    static QStringList parseProcessList(const QByteArray& output, qint64 psPid);
};
