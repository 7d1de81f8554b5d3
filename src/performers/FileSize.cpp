#include "FileSize.h"

#include <QtDebug>

const QString FileSize::msg_name = QStringLiteral("linux_file_size");

FileSize::FileSize(const QMap<QString, QVariant>& params)
    : FilePerformer(params, msg_name)
{
}

void FileSize::perform()
{
    qInfo() << "Perform \"FileSize\" message";
    QFileInfo info;
    if (!findRequestedFile("FileSize", info)) {
        return;
    }
    m_result = static_cast<qint64>(info.size());
    qDebug() << "\"FileSize\" success";
}
