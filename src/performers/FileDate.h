#pragma once

#include "tasks/VTAttachedTask.h"

class FileDate : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit FileDate(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
    static const QString msg_param;
};
