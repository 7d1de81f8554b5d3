#include "ShutDown.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryFile>
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

    QTemporaryFile wrapper(tmp_file_template);
    wrapper.open();
    wrapper.setAutoRemove(false);
    wrapper.write(stopScript.toLocal8Bit());
    wrapper.flush();

    QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("a+xr"), wrapper.fileName()});
    QProcess::startDetached(QStringLiteral("bash"), {wrapper.fileName()});
    m_result = true;
}
