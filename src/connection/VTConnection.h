#pragma once

#include "settings/VTServer.h"
#include "settings/VTSite.h"

#include <QAbstractSocket>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSslCertificate>
#include <QSslError>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWebSocket>

#include <vector>

// Owns the WebSocket to the management server: walks the rotation of configured servers,
// resolves and connects to one address at a time, accepts a peer only through the server's own
// pinned certificates and a manual name check, and reconnects by itself after every disconnection.
class VTConnection : public QObject
{
    Q_OBJECT

public:
    // A rotation entry: position in the settings' site list, position in that site's server list.
    using index = QPair<qint32, qint32>;

    // Milliseconds per second of a server's reconnect interval; tests shrink it.
    static int s_msPerReconnectSecond;
    // A session ending sooner than this after its connection attempt counts as a server failure.
    static int s_shortSessionMs;

    explicit VTConnection(QObject* parent = nullptr);
    ~VTConnection() override;

    bool open();
    void close();
    void redirect(VTServer const& server);
    void skipSite();
    VTServer const* getCurrentServer() const { return &m_currentServer; }

    // The session client sends and receives its frames on this socket and may close it.
    QWebSocket* getSocket() const { return m_socket; }

    // Read access for the session side and for diagnostics.
    QList<index> serverIndexes() const { return m_serverIndexes; }
    int currentIndex() const { return m_currentIndex; }
    VTSite const& currentSite() const { return m_currentSite; }
    std::vector<QString> resolvedIps() const { return m_resolvedIps; }
    QString serverToUse() const { return m_serverToUse; }
    int reconnectDelay() const { return m_reconnectDelay; }
    bool isSecure() const { return m_secure; }
    bool isReconnectScheduled() const { return m_reconnectTimer->isActive(); }

    // The rotation over `serversPerSite` (server count of each site): every server in order,
    // with the primary (0, 0) between each of them.
    static QList<index> buildRotationOrder(QList<int> const& serversPerSite);

    // Steps of a connection cycle.
    void resetServers();
    void moveToNextServer();
    bool needToMoveToNextServer(bool force) const;
    void initConnectionData();
    void resolveServerToUse();
    void setResolvedIps(QList<QHostAddress> const& addresses);
    void clearResolvedIPs();
    QString getResolvedIP() const;
    void updateHostnameByIp(QString const& ip);
    void openByIp();

    // TLS identity and validation of the peer.
    void resetAuthIdentity();
    void setClientAuthIdentity();
    void setAuthIdentity();
    bool isValidPeersCertificateChain();
    bool isValidCertName(QSslCertificate const& cert);
    bool isValidIpSan(QStringList const& entries);
    bool isValidByOCSP(int mode);
    static bool isCertExtensionExists(QSslCertificate const& cert, QString const& name);
    static bool isValidDnsSan(QStringList const& names, QString const& host);
    static QStringList getSanIpEntries(QSslCertificate const& cert);
    static bool isValidCn(QSslCertificate const& cert, QString const& host);
    static bool isValidName(QString name, QString const& host);

signals:
    void connected();
    void disconnected();
    void serverChanged();

public slots:
    void onConnected();
    void onDisconnected();
    void onReconnect();
    void onError(QAbstractSocket::SocketError error);
    void onSslErrors(QList<QSslError> const& errors);
    void onSettingsChanged();

private:
    // Copies the rotation entry at m_currentIndex into the current site and server; an entry
    // that no longer names a configured site or server leaves them as they were.
    void takeCurrentEntry();

    int m_reconnectDelay = 0;
    QString m_serverToUse;
    QDateTime m_connectStart;
    VTServer m_currentServer;
    VTSite m_currentSite;
    bool m_connected = false;
    QTimer* m_reconnectTimer = nullptr;
    QWebSocket* m_socket = nullptr;
    QList<index> m_serverIndexes;
    int m_currentIndex = 0;
    bool m_secure = false;
    QList<QSslCertificate> m_serverCerts;
    std::vector<QString> m_resolvedIps;
    bool m_serverChanged = false;
};
