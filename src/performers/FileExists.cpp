#include "FileExists.h"

#include <QFileInfo>
#include <QtDebug>

const QString FileExists::msg_name = QStringLiteral("linux_file_exists");

FileExists::FileExists(const QMap<QString, QVariant>& params)
    : FilePerformer(params, msg_name)
{
}

void FileExists::perform()
{
    qInfo() << "Perform \"FileExists\" message";
    const QString path = requestedPath();
    if (path.isNull()) {
        qWarning() << "Error perform \"FileExists\" message, wrong JSON format";
        return;
    }
    // An empty path names no file: the answer is false, not an error.
    m_result = !path.isEmpty() && QFileInfo::exists(path);
    qDebug() << "\"FileExists\" success";
}
