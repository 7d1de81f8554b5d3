#include "FileSize.h"

#include <QFileInfo>
#include <QtDebug>

const QString FileSize::msg_name = QStringLiteral("linux_file_size");
const QString FileSize::msg_param = QStringLiteral("linux_file_name");

FileSize::FileSize(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void FileSize::perform()
{
    qInfo() << "Perform \"FileSize\" message";
    const QString path = nestedParameter(msg_param);
    if (path.isNull()) {
        m_error = QStringLiteral("missing parameter: ") + msg_param;
        qWarning().noquote() << m_error;
        return;
    }
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) {
        m_error = QStringLiteral("The file does not exists");
        qWarning() << "Error perform \"FileSize\" message, the file does not exists";
        return;
    }
    m_result = static_cast<qint64>(info.size());
    qDebug() << "\"FileSize\" success";
}
