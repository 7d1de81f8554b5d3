#pragma once

#include "tasks/VTAttachedTask.h"

#include <QMap>
#include <QString>
#include <QVariant>

// Stops this installation's agent processes through the companion stop script, run in a shell
// of its own so that it outlives the process it stops.
class ShutDown : public VTAttachedTask
{
    Q_OBJECT

public:
    explicit ShutDown(const QMap<QString, QVariant>& params);

    void perform() override;

    static const QString msg_name;
    static QString tmp_file_template;
};
