#include "VTVersion.h"

#include <QCoreApplication>
#include <QtDebug>

const QString VTVersion::msg_name = QStringLiteral("linux_vt_version");

VTVersion::VTVersion(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void VTVersion::perform()
{
    qInfo() << "Perform \"VTVersion\" message";
    const QString version = QCoreApplication::applicationVersion();
    const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    m_result = parts.size() < 3 ? version : parts.at(0) + QLatin1Char('.') + parts.at(1);
    qDebug() << "\"VTVersion\" success";
}
