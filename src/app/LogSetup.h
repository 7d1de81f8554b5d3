#pragma once

#include "AppTypes.h"

#include <QString>
#include <QtGlobal>

#include <cstddef>

// Routes every Qt message of the process into the rolling log file log/ot_vt.log beside the
// executable, tagged with the application type and the process id.
void setupLog(eAppType type, QString dir);

// The one message that goes to the system log: where the log file is.
void SyslogMessageOutput(QtMsgType type, QMessageLogContext const& context, QString const& message);

class LogSetup
{
public:
    // The text a Qt message becomes in the log: "file(line) function: message".
    static QString formatMessage(QMessageLogContext const& context, QString const& message);
    static QString tagFor(eAppType type);

    // A log4cxx configuration file with this name beside the executable is applied after the
    // defaults, so that users can lower the threshold without rebuilding.
    static const QString s_configFileName;
    static const QString s_loggerName;
    static const QString s_appenderName;
    static const int s_maxBackupIndex;
    // Tests shrink it to see rolling without writing tens of mebibytes.
    static std::size_t s_maxFileSize;
};
