#pragma once

#include "tasks/VTDetachedTask.h"

#include <QMap>
#include <QString>
#include <QVariant>

// Runs a script sent inline or by URL, waits for it and answers with its standard output.
class ScriptResult : public VTDetachedTask
{
    Q_OBJECT

public:
    explicit ScriptResult(const QMap<QString, QVariant>& params);

    ~ScriptResult() override;

    void perform() override;

    static const QString msg_name;
    static const QString msg_param_run;
    static const QString msg_param_download;
    static const QString msg_param_run_as_root;
    static const QString msg_param_sudo_password;
    static const QString tmp_file_prefix;
    static const QString tmp_file_ext;
    static const QString tmp_file_mask;
    static QString tmp_file_template;
    static const QString clean_ld_library;

    static int s_runTimeoutMs;
    // What an answer carries of a script's output; the rest is dropped.
    static const qint64 s_maxOutputBytes;
};
