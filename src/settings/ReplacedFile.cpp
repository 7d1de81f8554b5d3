#include "ReplacedFile.h"

#include <QFile>
#include <QTemporaryFile>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

bool ReplacedFile::write(const QString& path, mode_t mode, const std::function<bool(QIODevice&)>& fill)
{
    // Created 0600 by QTemporaryFile, so a secret is never readable by others in between; a wider
    // mode is given only once the content is complete.
    QTemporaryFile file(path + ".XXXXXX");
    if (!file.open()) {
        return false;
    }
    if (!fill(file) || !file.flush() || ::fsync(file.handle()) != 0 || ::fchmod(file.handle(), mode) != 0) {
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
