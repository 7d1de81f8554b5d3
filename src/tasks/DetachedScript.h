#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QString>

// A short script handed to a shell that lives on outside this process: the stop script's
// wrapper, and the tray's browser and alert commands.
class DetachedScript
{
public:
    // Writes `body` into a new file made from `fileTemplate`, makes it readable and executable by
    // everyone and starts `shell` on it in the background. The file is left behind on purpose:
    // the shell reads it after this returns.
    static bool launch(const QString& fileTemplate, const QByteArray& body, const QString& shell);

    // What "chmod a+rx" adds: a script run as another user or through sudo must be readable.
    static const QFileDevice::Permissions s_readAndRunByAll;

    DetachedScript() = delete;
};
