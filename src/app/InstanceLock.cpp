#include "InstanceLock.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const QString InstanceLock::s_directory = QStringLiteral("/run/ostrelle-vantorel");
const QString InstanceLock::s_fileName = QStringLiteral("instance.lock");

namespace {

// Only root may have made it or be able to change it; anything else could be swapped under us.
bool isRootsAlone(int fd, bool directory)
{
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || status.st_uid != 0 || (status.st_mode & 022) != 0) {
        return false;
    }
    return directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode);
}

InstanceLock::eResult failed(const char* what, int error)
{
    qCritical().noquote() << "Cannot take the instance lock"
                          << InstanceLock::s_directory + "/" + InstanceLock::s_fileName << ":" << what
                          << QString::fromLocal8Bit(std::strerror(error));
    return InstanceLock::eFailed;
}

} // namespace

InstanceLock::~InstanceLock()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

InstanceLock::eResult InstanceLock::take()
{
    if (m_fd >= 0) {
        return eTaken;
    }
    const QByteArray directory = QFile::encodeName(s_directory);
    if (::mkdir(directory.constData(), 0700) != 0 && errno != EEXIST) {
        return failed("mkdir", errno);
    }
    const int dirFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return failed("open directory", errno);
    }
    if (!isRootsAlone(dirFd, true)) {
        ::close(dirFd);
        return failed("directory not root's alone", EPERM);
    }
    // Close-on-exec: a script the daemon leaves running (the exit or update script) must not keep
    // holding the lock and so refuse the daemon that script starts.
    const int fd = ::openat(dirFd, QFile::encodeName(s_fileName).constData(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    const int openError = errno;
    ::close(dirFd);
    if (fd < 0) {
        return failed("open", openError);
    }
    if (!isRootsAlone(fd, false)) {
        ::close(fd);
        return failed("file not root's alone", EPERM);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? eHeld : failed("flock", error);
    }
    m_fd = fd;
    return eTaken;
}
