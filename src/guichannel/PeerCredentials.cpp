#include "PeerCredentials.h"

#include <sys/socket.h>

PeerCredentials PeerCredentials::of(qintptr socketDescriptor)
{
    PeerCredentials peer;
    struct ucred cred = {};
    socklen_t length = sizeof cred;
    if (socketDescriptor < 0 || getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0
        || length != sizeof cred)
        return peer;
    peer.known = true;
    peer.pid = cred.pid;
    peer.uid = cred.uid;
    peer.gid = cred.gid;
    return peer;
}

QString PeerCredentials::describe() const
{
    if (!known)
        return QStringLiteral("unknown peer");
    return QStringLiteral("uid %1, pid %2").arg(uid).arg(pid);
}
