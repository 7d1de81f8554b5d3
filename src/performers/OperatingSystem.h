#pragma once

#include "tasks/VTAttachedTask.h"

class OperatingSystem : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit OperatingSystem(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;

    // The readable description made from what get_os.sh prints.
    static QString getLinuxOs(const QString& output);

    static int s_processWaitMs;
    // Where get_os.sh is looked for; empty means the executable's own directory.
    static QString s_scriptDir;
};
