#include "VTReconfigureHandler.h"

#include "connection/VTConnection.h"
#include "protocol/BaseClient.h"
#include "settings/VTServer.h"

#include <QDebug>

VTReconfigureHandler::VTReconfigureHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
    , m_params(json.value(QStringLiteral("msg")).toObject().value(QStringLiteral("params")).toObject().toVariantMap())
{
}

void VTReconfigureHandler::handle()
{
    VTConnection* connection = m_client->connection();
    // Filled on a copy, so an incomplete request leaves the server in use untouched.
    VTServer server = *connection->getCurrentServer();
    server.resetForRedirect();

    const QVariantMap redirect = m_params.value(QStringLiteral("redirect")).toMap();
    const bool hasAddress = redirect.contains(QStringLiteral("new_ip"));
    const bool hasHostName = redirect.contains(QStringLiteral("new_hostname"));
    if (!m_params.contains(QStringLiteral("redirect")) || (!hasAddress && !hasHostName)
        || !redirect.contains(QStringLiteral("new_port")) || !redirect.contains(QStringLiteral("new_cert"))) {
        qWarning() << "Failed to reconfigure.";
        emit finished(this);
        return;
    }

    if (hasAddress)
        server.m_server = redirect.value(QStringLiteral("new_ip")).toString();
    if (hasHostName)
        server.setHostName(redirect.value(QStringLiteral("new_hostname")).toString());
    server.m_port = redirect.value(QStringLiteral("new_port")).toInt();
    server.m_cert = redirect.value(QStringLiteral("new_cert")).toString().toUtf8();
    if (m_params.contains(QStringLiteral("kpa_interval")))
        server.m_kpaInterval = VTServer::intervalOr(m_params.value(QStringLiteral("kpa_interval")),
                                                    VTServer::s_defaultKpaInterval, QStringLiteral("kpa_interval"));
    if (redirect.contains(QStringLiteral("compliance_center_url")))
        server.m_complianceCenterUrl = redirect.value(QStringLiteral("compliance_center_url")).toString();

    connection->redirect(server);
    emit finished(this);
}
