#include "RunScript.h"

#include "performers/ScriptFile.h"

#include <QFileInfo>
#include <QtDebug>

const QString RunScript::msg_name = QStringLiteral("linux_run_script");

RunScript::RunScript(const QMap<QString, QVariant>& params)
    : ScriptPerformer(params, msg_name)
{
    ScriptFile::sweep(QFileInfo(tmp_file_template).absolutePath(), tmp_file_mask);
}

RunScript::~RunScript()
{
    stopThread();
}

void RunScript::perform()
{
    qInfo("Perform \"RunScript\" message");
    ScriptFile file(QStringLiteral("RunScript"), tmp_file_template);
    const bool written = file.open(clean_ld_library.toUtf8());

    if (!m_params.contains(msg_param_run_as_root)) {
        m_result = false;
        m_error = QStringLiteral("RunScript: Wrong JSON format unable to find script_interactive param");
        qWarning("Error perform \"RunScript\" message, wrong JSON format");
        return;
    }
    if (!m_params.contains(msg_param_run) && !m_params.contains(msg_param_download)) {
        m_result = false;
        m_error = QStringLiteral("RunScript: Wrong JSON format unable to find run_command or download_script param");
        qWarning("Error perform \"RunScript\" message, wrong JSON format unable to find run_command or "
                 "download_script param");
        return;
    }

    if (m_params.contains(msg_param_run)) {
        file.append(m_params.value(msg_param_run).toByteArray());
    } else {
        QString url = m_params.value(msg_param_download).toString();
        url.replace(QLatin1Char(' '), QLatin1String("%20"));
        QString error;
        if (!file.download(url, error)) {
            m_result = false;
            m_error = error;
            return;
        }
    }
    file.makeExecutable();

    const bool asRoot = m_params.value(msg_param_run_as_root).toBool();
    const ScriptFile::Command command = ScriptFile::command(
        file.fileName(), asRoot, asRoot ? m_params.value(msg_param_sudo_password).toString() : QString());
    // A file still open for writing cannot be executed ("Text file busy"), as sudo does.
    file.close();
    const bool started = written && file.startDetached(command);

    if (!started) {
        m_result = false;
        m_error = QStringLiteral("RunScript: process cannot be started");
        qWarning("Error perform \"RunScript\" message, process cannot be started");
        return;
    }
    // The background shell reads the file after this task has ended and removes it itself.
    file.setAutoRemove(false);
    qDebug("\"RunScript\" success");
    m_result = true;
}
