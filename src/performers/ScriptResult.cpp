#include "ScriptResult.h"

#include "performers/ScriptFile.h"
#include "tasks/BoundedProcess.h"

#include <QtDebug>

const QString ScriptResult::msg_name = QStringLiteral("linux_script_result");

int ScriptResult::s_runTimeoutMs = 30000;
const qint64 ScriptResult::s_maxOutputBytes = 1024 * 1024;

ScriptResult::ScriptResult(const QMap<QString, QVariant>& params)
    : ScriptPerformer(params, msg_name)
{
}

ScriptResult::~ScriptResult()
{
    stopThread();
}

void ScriptResult::perform()
{
    qInfo("Perform \"ScriptResult\" message");
    if (!m_params.contains(msg_param_run) && !m_params.contains(msg_param_download)) {
        m_error = "missing param " + msg_param_run + "," + msg_param_download;
        qWarning().noquote() << m_error;
        return;
    }

    ScriptFile file(QStringLiteral("ScriptResult"), tmp_file_template);
    const bool written = file.open(clean_ld_library.toUtf8());
    if (m_params.contains(msg_param_run)) {
        file.append(m_params.value(msg_param_run).toByteArray());
    } else {
        QString error;
        if (!file.download(m_params.value(msg_param_download).toString(), error)) {
            m_error = error;
            return;
        }
    }
    file.makeExecutable();
    // A file still open for writing cannot be executed ("Text file busy"), as sudo does.
    file.close();

    const bool asRoot = m_params.value(msg_param_run_as_root, false).toBool();
    const ScriptFile::Command command = ScriptFile::command(
        file.fileName(), asRoot, asRoot ? m_params.value(msg_param_sudo_password).toString() : QString());

    BoundedProcess::Result run;
    if (written) {
        BoundedProcess::Options options;
        options.input = command.input;
        options.maxOutputBytes = s_maxOutputBytes;
        run = BoundedProcess::run(command.program, command.arguments, s_runTimeoutMs, options);
    }
    m_result = QString::fromUtf8(run.output);
    if (run.truncated) {
        // The answer says so itself: a server must not take a cut output for the whole.
        qWarning("\"ScriptResult\" output cut at %lld bytes", s_maxOutputBytes);
        m_result = m_result.toString() + QStringLiteral("\n[output cut at %1 bytes]").arg(s_maxOutputBytes);
    }

    if (run.inputRefused) {
        m_error = QStringLiteral("ScriptResult: the process asks user input");
        qWarning("Error perform \"ScriptResult\": the process asks user input");
        return;
    }
    if (!run.started) {
        m_error = QStringLiteral("ScriptResult: process cannot be started");
        qWarning("Error perform \"ScriptResult\" message, process cannot be started");
    } else if (run.timedOut) {
        // A script stopped at the time limit answers with what it printed by then.
    } else if (run.crashed) {
        m_error = QStringLiteral("ScriptResult: process crashes");
        qWarning("Error perform \"ScriptResult\" message, process crashes");
    } else if (run.exitCode != 0) {
        m_error = QStringLiteral("ScriptResult: Some error occurs, exitcode: ") + QString::number(run.exitCode);
        qWarning("Error perform \"ScriptResult\" message, some error occurs, exitcode: %d, ", run.exitCode);
    } else {
        qDebug("\"ScriptResult\" success");
    }
}
