#pragma once

#include <QString>

class VTServer;

// What the tray shows of the current server and what its exit check needs. The local mode and
// the daemon fill it from the connection manager's record; the agent fills it from the GUI pipe,
// which carries stand-ins instead of the exit password's digest and salt.
class GuiServerState
{
public:
    void takeServer(const VTServer& server);

    // The exit password applies: the server enables it and both its digest and salt are known.
    bool enableProtectionPassword() const;
    bool isDissolvableAndAllowToExit() const;
    // The tray's rule for asking the password before exiting; the daemon applies the same rule.
    bool exitNeedsPassword() const;

    // The name the user sees for a server: the host actually in use, else its configured name or address.
    static QString shownAddress(const VTServer& server);
    // Never lets an empty value from the server erase a known password digest or salt.
    static void setTmpPassSaltValue(const QString& value, QString& current, QString& previous);
    static bool isNullOrEmpty(const QString& text);

    QString m_server;
    int m_port = 0;
    QString m_complianceCenterUrl;
    QString m_enable_protection_password;
    QString m_hashedPassword;
    QString m_salt;
    QString m_prevHashedPassword;
    QString m_prevSalt;
    QString m_dissolvableStatus = QStringLiteral("false");
    QString m_applicationType;
    QString m_hostName;
};
