#pragma once

#include <QString>
#include <QtGlobal>

// Who is at the other end of a connected local socket, as the kernel recorded it when the
// connection was made (the listener for a client, the connecting process for a server).
struct PeerCredentials
{
    bool known = false;
    qint64 pid = -1;
    uint uid = 0;
    uint gid = 0;

    static PeerCredentials of(qintptr socketDescriptor);
    // "uid 1000, pid 4242", or "unknown peer", for log lines.
    QString describe() const;
};
