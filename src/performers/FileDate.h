#pragma once

#include "performers/FilePerformer.h"

class FileDate : public FilePerformer
{
    Q_OBJECT

public:
    explicit FileDate(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
};
