#pragma once

#include "connection/ReconnectWait.h"
#include "settings/VTServer.h"
#include "settings/VTSite.h"

#include <QAbstractSocket>
#include <QDateTime>
#include <QElapsedTimer>
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

class VTConnectionProbe;

// Owns the WebSocket to the management server: walks the rotation of configured servers,
// resolves and connects to one address at a time, accepts a peer only through the server's own
// pinned certificates and a manual name check, and reconnects by itself after every disconnection.
//
// One connection cycle. Every way out of "connecting" or "connected" ends in the rotation
// decision, which always schedules the next attempt, so the manager is never left with neither a
// socket attempt nor a scheduled one:
//
//   idle --timer / open()--> connecting --socket up, chain accepted--> connected
//     ^                        |  refused, error, chain refused (close),        |
//     |                        |  not accepted within s_connectTimeoutMs        | dropped, close()
//     |                        v                                                v
//     +---- timer started <-- rotation decision <-------------------------------+
//           (at once after close() or a time-out unless the rotation moved, else the server's
//            interval; either way drawn at random and grown in a long outage: see ReconnectWait)
//
// The rotation decision:
//
//   addresses left? --no--> move to next server
//        | yes
//   session accepted? --no--> drop the failed address; none left? --yes--> move to next server
//        | yes                                                     --no--> same server, next address
//   forget the addresses (look the name up again)
//   ended within s_shortSessionMs, on the server it connected to,
//   and not closed by this side?                                  --yes--> move to next server
//                                                                 --no--> same server
//
// The wait before the next attempt (ReconnectWait holds the numbers):
//
//   session stayed up ReconnectWait::s_lastingSessionMs? --yes--> failed rounds = 0
//   the rotation wrapped around to its first entry?       --yes--> failed rounds + 1
//   at once (close(), time-out)  --> 0 to s_maxImmediateSpreadMs
//   scheduled                    --> uniform in [C / 4, 7 C / 4], C = the interval, doubled for
//                                    every failed round from the third on, capped at a few
//                                    intervals and two minutes
//   attempt answered with an error before it was accepted (an HTTP 503, a refused hand-shake)
//                                --> the attempt ends at once and goes to the rotation decision
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
    // An attempt not connected and accepted by then, or a close not finished by then, is given up.
    static int s_connectTimeoutMs;
    // Largest inbound frame and message: generous, so that a configuration with hundreds of
    // certificates passes, yet a hostile peer cannot make the agent buffer without end.
    static const quint64 s_maxIncomingBytes;

    explicit VTConnection(QObject* parent = nullptr);
    ~VTConnection() override;

    bool open();
    void close();
    void redirect(VTServer const& server);
    void skipSite();
    VTServer const* getCurrentServer() const { return &m_currentServer; }

    // The session client sends and receives its frames on this socket and may close it.
    QWebSocket* getSocket() const { return m_socket; }

signals:
    void connected();
    void disconnected();
    void serverChanged();

public slots:
    void onSettingsChanged();

private slots:
    void onConnected();
    void onDisconnected();
    void onReconnect();
    void onError(QAbstractSocket::SocketError error);
    void onSslErrors(QList<QSslError> const& errors);
    void onStateChanged(QAbstractSocket::SocketState state);
    void onDeadline();

private:
    // Tests read the rotation and drive single steps through this one class.
    friend class VTConnectionProbe;

    // The rotation over `serversPerSite` (server count of each site): every server in order,
    // with the primary (0, 0) between each of them.
    static QList<index> buildRotationOrder(QList<int> const& serversPerSite);

    // Steps of a connection cycle.
    void resetServers();
    void moveToNextServer();
    // Makes rotation entry `position` the current site and server; an entry that no longer
    // names a configured site or server leaves them as they were.
    void takeEntry(int position);
    bool needToMoveToNextServer(bool force) const;
    void initConnectionData();
    void resolveServerToUse();
    void setResolvedIps(QList<QHostAddress> const& addresses);
    void clearResolvedIPs();
    QString getResolvedIP() const;
    void updateHostnameByIp(QString const& ip);
    void openByIp();
    // Runs the rotation decision once the attempt has ended, after every signal of its end has
    // arrived: the socket reports a time-out after its disconnection, and some errors without one.
    void endAttempt();
    void decideRotation();
    // `delaySeconds` 0 retries at once, any other value draws the wait around that interval.
    void scheduleReconnect(int delaySeconds);

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

    // The delay the next reconnect uses: none after close() or a time-out, else the interval.
    int reconnectDelay() const { return m_retryAtOnce ? 0 : m_currentServer.m_reconnectInterval; }

    QString m_serverToUse;
    QDateTime m_connectStart;
    // Runs from the acceptance of the current session.
    QElapsedTimer m_sessionClock;
    ReconnectWait m_wait;
    VTServer m_currentServer;
    VTSite m_currentSite;
    bool m_connected = false;
    // Set by close() and a time-out; cleared when the rotation moves or the timer is started.
    bool m_retryAtOnce = false;
    // An attempt or session is under way whose end has not yet run the rotation decision.
    bool m_attemptLive = false;
    bool m_endQueued = false;
    QTimer* m_reconnectTimer = nullptr;
    // Bounds connecting and closing, which a silent peer would otherwise keep going for ever.
    QTimer* m_deadlineTimer = nullptr;
    QWebSocket* m_socket = nullptr;
    QList<index> m_serverIndexes;
    int m_currentIndex = 0;
    bool m_secure = false;
    QList<QSslCertificate> m_serverCerts;
    std::vector<QString> m_resolvedIps;
    bool m_serverChanged = false;
};
