#pragma once

#include "tasks/VTDetachedTask.h"

class ConsoleUser : public VTDetachedTask
{
    Q_OBJECT

public:
    explicit ConsoleUser(const QMap<QString, QVariant>& params);
    ~ConsoleUser() override;

    void perform() override;

    static const QString msg_name;
    static int s_processWaitMs;

    QString CopyCurrentConsoleUsername();
};
