#pragma once

#include "tasks/VTAttachedTask.h"

class FileExists : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit FileExists(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
    static const QString msg_param;
};
