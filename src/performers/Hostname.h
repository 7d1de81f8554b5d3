#pragma once

#include "tasks/VTAttachedTask.h"

class Hostname : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit Hostname(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
};
