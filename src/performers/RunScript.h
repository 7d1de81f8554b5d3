#pragma once

#include "tasks/VTDetachedTask.h"

#include <QMap>
#include <QString>
#include <QVariant>

// Starts a script sent inline or by URL in the background and answers once it is launched.
class RunScript : public VTDetachedTask
{
    Q_OBJECT

public:
    // Removes the script files of earlier launches that are no longer in use.
    explicit RunScript(const QMap<QString, QVariant>& params);

    ~RunScript() override;

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
};
