#include "VTKpaHandler.h"

#include "protocol/BaseClient.h"

VTKpaHandler::VTKpaHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
{
}

void VTKpaHandler::handle()
{
    if (!m_msgInfo.id.isEmpty() && m_msgInfo.id == m_client->pendingKpaId())
        m_client->resetKpaTimer();
    emit finished(this);
}
