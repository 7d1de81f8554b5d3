#include "FileDate.h"

#include <QDateTime>
#include <QFileInfo>
#include <QtDebug>

const QString FileDate::msg_name = QStringLiteral("linux_file_date");
const QString FileDate::msg_param = QStringLiteral("linux_file_name");

FileDate::FileDate(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void FileDate::perform()
{
    qInfo() << "Perform \"FileDate\" message";
    const QString path = nestedParameter(msg_param);
    if (path.isNull()) {
        m_error = QStringLiteral("missing parameter: ") + msg_param;
        qWarning().noquote() << m_error;
        return;
    }
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists()) {
        m_error = QStringLiteral("The file does not exists");
        qWarning() << "Error perform \"FileDate\" message, the file does not exists";
        return;
    }
    m_result = static_cast<quint32>(info.lastModified().toSecsSinceEpoch());
    qDebug() << "\"FileDate\" success";
}
