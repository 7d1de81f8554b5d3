#pragma once

#include "connection/VTConnection.h"

// The one way tests reach inside the connection manager: read its rotation and run a single step.
class VTConnectionProbe
{
public:
    using index = VTConnection::index;

    static QList<index> rotationOrder(QList<int> const& serversPerSite)
    {
        return VTConnection::buildRotationOrder(serversPerSite);
    }
    static QList<index> serverIndexes(VTConnection const& c) { return c.m_serverIndexes; }
    static int currentIndex(VTConnection const& c) { return c.m_currentIndex; }
    static int reconnectDelay(VTConnection const& c) { return c.reconnectDelay(); }
    static std::vector<QString> resolvedIps(VTConnection const& c) { return c.m_resolvedIps; }
    static QString serverToUse(VTConnection const& c) { return c.m_serverToUse; }
    static bool isReconnectScheduled(VTConnection const& c) { return c.m_reconnectTimer->isActive(); }
    static int failedRounds(VTConnection const& c) { return c.m_wait.failedRounds(); }
    static int waitCentreSeconds(VTConnection const& c)
    {
        return c.m_wait.centreSeconds(c.m_currentServer.m_reconnectInterval);
    }

    static void moveToNextServer(VTConnection& c) { c.moveToNextServer(); }
    static void setResolvedIps(VTConnection& c, QList<QHostAddress> const& a) { c.setResolvedIps(a); }
    static void resolveServerToUse(VTConnection& c) { c.resolveServerToUse(); }
    static void sslErrors(VTConnection& c, QList<QSslError> const& errors) { c.onSslErrors(errors); }

    static bool isValidName(QString const& name, QString const& host) { return VTConnection::isValidName(name, host); }
    static bool isValidDnsSan(QStringList const& names, QString const& host)
    {
        return VTConnection::isValidDnsSan(names, host);
    }
    static bool isCertExtensionExists(QSslCertificate const& cert, QString const& name)
    {
        return VTConnection::isCertExtensionExists(cert, name);
    }
    static QStringList getSanIpEntries(QSslCertificate const& cert) { return VTConnection::getSanIpEntries(cert); }
};
