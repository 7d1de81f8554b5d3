#include "DetachedScript.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <QtDebug>

const QFileDevice::Permissions DetachedScript::s_readAndRunByAll = QFileDevice::ReadOwner | QFileDevice::ExeOwner
    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

bool DetachedScript::launch(const QString& fileTemplate, const QByteArray& body, const QString& shell)
{
    QTemporaryFile file(fileTemplate);
    if (!file.open()) {
        qWarning() << "Unable to create script file" << file.fileTemplate();
        return false;
    }
    file.setAutoRemove(false);
    const bool written = file.write(body) == body.size() && file.flush();
    const QString path = file.fileName();
    file.close();
    // Set directly rather than through chmod: no child process to wait for.
    if (!written || !QFile::setPermissions(path, QFile::permissions(path) | s_readAndRunByAll)) {
        qWarning() << "Unable to write script file" << path;
        QFile::remove(path);
        return false;
    }
    return QProcess::startDetached(shell, {path});
}
