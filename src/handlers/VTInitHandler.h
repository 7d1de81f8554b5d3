#pragma once

#include "VTMsgHandler.h"

// Answers nothing: an init_ok only lets the session start its keep-alive loop.
class VTInitHandler : public VTMsgHandler
{
    Q_OBJECT

public:
    VTInitHandler(const QJsonObject& json, BaseClient* client);

    void handle() override;
};
