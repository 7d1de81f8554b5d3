#pragma once

#include "tasks/VTDetachedTask.h"

#include <QMap>
#include <QString>
#include <QVariant>

// What the two script performers share: the parameter keys the server sends them and the
// temporary files their scripts are written to, so that the stale-file sweep of one finds the
// files of the other.
class ScriptPerformer : public VTDetachedTask
{
    Q_OBJECT

public:
    ScriptPerformer(const QMap<QString, QVariant>& params, QString name);

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
