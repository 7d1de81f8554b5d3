#include "ScriptFile.h"

#include "performers/HttpFetch.h"
#include "settings/VTSettings.h"
#include "tasks/DetachedScript.h"

#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QProcess>
#include <QtDebug>

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

QString ScriptFile::s_etcDir = QStringLiteral("/etc");
int ScriptFile::s_downloadTimeoutMs = 5000;
QMutex ScriptFile::s_registryLock;
QHash<QString, qint64> ScriptFile::s_registry;

ScriptFile::ScriptFile(const QString& performer, const QString& fileTemplate)
    : m_performer(performer)
    , m_file(new QTemporaryFile(fileTemplate))
{
    m_file->setAutoRemove(false);
}

ScriptFile::~ScriptFile()
{
    close();
    if (!m_fileName.isEmpty()) {
        if (m_autoRemove) {
            QFile::remove(m_fileName);
        }
        unregisterFile(m_fileName);
    }
}

bool ScriptFile::open(const QByteArray& firstLine)
{
    if (!m_file || !m_file->open()) {
        return false;
    }
    m_fileName = m_file->fileName();
    registerFile(m_fileName, 0);
    return m_file->write(firstLine) == firstLine.size();
}

bool ScriptFile::append(const QByteArray& data)
{
    return m_file && m_file->write(data) == data.size();
}

void ScriptFile::close()
{
    m_file.reset();
}

bool ScriptFile::download(const QString& url, QString& error)
{
    if (!m_file) {
        error = m_performer + " : download error :cannot create the script file";
        qWarning("Error perform \"%s\" download error , cannot create the script file", qPrintable(m_performer));
        return false;
    }
    const QUrl target(url);
    if (target.scheme() != QLatin1String("https") && !VTSettings::instance()->debug()) {
        // Anyone on the path could replace a script fetched in the clear, and it runs as root.
        const QString reason = QStringLiteral("only https is accepted for scripts");
        error = m_performer + " : download error :" + reason;
        qWarning("Error perform \"%s\" download error , %s", qPrintable(m_performer), qPrintable(reason));
        return false;
    }
    const HttpFetch::Result fetched = HttpFetch::get(target, s_downloadTimeoutMs, *m_file);
    switch (fetched.status) {
    case HttpFetch::eTimedOut:
        error = m_performer + " : download error : timeout 5 sec";
        qWarning().noquote() << QStringLiteral("Error perform \"%1\" download error , timeout 5 sec").arg(m_performer);
        return false;
    case HttpFetch::eFailed:
        error = m_performer + " : download error :" + fetched.errorString;
        qWarning("Error perform \"%s\" download error , %s", qPrintable(m_performer), qPrintable(fetched.errorString));
        return false;
    case HttpFetch::eDone:
        break;
    }
    return true;
}

bool ScriptFile::makeExecutable()
{
    if (m_file) {
        m_file->flush();
    }
    return DetachedScript::makePrivateExecutable(m_fileName);
}

QString ScriptFile::sudoOption()
{
    const QDir etc(s_etcDir);
    if (etc.exists(QStringLiteral("debian_version"))
        || (etc.exists(QStringLiteral("redhat-release")) && !etc.exists(QStringLiteral("centos-release")))) {
        return QStringLiteral("-S ");
    }
    return QString();
}

ScriptFile::Command ScriptFile::command(const QString& fileName, bool asRoot, const QString& sudoPassword)
{
    if (!asRoot) {
        return {QStringLiteral("sh"), {fileName}, {}};
    }
    // sudo runs the file itself; the file is executable and sudo falls back to the shell for it.
    QStringList arguments;
    if (!sudoOption().isEmpty()) {
        arguments << QStringLiteral("-S");
    }
    arguments << fileName;
    return {QStringLiteral("sudo"), arguments, sudoPassword.toUtf8() + '\n'};
}

bool ScriptFile::startDetached(const Command& command)
{
    QProcess process;
    process.setProgram(QStringLiteral("sh"));
    process.setArguments(DetachedScript::removingAfter(m_fileName, command.program, command.arguments));

    // The input travels through a pipe filled before the start; the child reopens its read end
    // through /proc, so the password is neither on disk nor in any command line.
    int fds[2] = {-1, -1};
    if (command.input.isEmpty()) {
        process.setStandardInputFile(QProcess::nullDevice());
    } else {
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            return false;
        }
        const ssize_t written = ::write(fds[1], command.input.constData(), size_t(command.input.size()));
        ::close(fds[1]);
        if (written != command.input.size()) {
            ::close(fds[0]);
            return false;
        }
        process.setStandardInputFile(QStringLiteral("/proc/self/fd/%1").arg(fds[0]));
    }

    qint64 pid = 0;
    const bool started = process.startDetached(&pid);
    if (fds[0] >= 0) {
        ::close(fds[0]);
    }
    if (started) {
        registerFile(m_fileName, pid);
    }
    return started;
}

void ScriptFile::registerFile(const QString& fileName, qint64 pid)
{
    QMutexLocker lock(&s_registryLock);
    s_registry.insert(QFileInfo(fileName).absoluteFilePath(), pid);
}

void ScriptFile::unregisterFile(const QString& fileName)
{
    QMutexLocker lock(&s_registryLock);
    const QString key = QFileInfo(fileName).absoluteFilePath();
    // A background launch owns the file beyond the performer's life.
    if (s_registry.value(key, -1) == 0) {
        s_registry.remove(key);
    }
}

void ScriptFile::sweep(const QString& dir, const QString& mask)
{
    QMutexLocker lock(&s_registryLock);
    // A background launch removes its own file, so its entry is dropped here once it has ended.
    for (auto it = s_registry.begin(); it != s_registry.end();) {
        if (it.value() != 0 && ::kill(pid_t(it.value()), 0) != 0 && errno == ESRCH) {
            it = s_registry.erase(it);
        } else {
            ++it;
        }
    }
    QDir directory(dir);
    const QStringList names = directory.entryList({mask}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        const QString path = QFileInfo(directory.filePath(name)).absoluteFilePath();
        // Any user may give a file of theirs a script's name; only the daemon's own files go. In
        // a sticky directory nobody else can swap one of those before it is removed.
        struct stat status;
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode)
            || status.st_uid != ::geteuid()) {
            continue;
        }
        if (!s_registry.contains(path)) {
            directory.remove(name);
        }
    }
}
