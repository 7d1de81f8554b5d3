#include "VTMsgHandlerFactory.h"

#include "VTActionHandler.h"
#include "VTComplianceHandler.h"
#include "VTConfigHandler.h"
#include "VTInitHandler.h"
#include "VTKpaHandler.h"
#include "VTReconfigureHandler.h"
#include "VTResolveHandler.h"
#include "VTTroubleshootHandler.h"

#include <QDebug>

VTMsgHandler* VTMsgHandlerFactory::createHandler(const QJsonObject& json, BaseClient* client)
{
    const QString type = json.value(QStringLiteral("msg")).toObject().value(QStringLiteral("type")).toString();
    if (type == QLatin1String("resolve_request"))
        return new VTResolveHandler(json, client);
    if (type == QLatin1String("config_response"))
        return new VTConfigHandler(json, client);
    if (type == QLatin1String("action_request"))
        return new VTActionHandler(json, client);
    if (type == QLatin1String("compliance"))
        return new VTComplianceHandler(json, client);
    if (type == QLatin1String("troubleshoot"))
        return new VTTroubleshootHandler(json, client);
    if (type == QLatin1String("reconfigure"))
        return new VTReconfigureHandler(json, client);
    if (type == QLatin1String("init_ok"))
        return new VTInitHandler(json, client);
    if (type == QLatin1String("kpa"))
        return new VTKpaHandler(json, client);
    qCritical() << "unknown message type: " << type;
    return nullptr;
}
