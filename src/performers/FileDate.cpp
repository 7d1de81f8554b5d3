#include "FileDate.h"

#include <QDateTime>
#include <QtDebug>

const QString FileDate::msg_name = QStringLiteral("linux_file_date");

FileDate::FileDate(const QMap<QString, QVariant>& params)
    : FilePerformer(params, msg_name)
{
}

void FileDate::perform()
{
    qInfo() << "Perform \"FileDate\" message";
    QFileInfo info;
    if (!findRequestedFile("FileDate", info)) {
        return;
    }
    m_result = static_cast<quint32>(info.lastModified().toSecsSinceEpoch());
    qDebug() << "\"FileDate\" success";
}
