#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// A short script handed to a shell that lives on outside this process: the stop script's
// wrapper, and the tray's browser and alert commands.
class DetachedScript
{
public:
    // Writes `body` into a new file made from `fileTemplate`, readable and runnable by its owner
    // only, and starts `shell` on it in the background. The file removes itself once the shell
    // has ended.
    static bool launch(const QString& fileTemplate, const QByteArray& body, const QString& shell);

    // The arguments of "sh" that run `program` with `arguments`, then remove `file` whatever the
    // outcome, and end with the program's status: a script file never outlives its run, even when
    // nothing of ours is left to watch it.
    static QStringList removingAfter(const QString& file, const QString& program, const QStringList& arguments);

    // Owner only: whoever made the file is the one who runs it, or root through sudo, and a
    // script may carry what other users must not read.
    static bool makePrivateExecutable(const QString& file);

    DetachedScript() = delete;
};
