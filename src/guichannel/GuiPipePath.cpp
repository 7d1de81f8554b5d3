#include "GuiPipePath.h"

#include <QDebug>
#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A user's directory tree can be deep and can change while it is removed: every step goes
// through descriptors (no path is resolved twice, no link followed), within a fixed budget.
const int kMaxDepth = 32;

bool removeEntry(int parentFd, const char* name, int depth, int& budget)
{
    if (--budget < 0)
        return false;
    if (unlinkat(parentFd, name, 0) == 0)
        return true;
    if ((errno != EISDIR && errno != EPERM) || depth >= kMaxDepth)
        return false;

    const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return false;
    }
    bool all = true;
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        all = removeEntry(fd, entry->d_name, depth + 1, budget) && all;
        if (budget < 0)
            break;
    }
    closedir(dir);
    return unlinkat(parentFd, name, AT_REMOVEDIR) == 0 && all;
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("directory");
    if (S_ISLNK(mode))
        return QStringLiteral("symbolic link");
    if (S_ISSOCK(mode))
        return QStringLiteral("socket");
    return QStringLiteral("file");
}

} // namespace

bool GuiPipePath::clear(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st = {};
    if (lstat(name.constData(), &st) != 0)
        return errno == ENOENT;

    if (!S_ISDIR(st.st_mode)) {
        if (unlink(name.constData()) != 0 && errno != ENOENT) {
            qCritical() << "Cannot remove the" << kindOf(st.st_mode) << "at" << path << ":" << std::strerror(errno);
            return false;
        }
        // A socket of our own is what a daemon that was killed leaves behind; anything else was put there.
        if (!S_ISSOCK(st.st_mode) || st.st_uid != geteuid()) {
            qWarning() << "Removed a" << kindOf(st.st_mode) << "owned by uid" << st.st_uid << "from the gui pipe path"
                       << path;
        }
        return true;
    }

    // The directory is moved aside first, so the path is free however long its removal takes.
    const QByteArray aside = name + ".removed-" + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    if (rename(name.constData(), aside.constData()) != 0) {
        qCritical() << "Cannot move the directory at" << path << "aside:" << std::strerror(errno);
        return false;
    }
    int budget = 10000;
    if (removeEntry(AT_FDCWD, aside.constData(), 0, budget)) {
        qWarning() << "Removed a directory owned by uid" << st.st_uid << "from the gui pipe path" << path;
    } else {
        qWarning() << "Moved a directory owned by uid" << st.st_uid << "from the gui pipe path" << path << "to"
                   << QFile::decodeName(aside) << "and could not remove all of it";
    }
    return true;
}
