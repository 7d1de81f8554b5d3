#pragma once

#include "tasks/VTAttachedTask.h"

class Managed : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit Managed(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
};
