#include "GuiPipeProtocol.h"

#include "GuiServerState.h"

#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

namespace {

// A daemon and an agent built against different Qt releases share the pipe, so both ends write
// and read one fixed stream format rather than whatever their own Qt defaults to.
constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_5_15;

// Where the string that starts at `pos` ends; -1 while its bytes have not all arrived.
qint64 stringEnd(const QByteArray& buffer, qint64 pos, quint32 maxBytes, bool& invalid)
{
    if (buffer.size() - pos < 4)
        return -1;
    const quint32 bytes = qFromBigEndian<quint32>(buffer.constData() + pos);
    if (bytes == 0xFFFFFFFFu)
        return pos + 4;
    if (bytes % 2 != 0 || bytes > maxBytes) {
        invalid = true;
        return -1;
    }
    if (buffer.size() - pos - 4 < qint64(bytes))
        return -1;
    return pos + 4 + bytes;
}

QString standIn(const QString& secret)
{
    return GuiServerState::isNullOrEmpty(secret) ? secret : GuiPipeProtocol::secretStandIn;
}

} // namespace

GuiPipeProtocol::Values GuiPipeProtocol::valuesOf(const QString& key)
{
    if (key == port)
        return Values::OneInteger;
    if (key == notification)
        return Values::ThreeStrings;
    static const QStringList oneString {
        exitPassword,   conn,       compliance,        server,          complianceUrl,
        hashedPassword, salt,       dissolvableStatus, applicationType, enableProtectionPassword,
        hostname,       quitRefused};
    return oneString.contains(key) ? Values::OneString : Values::None;
}

QByteArray GuiPipeProtocol::encode(const QString& key)
{
    return encode(key, QStringList());
}

QByteArray GuiPipeProtocol::encode(const QString& key, const QString& value)
{
    return encode(key, QStringList {value});
}

QByteArray GuiPipeProtocol::encode(const QString& key, qint32 value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << key << value;
    return bytes;
}

QByteArray GuiPipeProtocol::encode(const QString& key, const QStringList& values)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << key;
    for (const QString& value : values)
        out << value;
    return bytes;
}

bool GuiPipeProtocol::takeAll(QByteArray& buffer, quint32 maxStringBytes,
                              const std::function<bool(const Message&)>& handle)
{
    Message message;
    for (;;) {
        switch (take(buffer, message, maxStringBytes)) {
        case Read::Incomplete:
            return true;
        case Read::Invalid:
            return false;
        case Read::Complete:
            if (!handle(message))
                return true;
            break;
        }
    }
}

GuiPipeProtocol::Read GuiPipeProtocol::take(QByteArray& buffer, Message& message, quint32 maxStringBytes)
{
    bool invalid = false;
    qint64 end = stringEnd(buffer, 0, maxStringBytes, invalid);
    if (end < 0)
        return invalid ? Read::Invalid : Read::Incomplete;

    QDataStream in(buffer);
    in.setVersion(kStreamVersion);
    message = Message();
    in >> message.key;
    const Values kind = valuesOf(message.key);
    const int strings = kind == Values::OneString ? 1 : kind == Values::ThreeStrings ? 3 : 0;
    for (int i = 0; i < strings; ++i) {
        end = stringEnd(buffer, end, maxStringBytes, invalid);
        if (end < 0)
            return invalid ? Read::Invalid : Read::Incomplete;
    }
    if (kind == Values::OneInteger) {
        if (buffer.size() - end < 4)
            return Read::Incomplete;
        end += 4;
    }

    for (int i = 0; i < strings; ++i) {
        QString text;
        in >> text;
        message.texts << text;
    }
    if (kind == Values::OneInteger)
        in >> message.number;
    buffer.remove(0, int(end));
    return Read::Complete;
}

QByteArray GuiPipeProtocol::settingsBurst(const GuiServerState& state, const QString& status,
                                          const QString& complianceText)
{
    return encode(server, state.m_server) + encode(port, qint32(state.m_port))
        + encode(complianceUrl, state.m_complianceCenterUrl) + encode(conn, status) + encode(compliance, complianceText)
        + encode(hashedPassword, standIn(state.m_hashedPassword)) + encode(salt, standIn(state.m_salt))
        + encode(dissolvableStatus, state.m_dissolvableStatus) + encode(applicationType, state.m_applicationType)
        + encode(enableProtectionPassword, state.m_enable_protection_password) + encode(hostname, state.m_hostName);
}

bool GuiPipeProtocol::applyToState(const Message& message, GuiServerState& state)
{
    const QString& key = message.key;
    const QString value = message.texts.value(0);
    if (key == server)
        state.m_server = value;
    else if (key == port)
        state.m_port = message.number;
    else if (key == complianceUrl)
        state.m_complianceCenterUrl = value;
    else if (key == hashedPassword)
        GuiServerState::setTmpPassSaltValue(value, state.m_hashedPassword, state.m_prevHashedPassword);
    else if (key == salt)
        GuiServerState::setTmpPassSaltValue(value, state.m_salt, state.m_prevSalt);
    else if (key == dissolvableStatus)
        state.m_dissolvableStatus = value;
    else if (key == applicationType)
        state.m_applicationType = value;
    else if (key == enableProtectionPassword)
        state.m_enable_protection_password = value;
    else if (key == hostname)
        state.m_hostName = value;
    else
        return false;
    return true;
}
