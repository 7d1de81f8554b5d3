#pragma once

#include "tasks/VTAttachedTask.h"

class LoggedUsers : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit LoggedUsers(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;

    // The distinct names of one line of "users", comma-separated.
    static QString distinctUsers(const QString& line);

    static int s_processWaitMs;
};
