#include "GuiServerState.h"

#include "settings/VTServer.h"

#include <QDebug>

void GuiServerState::takeServer(const VTServer& server)
{
    m_server = shownAddress(server);
    m_port = server.m_port;
    m_complianceCenterUrl = server.m_complianceCenterUrl;
    m_enable_protection_password = server.m_enableProtectionPassword;
    setTmpPassSaltValue(server.m_protectionPassword, m_hashedPassword, m_prevHashedPassword);
    setTmpPassSaltValue(server.m_passwordSalt, m_salt, m_prevSalt);
    m_dissolvableStatus = server.m_enableExitPasswordOnDissolvable;
    m_applicationType = server.m_applicationType;
    m_hostName = server.m_hostName;
}

bool GuiServerState::enableProtectionPassword() const
{
    qDebug() << "checking enable protection password status: " << m_enable_protection_password;
    return m_enable_protection_password == QLatin1String("true") && !isNullOrEmpty(m_hashedPassword)
        && !isNullOrEmpty(m_salt);
}

bool GuiServerState::isDissolvableAndAllowToExit() const
{
    qDebug() << "check disslvable: application_type: " << m_applicationType
             << " dissolvable_status: " << m_dissolvableStatus
             << "m_enable_protection_password: " << m_enable_protection_password;
    return m_applicationType.toLower() == QLatin1String("dissolvable") && m_dissolvableStatus == QLatin1String("false")
        && m_enable_protection_password != QLatin1String("true");
}

bool GuiServerState::exitNeedsPassword() const
{
    return enableProtectionPassword() && !isDissolvableAndAllowToExit();
}

QString GuiServerState::shownAddress(const VTServer& server)
{
    if (!server.m_serverInUse.trimmed().isEmpty())
        return server.m_serverInUse;
    if (!server.m_hostName.isEmpty())
        return server.m_hostName;
    return server.m_server;
}

void GuiServerState::setTmpPassSaltValue(const QString& value, QString& current, QString& previous)
{
    if (isNullOrEmpty(value) && isNullOrEmpty(current)) {
        current = value;
        return;
    }
    previous = current;
    current = value;
    if (isNullOrEmpty(value))
        current = previous;
}

bool GuiServerState::isNullOrEmpty(const QString& text)
{
    return text.isNull() || text.isEmpty();
}
