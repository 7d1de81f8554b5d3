#include "VTConfigHandler.h"

#include "protocol/BaseClient.h"
#include "settings/VTSettings.h"

#include <QDebug>

VTConfigHandler::VTConfigHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
{
}

void VTConfigHandler::handle()
{
    // A late answer to a request the session already gave up on must not replace the settings.
    if (!m_msgInfo.id.isEmpty() && m_msgInfo.id == m_client->pendingConfigId()) {
        VTSettings::instance()->loadFromJson(m_request);
        m_client->onConfigResponse();
    } else {
        qCritical() << "Unexpected config response id";
    }
    emit finished(this);
}
