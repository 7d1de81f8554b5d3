#pragma once

#include <QIODevice>
#include <QString>

#include <functional>
#include <sys/types.h>

// Replaces a file whole: the new content is written beside the target under a temporary name
// that is private to root from its creation, given its final mode, flushed to disk and renamed
// over the target. Readers see the old content or the new, and never a mode wider than asked,
// whatever the mode or owner of the file it replaces.
class ReplacedFile
{
public:
    // False when `fill` fails or the file cannot be written; the target is then left as it was.
    static bool write(const QString& path, mode_t mode, const std::function<bool(QIODevice&)>& fill);
};
