#pragma once

#include "performers/FilePerformer.h"

class FileSize : public FilePerformer
{
    Q_OBJECT

public:
    explicit FileSize(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
};
