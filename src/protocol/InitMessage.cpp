#include "InitMessage.h"

#include <QCoreApplication>
#include <QNetworkInterface>
#include <QWebSocket>

namespace {

QString hardwareAddressFor(const QString& localAddress)
{
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface& iface : interfaces) {
        if (!iface.flags().testFlag(QNetworkInterface::IsUp) || iface.hardwareAddress().isEmpty())
            continue;
        const auto entries = iface.addressEntries();
        for (const QNetworkAddressEntry& entry : entries) {
            if (entry.ip().toString() == localAddress)
                return iface.hardwareAddress();
        }
    }
    return QString();
}

} // namespace

InitMessage::InitMessage(const QWebSocket* socket)
{
    setAgentHeader(socket ? socket->localAddress().toString() : QString());
    msg.type = eMsgInit;
}

void InitMessage::write(QJsonObject& json) const
{
    QJsonObject body = json.value("msg").toObject();

    const QString mac = hardwareAddressFor(msg_info.src);
    if (!mac.isEmpty())
        body["mac"] = mac;
    body["vt_version"] = QCoreApplication::applicationVersion();
    body["ip"] = msg_info.src;

    json["msg"] = body;
    JsonMessage::write(json);
}
