#include "FileExists.h"

#include <QFileInfo>
#include <QtDebug>

const QString FileExists::msg_name = QStringLiteral("linux_file_exists");
const QString FileExists::msg_param = QStringLiteral("linux_file_name");

FileExists::FileExists(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void FileExists::perform()
{
    qInfo() << "Perform \"FileExists\" message";
    const QString path = nestedParameter(msg_param);
    if (path.isNull()) {
        m_error = QStringLiteral("missing parameter: ") + msg_param;
        qWarning() << "Error perform \"FileExists\" message, wrong JSON format";
        return;
    }
    // An empty path names no file: the answer is false, not an error.
    m_result = !path.isEmpty() && QFileInfo::exists(path);
    qDebug() << "\"FileExists\" success";
}
