#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <memory>

class QIODevice;

// The temporary shell script of a script performer, from its creation to the command that runs
// it. Files stay registered while their performer lives (and, for background launches, while the
// launched process runs), so that the stale-file sweep never removes a script still needed.
class ScriptFile
{
public:
    // `performer` is the name used in error texts and log lines ("ScriptResult", "RunScript").
    ScriptFile(const QString& performer, const QString& fileTemplate);
    ~ScriptFile();
    ScriptFile(const ScriptFile&) = delete;
    ScriptFile& operator=(const ScriptFile&) = delete;

    // Creates the file and writes the line that clears the library search path.
    bool open(const QByteArray& firstLine);
    bool append(const QByteArray& data);
    // Appends the body fetched from `url`; on failure logs, leaves the text in `error` and returns
    // false. What is fetched runs as root, so only https is used unless the settings ask for debug.
    bool download(const QString& url, QString& error);
    // Runnable and readable by its owner only.
    bool makeExecutable();
    void setAutoRemove(bool autoRemove) { m_autoRemove = autoRemove; }
    // Really closes the file: a temporary file keeps its descriptor open through close(), and a
    // file open for writing cannot be executed ("Text file busy").
    void close();
    QString fileName() const { return m_fileName; }

    // How to run a script file: the password, if any, goes to the child's standard input only,
    // never into a command line or a shell text.
    struct Command
    {
        QString program;
        QStringList arguments;
        QByteArray input;
    };
    static Command command(const QString& fileName, bool asRoot, const QString& sudoPassword);
    // "-S " where sudo is known to read the password from standard input, else empty.
    static QString sudoOption();

    // Starts `command` in the background with `command.input` as its standard input; the file is
    // removed once the command has ended. The launched process keeps the file from being swept
    // while it runs.
    bool startDetached(const Command& command);

    // Removes the files matching `mask` in `dir`, except scripts still in use.
    static void sweep(const QString& dir, const QString& mask);

    // Where the distribution files are looked up ("/etc").
    static QString s_etcDir;
    static int s_downloadTimeoutMs;

private:
    static void registerFile(const QString& fileName, qint64 pid);
    static void unregisterFile(const QString& fileName);

    QString m_performer;
    std::unique_ptr<QTemporaryFile> m_file;
    QString m_fileName;
    bool m_autoRemove = true;

    static QMutex s_registryLock;
    // File name -> process id of its background launch, or 0 while its performer owns it.
    static QHash<QString, qint64> s_registry;
};
