#pragma once

#include "VTMsgHandler.h"

// Takes the server's configuration, but only the one answering the request still awaited.
class VTConfigHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTConfigHandler(const QJsonObject& json, BaseClient* client);

    void handle() override;
};
