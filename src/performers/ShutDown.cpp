#include "ShutDown.h"

#include "tasks/DetachedScript.h"

#include <QCoreApplication>
#include <QDir>
#include <QtDebug>

const QString ShutDown::msg_name = QStringLiteral("agent_shut_down");
QString ShutDown::tmp_file_template = QDir::tempPath() + "/ot_" + "XXXXXX" + ".sh";

ShutDown::ShutDown(const QMap<QString, QVariant>& params)
    : VTAttachedTask(params, msg_name)
{
}

void ShutDown::perform()
{
    qInfo("Perform \"Agent shut down\" message");
    const QString stopScript = QCoreApplication::applicationDirPath() + "/stopVt.sh";
    DetachedScript::launch(tmp_file_template, stopScript.toLocal8Bit(), QStringLiteral("bash"));
    // The stop script ends this process, so nothing waits to see whether it started.
    m_result = true;
}
