#pragma once

#include "VTMsgHandler.h"

#include <QMap>
#include <QVariant>

// Passes the device's compliance state on towards the tray.
class VTComplianceHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTComplianceHandler(const QJsonObject& json, BaseClient* client);

    void handle() override;

    // The state text for a "compliance" value: "unset", "compliant", "not_compliant" or empty.
    static QString stateFor(const QJsonValue& value);

private:
    QMap<QString, QVariant> m_params;
};
