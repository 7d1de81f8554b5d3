#pragma once

#include "performers/FilePerformer.h"

class FileExists : public FilePerformer
{
    Q_OBJECT

public:
    explicit FileExists(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
};
