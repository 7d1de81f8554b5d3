#include "DetachedScript.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <QtDebug>

bool DetachedScript::launch(const QString& fileTemplate, const QByteArray& body, const QString& shell)
{
    // Created 0600, so the body is never readable by others, not even before the mode is set.
    QTemporaryFile file(fileTemplate);
    if (!file.open()) {
        qWarning() << "Unable to create script file" << file.fileTemplate();
        return false;
    }
    file.setAutoRemove(false);
    const bool written = file.write(body) == body.size() && file.flush();
    const QString path = file.fileName();
    file.close();
    if (!written || !makePrivateExecutable(path)) {
        qWarning() << "Unable to write script file" << path;
        QFile::remove(path);
        return false;
    }
    if (!QProcess::startDetached(QStringLiteral("sh"), removingAfter(path, shell, {path}))) {
        QFile::remove(path);
        return false;
    }
    return true;
}

QStringList DetachedScript::removingAfter(const QString& file, const QString& program, const QStringList& arguments)
{
    // The names travel as positional parameters, never inside the shell's text.
    return QStringList {QStringLiteral("-c"), QStringLiteral("\"$@\"; status=$?; rm -f -- \"$0\"; exit $status"), file,
                        program}
    + arguments;
}

bool DetachedScript::makePrivateExecutable(const QString& file)
{
    // Set directly rather than through chmod: no child process to wait for.
    return QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
