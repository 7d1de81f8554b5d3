#include "LogFileAppender.h"

#include "LogSetup.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <log4cxx/rolling/triggeringpolicy.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

gid_t logGroup()
{
    const group* adm = ::getgrnam("adm");
    return adm ? adm->gr_gid : 0;
}

// Never through a link, and only a process running as root hands the file to root and adm.
void narrow(int fd, mode_t mode)
{
    if (::geteuid() == 0) {
        if (::fchown(fd, 0, logGroup()) != 0) {
            return;
        }
    }
    ::fchmod(fd, mode);
}

void narrowFile(int dirFd, const QByteArray& name, int flags)
{
    const int fd = ::openat(dirFd, name.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | flags, 0640);
    if (fd < 0) {
        return;
    }
    struct stat status = {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        narrow(fd, 0640);
    }
    ::close(fd);
}

} // namespace

void LogFileAppender::prepare(const QString& path)
{
    const QFileInfo file(path);
    const QByteArray directory = QFile::encodeName(file.absolutePath());
    ::mkdir(directory.constData(), 0750);
    const int dirFd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        return;
    }
    narrow(dirFd, 0750);
    const QByteArray name = QFile::encodeName(file.fileName());
    narrowFile(dirFd, name, O_CREAT | O_APPEND);
    for (int backup = 1; backup <= LogSetup::s_maxBackupIndex; ++backup) {
        narrowFile(dirFd, name + "." + QByteArray::number(backup), 0);
    }
    ::close(dirFd);
}

void LogFileAppender::subAppend(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool& pool)
{
    // Asked as the library asks it, just before it would roll; the size policy only compares.
    const log4cxx::rolling::TriggeringPolicyPtr policy = getTriggeringPolicy();
    const bool rolls = policy && policy->isTriggeringEvent(this, event, getFile(), getFileLength());
    RollingFileAppender::subAppend(event, pool);
    // The library starts the new file with the process's default mode.
    if (rolls) {
        const QByteArray path = QFile::encodeName(QString::fromStdString(getFile()));
        const int fd = ::open(path.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            narrow(fd, 0640);
            ::close(fd);
        }
    }
}
