#include "TestProgramDir.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

TestProgramDir::TestProgramDir(const QString& executable)
    : m_dir(QDir::tempPath() + "/vantorel-program-XXXXXX")
    , m_executableName(QFileInfo(executable).fileName())
{
    if (!m_dir.isValid()) {
        return;
    }
    m_valid = QFile::copy(executable, this->executable());
    // The tray module travels with its executable; a build that predates it has none.
    const QFileInfo module(QFileInfo(executable).absolutePath() + "/" + QFileInfo(VT_GUI_MODULE).fileName());
    if (module.exists())
        m_valid = QFile::copy(module.absoluteFilePath(), path() + "/" + module.fileName()) && m_valid;
    const QDir scripts(QString(VT_SOURCE_DIR) + "/scripts");
    for (const QFileInfo& script : scripts.entryInfoList({"*.sh"}, QDir::Files)) {
        m_valid = QFile::copy(script.absoluteFilePath(), path() + "/" + script.fileName()) && m_valid;
    }
}

TestProgramDir::~TestProgramDir()
{
    for (auto& process : m_processes) {
        if (process->state() == QProcess::NotRunning) {
            continue;
        }
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

QString TestProgramDir::path() const
{
    return m_dir.path();
}

QString TestProgramDir::executable() const
{
    return path() + "/" + m_executableName;
}

QString TestProgramDir::settingsPath() const
{
    return path() + "/com.ostrelle.vantorel.json";
}

bool TestProgramDir::writeSettings(const QByteArray& json)
{
    QFile file(settingsPath());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(json) == json.size();
}

QString TestProgramDir::logPath() const
{
    return path() + "/log/ot_vt.log";
}

QString TestProgramDir::log() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return QString();
    }
    return QString::fromUtf8(file.readAll());
}

bool TestProgramDir::waitForLog(const QString& text, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!log().contains(text)) {
        if (timer.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

QProcess* TestProgramDir::start(const QStringList& args)
{
    auto process = std::make_unique<QProcess>();
    process->setWorkingDirectory(path());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(executable(), args);
    process->waitForStarted(10000);
    m_processes.push_back(std::move(process));
    return m_processes.back().get();
}

int TestProgramDir::run(const QStringList& args, int timeoutMs)
{
    QProcess* process = start(args);
    if (!process->waitForFinished(timeoutMs)) {
        process->kill();
        process->waitForFinished(5000);
        return -1;
    }
    return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
}
