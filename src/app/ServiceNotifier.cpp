#include "ServiceNotifier.h"

#include <QDebug>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The manager's variable, read once and removed at once.
QByteArray take(const char* name)
{
    const QByteArray value = qgetenv(name);
    qunsetenv(name);
    return value;
}

} // namespace

ServiceNotifier::ServiceNotifier(QObject* parent)
    : QObject(parent)
{
    const QByteArray socketPath = take("NOTIFY_SOCKET");
    const QByteArray watchdogUsec = take("WATCHDOG_USEC");
    const QByteArray watchdogPid = take("WATCHDOG_PID");

    // Only a path or an abstract name fits the datagram protocol; anything else is not ours to try.
    if ((socketPath.startsWith('/') || socketPath.startsWith('@')) && socketPath.size() >= 2
        && size_t(socketPath.size()) <= sizeof(sockaddr_un::sun_path)) {
        m_socketPath = socketPath;
    }
    bool ok = false;
    const qulonglong usec = watchdogUsec.toULongLong(&ok);
    // A watchdog meant for another process (a wrapper that started us) is not ours to feed.
    const bool forUs = watchdogPid.isEmpty() || watchdogPid.toLongLong() == qlonglong(getpid());
    if (isActive() && ok && usec > 0 && forUs) {
        m_heartbeatMs = int(qBound<qulonglong>(1, usec / 2000, INT_MAX));
    }
}

void ServiceNotifier::notifyReady()
{
    if (!isActive()) {
        return;
    }
    send("READY=1");
    if (m_heartbeatMs > 0 && !m_heartbeat) {
        // On the main thread's event loop on purpose: a loop that stops turning stops the messages.
        m_heartbeat = new QTimer(this);
        connect(m_heartbeat, &QTimer::timeout, this, &ServiceNotifier::onHeartbeat);
        m_heartbeat->start(m_heartbeatMs);
        onHeartbeat();
    }
}

void ServiceNotifier::onHeartbeat()
{
    send("WATCHDOG=1");
}

bool ServiceNotifier::send(QByteArray const& state)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_socketPath.constData(), size_t(m_socketPath.size()));
    socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(m_socketPath.size()));
    if (address.sun_path[0] == '@') {
        // An abstract name: a leading zero byte, and no terminating one counted.
        address.sun_path[0] = '\0';
    }
    // A fresh socket per message: nothing stays open for a child to inherit, and a manager that
    // re-executed itself is reached at its new socket.
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ssize_t sent = -1;
    if (fd >= 0) {
        sent = ::sendto(fd, state.constData(), size_t(state.size()), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), length);
    }
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    const bool ok = sent == ssize_t(state.size());
    // Once per change, not at every heartbeat of a long failure.
    if (!ok && m_lastSendOk) {
        qWarning() << "Cannot notify the service manager:" << std::strerror(error);
    }
    m_lastSendOk = ok;
    return ok;
}
