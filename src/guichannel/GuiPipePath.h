#pragma once

#include <QString>

// Frees the well-known pipe path before the daemon listens there. /tmp is writable by every
// user, so whatever sits at the path (a stale socket, or a file, directory or link someone put
// there) is removed without following any link.
class GuiPipePath
{
public:
    // True when nothing is left at `path`.
    static bool clear(const QString& path);
};
