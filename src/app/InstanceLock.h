#pragma once

#include <QString>

// The single-instance guard of the daemon and the local mode: an exclusive flock on a file in a
// directory that only root can create or write, held for the life of the process. The kernel
// frees it when its holder dies, however it dies, and nothing a local user can create (a file or
// link elsewhere, a System V object) has any bearing on it.
class InstanceLock
{
public:
    enum eResult
    {
        eTaken,
        // Another live daemon or local-mode process holds it.
        eHeld,
        // The lock could not be reached safely; the reason is logged.
        eFailed
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    eResult take();

    // One per machine, like the service it guards. /run is root's and empty at every boot.
    static const QString s_directory;
    static const QString s_fileName;

private:
    int m_fd = -1;
};
