#include "VTInitHandler.h"

#include "protocol/BaseClient.h"

VTInitHandler::VTInitHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
{
}

void VTInitHandler::handle()
{
    m_client->onInitOK();
    emit finished(this);
}
