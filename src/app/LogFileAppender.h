#pragma once

#include <QString>

#include <log4cxx/rolling/rollingfileappender.h>

// The rolling log file, kept readable by root and the adm group only (as the system's own logs
// are), because its lines carry what the server asks for, scripts included. The directory is
// closed to others first, so a file the library creates on a roll-over is out of their reach
// until its mode is narrowed too.
class LogFileAppender : public log4cxx::rolling::RollingFileAppender
{
public:
    // Makes the log directory of `path` and the file itself with their narrow modes before the
    // library opens anything, and narrows what an earlier version left wider.
    static void prepare(const QString& path);

protected:
    void subAppend(const log4cxx::spi::LoggingEventPtr& event, log4cxx::helpers::Pool& pool) override;
};
