#pragma once

#include "VTMsgHandler.h"

// The server's echo of a keep-alive; only the echo of the last one sent counts.
class VTKpaHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTKpaHandler(const QJsonObject& json, BaseClient* client);

    void handle() override;
};
