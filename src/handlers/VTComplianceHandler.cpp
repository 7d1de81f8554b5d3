#include "VTComplianceHandler.h"

#include "protocol/BaseClient.h"

#include <QDebug>

VTComplianceHandler::VTComplianceHandler(const QJsonObject& json, BaseClient* client)
    : VTMsgHandler(json, client)
    , m_params(json.value(QStringLiteral("msg")).toObject().value(QStringLiteral("params")).toObject().toVariantMap())
{
}

QString VTComplianceHandler::stateFor(const QJsonValue& value)
{
    if (value.isNull())
        return QStringLiteral("unset");
    switch (value.toVariant().toInt()) {
    case 1:
        return QStringLiteral("compliant");
    case 0:
        return QStringLiteral("not_compliant");
    default:
        return QString("");
    }
}

void VTComplianceHandler::handle()
{
    if (!m_params.contains(QStringLiteral("compliance"))) {
        emit finished(this);
        return;
    }
    // Read from the message itself: a JSON null must stay distinguishable from a missing value.
    const QJsonValue value = m_request.value(QStringLiteral("msg"))
                                 .toObject()
                                 .value(QStringLiteral("params"))
                                 .toObject()
                                 .value(QStringLiteral("compliance"));
    const QString state = stateFor(value);
    qDebug() << "got compliance message :" << state;
    m_client->onCompliance(state);
    emit finished(this);
}
