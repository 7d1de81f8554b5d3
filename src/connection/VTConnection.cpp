#include "VTConnection.h"

#include "connection/VerifyByOCSP.h"
#include "settings/DownloadTrust.h"
#include "settings/LocalCertificates.h"
#include "settings/VTSettings.h"

#include <QDebug>
#include <QHostInfo>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QSslCertificateExtension>
#include <QSslConfiguration>
#include <QSslKey>
#include <QUrl>

#include <algorithm>

int VTConnection::s_msPerReconnectSecond = 1000;
int VTConnection::s_shortSessionMs = 130000;
int VTConnection::s_connectTimeoutMs = 30000;
const quint64 VTConnection::s_maxIncomingBytes = 16 * 1024 * 1024;

namespace {

int siteCount()
{
    return VTSettings::instance()->siteCount();
}

// The same server described again, as a configuration from that server does: its run-time name
// carries over, so a session it drops soon after still counts against it.
bool sameEndpoint(VTServer const& a, VTServer const& b)
{
    return a.m_hostName == b.m_hostName && a.m_server == b.m_server && a.m_server2 == b.m_server2
        && a.m_port == b.m_port;
}

} // namespace

VTConnection::VTConnection(QObject* parent)
    : QObject(parent)
{
    resetServers();

    m_socket = new QWebSocket(QString(), QWebSocketProtocol::Version13, this);
    m_socket->setMaxAllowedIncomingFrameSize(s_maxIncomingBytes);
    m_socket->setMaxAllowedIncomingMessageSize(s_maxIncomingBytes);
    connect(m_socket, &QWebSocket::connected, this, &VTConnection::onConnected);
    connect(m_socket, &QWebSocket::disconnected, this, &VTConnection::onDisconnected);
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    connect(m_socket, &QWebSocket::errorOccurred, this, &VTConnection::onError);
#else
    // The signal's later name does not exist here yet; the old one is an overload of error().
    connect(m_socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, &VTConnection::onError);
#endif
    connect(m_socket, &QWebSocket::sslErrors, this, &VTConnection::onSslErrors);
    connect(m_socket, &QWebSocket::stateChanged, this, &VTConnection::onStateChanged);

    m_reconnectTimer = new QTimer(this);
    connect(m_reconnectTimer, &QTimer::timeout, this, &VTConnection::onReconnect);
    m_deadlineTimer = new QTimer(this);
    m_deadlineTimer->setSingleShot(true);
    connect(m_deadlineTimer, &QTimer::timeout, this, &VTConnection::onDeadline);

    qDebug() << "end VTConnection constructor";
}

VTConnection::~VTConnection()
{
    // The close below must not run the rotation or reach listeners of a half-destroyed object.
    disconnect(m_socket, nullptr, this, nullptr);
    m_socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

QList<VTConnection::index> VTConnection::buildRotationOrder(QList<int> const& serversPerSite)
{
    QList<index> all;
    for (int site = 0; site < serversPerSite.size(); ++site) {
        for (int server = 0; server < serversPerSite.at(site); ++server) {
            all.append(index(site, server));
        }
    }
    // The primary is retried between every other server, so the agent returns to it quickly.
    const index primary(0, 0);
    QList<index> order;
    for (int i = 0; i < all.size(); ++i) {
        order.append(all.at(i));
        if (all.at(i) != primary && i + 1 < all.size()) {
            order.append(primary);
        }
    }
    return order;
}

void VTConnection::resetServers()
{
    // Rebuilt from scratch: entries from an older configuration could name sites that are gone.
    QList<int> serversPerSite;
    const int sites = siteCount();
    for (int i = 0; i < sites; ++i) {
        VTSite site;
        serversPerSite.append(VTSettings::instance()->getSiteAt(i, site) ? site.m_servers.size() : 0);
    }
    m_serverIndexes = buildRotationOrder(serversPerSite);
    takeEntry(0);
}

void VTConnection::takeEntry(int position)
{
    // The servers may carry other addresses or certificates now; load them again on next open.
    m_serverChanged = true;
    m_retryAtOnce = false;
    if (position < 0 || position >= m_serverIndexes.size()) {
        return;
    }
    m_currentIndex = position;
    const index entry = m_serverIndexes.at(position);
    VTSite site;
    if (!VTSettings::instance()->getSiteAt(entry.first, site)) {
        return;
    }
    m_currentSite = site;
    VTServer server;
    if (m_currentSite.getServerAt(entry.second, server)) {
        if (sameEndpoint(server, m_currentServer)) {
            server.m_serverInUse = m_currentServer.m_serverInUse;
        }
        m_currentServer = server;
    }
}

void VTConnection::moveToNextServer()
{
    takeEntry(m_serverIndexes.isEmpty() ? 0 : (m_currentIndex + 1) % m_serverIndexes.size());
    if (m_currentIndex == 0) {
        m_wait.roundFailed(m_currentServer.m_reconnectInterval);
    }
}

bool VTConnection::open()
{
    const index entry = m_serverIndexes.value(m_currentIndex, index(0, 0));
    qDebug() << "Current server: site index [" << entry.first << "] server index [" << entry.second << "] host name ["
             << m_currentServer.m_hostName << "]";
    initConnectionData();
    if (!m_secure && !VTSettings::instance()->debug()) {
        qCritical() << "Unable to load certificate";
        // One bad entry must not keep the daemon from starting when another server is usable.
        if (!VTSettings::instance()->hasParsableCertificate()) {
            return false;
        }
        moveToNextServer();
        scheduleReconnect(reconnectDelay());
        return true;
    }
    setAuthIdentity();
    openByIp();
    return true;
}

void VTConnection::initConnectionData()
{
    m_connected = false;
    if (m_resolvedIps.empty() || m_serverChanged) {
        resolveServerToUse();
    }
    if (m_serverChanged) {
        qDebug() << "Loading server certificate(s)";
        m_serverCerts = QSslCertificate::fromData(m_currentServer.m_cert, QSsl::Pem);
        qDebug() << "Server certificates size: " << m_serverCerts.size();
        DownloadTrust::setServerCertificates(m_serverCerts);
        m_serverChanged = false;
        m_secure = !m_serverCerts.isEmpty();
    }
    setAuthIdentity();
}

void VTConnection::resolveServerToUse()
{
    clearResolvedIPs();
    const QString& name = m_currentServer.m_hostName;
    if (!name.isEmpty()) {
        const QHostInfo info = QHostInfo::fromName(name);
        if (info.addresses().isEmpty()) {
            qDebug() << "Hostname[" << name << "] is unresolvable";
        } else {
            setResolvedIps(info.addresses());
        }
    } else {
        qDebug() << "Hostname is missing";
    }
    if (m_resolvedIps.empty()) {
        if (!m_currentServer.m_server.isEmpty()) {
            m_resolvedIps.push_back(m_currentServer.m_server);
        }
        if (!m_currentServer.m_server2.isEmpty()) {
            m_resolvedIps.push_back(m_currentServer.m_server2);
        }
    }
}

void VTConnection::setResolvedIps(QList<QHostAddress> const& addresses)
{
    std::vector<QString> v6;
    for (const QHostAddress& address : addresses) {
        switch (address.protocol()) {
        case QAbstractSocket::IPv4Protocol:
            qDebug() << "IPv4 address[" << address.toString() << "] added to list";
            m_resolvedIps.push_back(address.toString());
            break;
        case QAbstractSocket::IPv6Protocol:
            qDebug() << "IPv6 address[" << address.toString() << "] added to list";
            v6.push_back(address.toString());
            break;
        default:
            qDebug() << "IP address[" << address.toString() << "] protocol["
                     << QMetaEnum::fromType<QAbstractSocket::NetworkLayerProtocol>().valueToKey(address.protocol())
                     << "] is unsupported";
            break;
        }
    }
    m_resolvedIps.insert(m_resolvedIps.end(), v6.begin(), v6.end());
}

void VTConnection::clearResolvedIPs()
{
    m_resolvedIps.clear();
}

QString VTConnection::getResolvedIP() const
{
    return m_resolvedIps.empty() ? QString() : m_resolvedIps.front();
}

void VTConnection::updateHostnameByIp(QString const& ip)
{
    const QString name = ip.isEmpty() ? QString() : QHostInfo::fromName(ip).hostName();
    m_serverToUse = name.isEmpty() ? ip : name;
    qDebug() << "serverInUse:" << m_currentServer.m_serverInUse << " serverToUse:" << m_serverToUse;
    if (m_currentServer.m_serverInUse.compare(m_serverToUse, Qt::CaseInsensitive) != 0) {
        m_currentServer.m_serverInUse = m_serverToUse;
        emit serverChanged();
    }
}

void VTConnection::openByIp()
{
    const QString ip = getResolvedIP();
    qDebug() << "Current server address [" << ip << "]";
    updateHostnameByIp(ip);

    QUrl url;
    url.setScheme(m_secure ? QStringLiteral("wss") : QStringLiteral("ws"));
    url.setHost(ip);
    url.setPort(m_currentServer.m_port);
    // A relative path makes the whole URL invalid, and the socket would refuse every attempt.
    const QString& resource = m_currentSite.m_resource;
    url.setPath(resource.startsWith('/') ? resource : QLatin1Char('/') + resource);
    qDebug() << "Connecting to server:" << url.toString();

    m_connectStart = QDateTime::currentDateTime();
    m_attemptLive = true;
    m_deadlineTimer->start(s_connectTimeoutMs);
    m_socket->open(url);
}

void VTConnection::onConnected()
{
    if (isValidPeersCertificateChain()) {
        qDebug() << "WebSocket connected";
        m_reconnectTimer->stop();
        m_deadlineTimer->stop();
        m_connected = true;
        m_sessionClock.start();
        emit connected();
    } else {
        qCritical() << "Invalid peer's certificate chain - close connection";
        close();
    }
}

void VTConnection::close()
{
    m_retryAtOnce = true;
    if (!m_attemptLive && m_reconnectTimer->isActive()) {
        // Nothing to close: the reconnect already waiting is the one asked for.
        scheduleReconnect(0);
    }
    m_socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
}

void VTConnection::onError(QAbstractSocket::SocketError error)
{
    qCritical().noquote() << QStringLiteral("The following error occurred: ") + m_socket->errorString() + "\n";
    if (error == QAbstractSocket::SocketTimeoutError) {
        m_retryAtOnce = true;
    }
    // Before the session is accepted every error ends the attempt, and some (an HTTP error
    // answer to the upgrade, a refused hand-shake) leave the socket open until the deadline.
    // Queued: the socket is still inside its own handling of the answer.
    if (m_attemptLive && !m_connected && m_socket->state() != QAbstractSocket::UnconnectedState) {
        QMetaObject::invokeMethod(
            this,
            [this]() {
                if (m_attemptLive && !m_connected && m_socket->state() != QAbstractSocket::UnconnectedState) {
                    m_socket->abort();
                    endAttempt();
                }
            },
            Qt::QueuedConnection);
    }
    // Some errors (an invalid URL, for one) end an attempt without any disconnection.
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        endAttempt();
    }
}

void VTConnection::onDisconnected()
{
    endAttempt();
}

void VTConnection::onStateChanged(QAbstractSocket::SocketState state)
{
    // A peer that stops reading keeps a closing socket waiting for ever for its unsent bytes.
    if (state == QAbstractSocket::ClosingState && !m_deadlineTimer->isActive()) {
        m_deadlineTimer->start(s_connectTimeoutMs);
    }
}

void VTConnection::onDeadline()
{
    if (!m_connected && m_socket->state() != QAbstractSocket::ClosingState) {
        qCritical().noquote() << QStringLiteral("The following error occurred: ")
                + QStringLiteral("Socket operation timed out") + "\n";
        m_retryAtOnce = true;
    } else {
        qCritical() << "Closing the connection timed out";
    }
    m_socket->abort();
    endAttempt();
}

void VTConnection::endAttempt()
{
    if (!m_attemptLive || m_endQueued) {
        return;
    }
    // Queued, so that an error the socket reports right after its disconnection is seen first.
    m_endQueued = true;
    QMetaObject::invokeMethod(this, &VTConnection::decideRotation, Qt::QueuedConnection);
}

void VTConnection::decideRotation()
{
    m_endQueued = false;
    if (!m_attemptLive) {
        return;
    }
    m_attemptLive = false;
    m_deadlineTimer->stop();
    qDebug() << "WebSocket disconnected";
    if (m_connected && m_sessionClock.elapsed() >= ReconnectWait::s_lastingSessionMs) {
        m_wait.sessionLasted(m_currentServer.m_reconnectInterval);
    }
    bool force = false;
    if (m_resolvedIps.empty()) {
        force = true;
    } else if (m_connected) {
        // Look the name up again next time: the server may have moved.
        clearResolvedIPs();
    } else {
        m_resolvedIps.erase(m_resolvedIps.begin());
        force = m_resolvedIps.empty();
    }
    if (needToMoveToNextServer(force)) {
        moveToNextServer();
        emit serverChanged();
    }
    scheduleReconnect(reconnectDelay());
    emit disconnected();
}

void VTConnection::scheduleReconnect(int delaySeconds)
{
    m_retryAtOnce = false;
    // A record that failed to load carries no interval of its own; never spin nor overflow.
    const int seconds = qBound(0, delaySeconds, VTServer::s_maxIntervalSeconds);
    // Drawn even when at once: a fleet told to reconnect together must not arrive together.
    m_reconnectTimer->start(seconds == 0 ? m_wait.drawImmediateMs() : m_wait.drawMs(seconds, s_msPerReconnectSecond));
}

bool VTConnection::needToMoveToNextServer(bool force) const
{
    if (force) {
        return true;
    }
    const qint64 elapsed = m_connectStart.msecsTo(QDateTime::currentDateTime());
    // A session this side closed (redirect, site skipped, new client certificate hint) is no
    // failure of the server.
    return m_connected && !m_retryAtOnce && elapsed < s_shortSessionMs
        && m_currentServer.m_serverInUse == m_serverToUse;
}

void VTConnection::onReconnect()
{
    qInfo() << "Reconnecting...";
    m_reconnectTimer->stop();
    m_socket->close(QWebSocketProtocol::CloseCodeNormal, QString());
    if (!open()) {
        // One server whose certificate cannot be loaded must not end reconnection for good:
        // the others in the rotation may be fine, and a later configuration may mend this one.
        moveToNextServer();
        scheduleReconnect(reconnectDelay());
    }
}

void VTConnection::redirect(VTServer const& server)
{
    m_currentServer = server;
    emit serverChanged();
    m_serverChanged = true;
    close();
}

void VTConnection::skipSite()
{
    if (siteCount() < 2) {
        qCritical() << "This is a foreign site, but there's just one site configured";
        return;
    }
    qCritical() << "This is a foreign site, move to next one";
    const int site = m_serverIndexes.value(m_currentIndex, index(0, 0)).first;
    // Bounded by the order's length, so a rotation that holds only this site cannot loop forever.
    for (int i = 0; i < m_serverIndexes.size(); ++i) {
        moveToNextServer();
        if (m_serverIndexes.at(m_currentIndex).first != site) {
            break;
        }
    }
    close();
}

void VTConnection::onSettingsChanged()
{
    const QString previousOid = m_currentSite.m_clientAuthOid;
    resetServers();
    if (m_currentSite.m_clientAuthOid != previousOid) {
        qDebug() << "connected with a different client certificate oid hint - reconnecting";
        close();
    }
}

// ---- TLS identity and peer validation ----

void VTConnection::resetAuthIdentity()
{
    m_socket->setSslConfiguration(QSslConfiguration::defaultConfiguration());
}

void VTConnection::setClientAuthIdentity()
{
    qDebug() << "Setting client certificate and private key";
    QList<QSslCertificate> certs;
    if (!getLocalCert(certs)) {
        qDebug() << "Can't get local certificate";
        return;
    }
    QSslKey key;
    if (!getPrivateKey(key)) {
        qDebug() << "Can't get private key";
        return;
    }
    if (certs.size() > 1) {
        // A root the server already trusts only bloats the handshake and may confuse its check.
        certs.erase(
            std::remove_if(certs.begin(), certs.end(), [](const QSslCertificate& cert) { return cert.isSelfSigned(); }),
            certs.end());
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificateChain(certs);
    tls.setPrivateKey(key);
    m_socket->setSslConfiguration(tls);
}

void VTConnection::setAuthIdentity()
{
    resetAuthIdentity();
    setClientAuthIdentity();
    if (m_secure) {
        QSslConfiguration tls = m_socket->sslConfiguration();
        tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
        // Only the server's own pinned certificates are trusted, never the system store.
        tls.setCaCertificates(m_serverCerts);
        m_socket->setSslConfiguration(tls);
    }
}

void VTConnection::onSslErrors(QList<QSslError> const& errors)
{
    bool onlyNameMismatch = true;
    for (const QSslError& error : errors) {
        if (error.error() == QSslError::HostNameMismatch) {
            // The socket connects to an address; the name is checked against the reverse lookup.
            qDebug() << "Hostname validation will be done manualy";
        } else {
            onlyNameMismatch = false;
            qCritical().noquote() << QStringLiteral("SSL error (") + QString::number(int(error.error()))
                    + QStringLiteral("): ") + error.errorString();
        }
    }
    if (onlyNameMismatch) {
        m_socket->ignoreSslErrors();
    }
}

bool VTConnection::isValidPeersCertificateChain()
{
    if (!m_secure) {
        return true;
    }
    const QSslCertificate peer = m_socket->sslConfiguration().peerCertificate();
    if (peer.isNull()) {
        qCritical() << "Failed to get peer's certificate";
        return false;
    }
    if (!isValidCertName(peer)) {
        return false;
    }
    if (m_currentServer.m_revocationMethod.compare(QLatin1String("ocsp"), Qt::CaseInsensitive) == 0) {
        return isValidByOCSP(m_currentServer.m_ocspMode);
    }
    qDebug() << "revocation method is not ocsp so assume not revoked";
    return true;
}

bool VTConnection::isValidCertName(QSslCertificate const& cert)
{
    const QString host = m_serverToUse;
    if (isCertExtensionExists(cert, QStringLiteral("subjectAltName"))) {
        const QStringList dns = cert.subjectAlternativeNames().values(QSsl::DnsEntry);
        if (!dns.isEmpty()) {
            if (isValidDnsSan(dns, host)) {
                return true;
            }
            qCritical() << "Hostname does not match the SAN";
            return false;
        }
        const QStringList ips = getSanIpEntries(cert);
        if (!ips.isEmpty()) {
            if (isValidIpSan(ips)) {
                return true;
            }
            qCritical() << "IP does not match the SAN";
            return false;
        }
    }
    if (cert.isSelfSigned()) {
        return true;
    }
    if (isValidCn(cert, host)) {
        return true;
    }
    qCritical() << "Hostname does not match the CN";
    return false;
}

bool VTConnection::isCertExtensionExists(QSslCertificate const& cert, QString const& name)
{
    for (const QSslCertificateExtension& extension : cert.extensions()) {
        if (extension.name().compare(name, Qt::CaseInsensitive) == 0) {
            qDebug() << "SAN extension exists";
            return true;
        }
    }
    qDebug() << "SAN extension does NOT exist";
    return false;
}

bool VTConnection::isValidDnsSan(QStringList const& names, QString const& host)
{
    for (const QString& name : names) {
        if (isValidName(name, host)) {
            qDebug() << "Hostname matched the SAN DNS entry";
            return true;
        }
    }
    qDebug() << "Hostname mismatched the SAN DNS entry";
    return false;
}

QStringList VTConnection::getSanIpEntries(QSslCertificate const& cert)
{
    static const QRegularExpression blockSplit(QStringLiteral("\\s*X509v\\d+(\\.\\d+)?\\s*"),
                                               QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression sanBlock(QStringLiteral("^Subject Alternative Name:"),
                                             QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression ipEntry(QStringLiteral("IP Address:\\d+\\.\\d+\\.\\d+\\.\\d+[^\\d]?"),
                                            QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression ipClean(QStringLiteral("(^IP Address:|[\\s,\\n]$)"),
                                            QRegularExpression::CaseInsensitiveOption);

    QStringList entries;
    const QStringList blocks = cert.toText().split(blockSplit, Qt::SkipEmptyParts);
    for (const QString& block : blocks) {
        if (!sanBlock.match(block).hasMatch()) {
            continue;
        }
        QRegularExpressionMatchIterator it = ipEntry.globalMatch(block);
        while (it.hasNext()) {
            entries.append(it.next().captured(0).remove(ipClean));
        }
    }
    qDebug() << "SAN IP Entries[" << entries << "]";
    return entries;
}

bool VTConnection::isValidIpSan(QStringList const& entries)
{
    const QString peer = m_socket->peerAddress().toString();
    qDebug() << "Peer Address[" << peer << "]";
    for (const QString& entry : entries) {
        if (entry.compare(peer, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    qCritical() << "IP is not matched the SAN";
    return false;
}

bool VTConnection::isValidCn(QSslCertificate const& cert, QString const& host)
{
    const QStringList names = cert.subjectInfo(QSslCertificate::CommonName);
    for (const QString& name : names) {
        if (isValidName(name, host)) {
            return true;
        }
    }
    return false;
}

bool VTConnection::isValidName(QString name, QString const& host)
{
    static const QRegularExpression trim(QStringLiteral("(^\\s+|\\s+$)"));
    static const QRegularExpression wildcard(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(QStringLiteral("*")) + QStringLiteral("(..+)")));

    name.remove(trim);
    bool result = false;
    const QRegularExpressionMatch match = wildcard.match(name);
    if (match.hasMatch()) {
        // The star stands for exactly one label: no dots, so a.b.example.test is refused.
        const QRegularExpression hostPattern(
            QRegularExpression::anchoredPattern(QStringLiteral("[a-zA-Z0-9_-]+(")
                                                + QRegularExpression::escape(match.captured(1)) + QStringLiteral(")")),
            QRegularExpression::CaseInsensitiveOption);
        result = hostPattern.match(host).hasMatch();
    } else {
        result = name.compare(host, Qt::CaseInsensitive) == 0;
    }
    qDebug() << "name[" << name << "] hostName[" << host << "] retVal[" << (result ? "true" : "false") << "]";
    return result;
}

bool VTConnection::isValidByOCSP(int mode)
{
    const QList<QSslCertificate> chain = m_socket->sslConfiguration().peerCertificateChain();
    if (chain.isEmpty()) {
        qCritical() << "Failed to get peer's certificate chain";
        return false;
    }
    if (!VerifyByOCSP::isChainRevoked(chain, mode)) {
        return true;
    }
    qCritical() << "Peer's certificate chain not approved by OCSP";
    return false;
}
