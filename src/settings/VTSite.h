#pragma once

#include "VTServer.h"

#include <QList>

// A group of management servers that belong together. A plain value record like VTServer.
class VTSite
{
public:
    VTSite() = default;

    bool load(QVariant const& value);
    void toVariantMap(QMap<QString, QVariant>& map) const;
    bool getServerAt(int index, VTServer& server) const;
    int serverCount() const { return m_servers.size(); }
    void setAppType(QString const& appType) { m_appType = appType; }

    static const QString s_defaultResource;

    QString m_resource;
    QString m_clientAuthOid;
    QString m_appType;
    QList<VTServer> m_servers;
};
