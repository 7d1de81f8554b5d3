#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A temporary program directory holding a copy of the built executable and the companion scripts,
// so a test can run the real program with a settings file and a log of its own. It does not take
// the TestInstanceLock: a test may need two directories, so the test holds the lock itself.
class TestProgramDir
{
public:
    // A copy of `executable` (by default the one just built) and the tray module beside it.
    explicit TestProgramDir(const QString& executable = QStringLiteral(VT_EXECUTABLE));
    ~TestProgramDir();
    TestProgramDir(const TestProgramDir&) = delete;
    TestProgramDir& operator=(const TestProgramDir&) = delete;

    bool isValid() const { return m_valid; }
    QString path() const;
    QString executable() const;
    QString settingsPath() const;
    bool writeSettings(const QByteArray& json);
    QString logPath() const;
    // The whole log text, empty when there is none yet.
    QString log() const;
    // Polls the log until it contains `text`; false when `timeoutMs` passes first.
    bool waitForLog(const QString& text, int timeoutMs);

    // Starts the copied executable in the program directory. The process is owned here and is
    // terminated (SIGTERM, then SIGKILL) when this object goes away.
    QProcess* start(const QStringList& args);
    // Starts and waits: the exit code, or -1 on time-out or crash.
    int run(const QStringList& args, int timeoutMs = 30000);

private:
    QTemporaryDir m_dir;
    QString m_executableName;
    bool m_valid = false;
    std::vector<std::unique_ptr<QProcess>> m_processes;
};
