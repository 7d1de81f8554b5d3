#pragma once

#include "tasks/VTAttachedTask.h"

#include <QMap>
#include <QString>
#include <QVariant>

// Registers (or, with "cancel", withdraws) a program to be killed again and again by the
// process-kill monitor, keyed by the action's context request id.
class ProcessKill : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit ProcessKill(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
    static const QString msg_param_name;
    static const QString msg_param_cancel;
};
