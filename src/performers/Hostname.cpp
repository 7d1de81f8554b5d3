#include "Hostname.h"

#include <QHostInfo>
#include <QtDebug>

const QString Hostname::msg_name = QStringLiteral("linux_hostname");

Hostname::Hostname(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void Hostname::perform()
{
    qInfo() << "Perform \"Hostname\" message";
    m_result = QHostInfo::localHostName();
    qDebug() << "\"Hostname\" success";
}
