#pragma once

#include "tasks/VTAttachedTask.h"

class FileSize : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit FileSize(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
    static const QString msg_param;
};
