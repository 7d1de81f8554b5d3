#pragma once

#include "tasks/VTAttachedTask.h"

class VTVersion : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit VTVersion(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
};
