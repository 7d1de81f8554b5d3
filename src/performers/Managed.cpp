#include "Managed.h"

#include <QtDebug>

const QString Managed::msg_name = QStringLiteral("linux_manage");

Managed::Managed(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void Managed::perform()
{
    qInfo() << "Perform \"Manage\" message";
    // A running agent is by definition one the server manages.
    m_result = QVariant(true).toString();
    qDebug() << "\"Manage\" success";
}
