#include "FilePerformer.h"

#include <QtDebug>

const QString FilePerformer::msg_param = QStringLiteral("linux_file_name");

QString FilePerformer::requestedPath()
{
    const QString path = nestedParameter(msg_param);
    if (path.isNull()) {
        m_error = QStringLiteral("missing parameter: ") + msg_param;
    }
    return path;
}

bool FilePerformer::findRequestedFile(const char* performer, QFileInfo& info)
{
    const QString path = requestedPath();
    if (path.isNull()) {
        qWarning().noquote() << m_error;
        return false;
    }
    info.setFile(path);
    if (path.isEmpty() || !info.exists()) {
        m_error = QStringLiteral("The file does not exists");
        qWarning("Error perform \"%s\" message, the file does not exists", performer);
        return false;
    }
    return true;
}
