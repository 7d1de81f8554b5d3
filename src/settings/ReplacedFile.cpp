#include "ReplacedFile.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryFile>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether `path` is already a regular file of ours with exactly this mode and content. The daemon
// rewrites its files at every start; skipping an identical rewrite spares the wait for the disk.
bool alreadyHolds(const QString& path, mode_t mode, const QByteArray& content)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    QFile file;
    struct stat status = {};
    const bool same = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == ::geteuid()
        && status.st_gid == ::getegid() && (status.st_mode & 07777) == mode && status.st_size == content.size()
        && file.open(fd, QIODevice::ReadOnly) && file.readAll() == content;
    file.close();
    ::close(fd);
    return same;
}

} // namespace

bool ReplacedFile::write(const QString& path, mode_t mode, const std::function<bool(QIODevice&)>& fill)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    if (!fill(buffer)) {
        return false;
    }
    if (alreadyHolds(path, mode, buffer.data())) {
        return true;
    }
    // Created 0600 by QTemporaryFile, so a secret is never readable by others in between; a wider
    // mode is given only once the content is complete.
    QTemporaryFile file(path + ".XXXXXX");
    if (!file.open()) {
        return false;
    }
    if (file.write(buffer.data()) != buffer.data().size() || !file.flush() || ::fsync(file.handle()) != 0
        || ::fchmod(file.handle(), mode) != 0) {
        return false;
    }
    file.close();
    // rename(2) replaces a link or a file at the target itself, never what a link points to.
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0) {
        return false;
    }
    file.setAutoRemove(false);
    return true;
}
