#pragma once

#include "VTMsgHandler.h"

#include <QMap>
#include <QVariant>

// Moves the session to the server endpoint the server names; answers nothing.
class VTReconfigureHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTReconfigureHandler(const QJsonObject& json, BaseClient* client);

    void handle() override;

private:
    QMap<QString, QVariant> m_params;
};
