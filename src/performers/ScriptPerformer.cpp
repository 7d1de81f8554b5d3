#include "ScriptPerformer.h"

#include <QDir>

const QString ScriptPerformer::msg_param_run = QStringLiteral("run_command");
const QString ScriptPerformer::msg_param_download = QStringLiteral("download_script");
const QString ScriptPerformer::msg_param_run_as_root = QStringLiteral("run_as_root");
const QString ScriptPerformer::msg_param_sudo_password = QStringLiteral("sudo_password");
const QString ScriptPerformer::tmp_file_prefix = QStringLiteral("ot");
const QString ScriptPerformer::tmp_file_ext = QStringLiteral(".sh");
const QString ScriptPerformer::tmp_file_mask = tmp_file_prefix + "*" + tmp_file_ext;
QString ScriptPerformer::tmp_file_template = QDir::tempPath() + "/" + tmp_file_prefix + "XXXXXX" + tmp_file_ext;
const QString ScriptPerformer::clean_ld_library = QStringLiteral("LD_LIBRARY_PATH= ;\n");

ScriptPerformer::ScriptPerformer(const QMap<QString, QVariant>& params, QString name)
    : VTDetachedTask(params, std::move(name))
{
}
