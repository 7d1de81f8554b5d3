#include "LogSetup.h"

#include "LogFileAppender.h"

#include "settings/VTSettings.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <log4cxx/file.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/logger.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/propertyconfigurator.h>
#include <log4cxx/spi/location/locationinfo.h>
#include <log4cxx/spi/loggerrepository.h>

#include <cstdlib>
#include <syslog.h>
#include <unistd.h>

const QString LogSetup::s_configFileName = QStringLiteral("log4cxx.properties");
const QString LogSetup::s_loggerName = QStringLiteral("Qt");
const QString LogSetup::s_appenderName = QStringLiteral("VTAppender");
const int LogSetup::s_maxBackupIndex = 10;
std::size_t LogSetup::s_maxFileSize = 10 * 1024 * 1024;

namespace {

log4cxx::LoggerPtr qtLogger()
{
    return log4cxx::Logger::getLogger(LogSetup::s_loggerName.toStdString());
}

log4cxx::LevelPtr levelFor(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return log4cxx::Level::getDebug();
    case QtWarningMsg:
        return log4cxx::Level::getWarn();
    case QtCriticalMsg:
        return log4cxx::Level::getError();
    case QtFatalMsg:
        return log4cxx::Level::getFatal();
    default:
        // Info is deliberately below the default threshold: it is the chatty level.
        return log4cxx::Level::getTrace();
    }
}

void qtMessageHandler(QtMsgType type, QMessageLogContext const& context, QString const& message)
{
    const log4cxx::LoggerPtr logger = qtLogger();
    const log4cxx::LevelPtr level = levelFor(type);
    if (logger->isEnabledFor(level)) {
        // Narrow text would be read in the locale's encoding, which under a service manager is
        // often plain ASCII; wide text reaches the library unchanged whatever the locale.
        logger->forcedLog(level, LogSetup::formatMessage(context, message).toStdWString(),
                          log4cxx::spi::LocationInfo::getLocationUnavailable());
    }
    // The appender flushes every line, so leaving without unwinding loses nothing already written.
    if (type == QtFatalMsg || (type == QtWarningMsg && !qEnvironmentVariableIsEmpty("QT_FATAL_WARNINGS"))) {
        ::_exit(1);
    }
}

} // namespace

QString LogSetup::tagFor(eAppType type)
{
    switch (type) {
    case eAppDaemon:
        return QStringLiteral("DAEMON");
    case eAppAgent:
        return QStringLiteral("AGENT");
    case eAppLocal:
        return QStringLiteral("LOCAL");
    default:
        return QStringLiteral("?");
    }
}

QString LogSetup::formatMessage(QMessageLogContext const& context, QString const& message)
{
    const QString file = QString::fromUtf8(context.file);
    const QString fileName = file.mid(file.lastIndexOf('/') + 1);
    // "bool ServerApp::initialize()" becomes "ServerApp::initialize".
    const QString signature = QString::fromUtf8(context.function).section('(', 0, 0);
    const QString function = signature.section(' ', -1);
    return fileName + "(" + QString::number(context.line) + ") " + function + ": " + message;
}

void setupLog(eAppType type, QString dir)
{
    const QString tag = LogSetup::tagFor(type);

    // Without this the library would look for configuration files in whatever the working
    // directory happens to be; only the file beside the executable is meant to count.
    log4cxx::LogManager::getLoggerRepository()->setConfigured(true);
    const log4cxx::LoggerPtr logger = qtLogger();
    qInstallMessageHandler(qtMessageHandler);

    const QString pattern = tag + "(" + QString::number(QCoreApplication::applicationPid()) + ")"
        + " %r %d{dd MMM yyyy HH:mm:ss.SSS} [%p] %m%n";
    auto layout = std::make_shared<log4cxx::PatternLayout>(pattern.toStdString());
    log4cxx::helpers::Pool pool;
    layout->activateOptions(pool);

    const QString path = dir + "/log/ot_vt.log";
    VTSettings::instance()->setLogFilePath(path);
    SyslogMessageOutput(QtInfoMsg, QMessageLogContext(), "Writing log to: " + path);

    // Applied before the log file's appender is attached: a logger entry in the file removes and
    // closes the logger's appenders, and the log file must survive any such entry.
    const QString configPath = dir + "/" + LogSetup::s_configFileName;
    if (QFileInfo::exists(configPath)) {
        log4cxx::PropertyConfigurator::configure(log4cxx::File(configPath.toStdString()));
    }

    LogFileAppender::prepare(path);
    // Setting up twice must not write every line twice.
    logger->removeAppender(LogSetup::s_appenderName.toStdString());
    auto appender = std::make_shared<LogFileAppender>();
    appender->setLayout(layout);
    appender->setFile(path.toStdString());
    appender->setAppend(true);
    // The file is UTF-8 whatever the locale: the troubleshoot answer sends its tail as is.
    appender->setEncoding(LOG4CXX_STR("UTF-8"));
    appender->setMaxBackupIndex(LogSetup::s_maxBackupIndex);
    appender->setMaximumFileSize(LogSetup::s_maxFileSize);
    appender->setName(LogSetup::s_appenderName.toStdString());
    appender->activateOptions(pool);
    logger->addAppender(appender);
}

void SyslogMessageOutput(QtMsgType type, QMessageLogContext const& context, QString const& message)
{
    Q_UNUSED(context)
    QString prefix;
    int priority = LOG_INFO;
    switch (type) {
    case QtDebugMsg:
        prefix = "Debug: ";
        priority = LOG_DEBUG;
        break;
    case QtInfoMsg:
        prefix = "Info: ";
        priority = LOG_INFO;
        break;
    case QtWarningMsg:
        prefix = "Warning: ";
        priority = LOG_WARNING;
        break;
    case QtCriticalMsg:
        prefix = "Critical: ";
        priority = LOG_CRIT;
        break;
    case QtFatalMsg:
        syslog(LOG_ALERT, "%s", QString("Fatal: " + message).toLatin1().constData());
        std::abort();
    default:
        return;
    }
    syslog(priority, "%s", QString(prefix + message).toLatin1().constData());
}
