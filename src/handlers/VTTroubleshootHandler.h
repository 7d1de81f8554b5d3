#pragma once

#include "VTMsgHandler.h"

#include <QMap>
#include <QVariant>

// Reports task statistics and, when asked, the tail of the log file.
class VTTroubleshootHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTTroubleshootHandler(const QJsonObject& json, BaseClient* client);

    void handle() override;

    // The most of the log file ever sent, so the answer stays bounded whatever the file's size.
    static const qint64 s_logTailBytes;

private:
    QMap<QString, QVariant> m_params;
};
