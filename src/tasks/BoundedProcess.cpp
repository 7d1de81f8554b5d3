#include "BoundedProcess.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QVector>
#include <QtDebug>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int BoundedProcess::s_killWaitMs = 2000;

namespace {

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Writing to a pipe whose reader has gone must fail with an error, not end this process: the
// signal is blocked for this thread while it writes, and one it raised is taken back, so whatever
// the process does with the signal elsewhere stays as it was.
ssize_t writeWithoutSigpipe(int fd, const char* data, size_t size)
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    const ssize_t written = ::write(fd, data, size);
    const int error = errno;
    if (written < 0 && error == EPIPE && !alreadyPending) {
        const timespec noWait = {0, 0};
        sigtimedwait(&pipeSignal, nullptr, &noWait);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

int openPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return int(syscall(SYS_pidfd_open, pid, 0));
#else
    Q_UNUSED(pid)
    return -1;
#endif
}

void closeFd(int& fd)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool reaped(pid_t pid, int* status)
{
    pid_t got = -1;
    do {
        got = ::waitpid(pid, status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    return got == pid;
}

// Children that outlived their kill; each run gives them another chance to be reaped.
QMutex s_abandonedLock;
QVector<pid_t> s_abandoned;

void reapAbandoned()
{
    QMutexLocker lock(&s_abandonedLock);
    for (int i = s_abandoned.size() - 1; i >= 0; --i) {
        int status = 0;
        const pid_t got = ::waitpid(s_abandoned.at(i), &status, WNOHANG);
        if (got == s_abandoned.at(i) || (got < 0 && errno == ECHILD)) {
            s_abandoned.remove(i);
        }
    }
}

// The environment the child gets: ours, with `overrides` replacing entries of the same name.
QVector<QByteArray> childEnvironment(const QStringList& overrides)
{
    QVector<QByteArray> entries;
    QVector<QByteArray> names;
    for (const QString& entry : overrides) {
        const QByteArray bytes = entry.toLocal8Bit();
        entries << bytes;
        names << bytes.left(bytes.indexOf('=') + 1);
    }
    for (char** variable = environ; variable && *variable; ++variable) {
        const QByteArray bytes(*variable);
        const QByteArray name = bytes.left(bytes.indexOf('=') + 1);
        if (!names.contains(name)) {
            entries << bytes;
        }
    }
    return entries;
}

class OutputReader
{
public:
    explicit OutputReader(qint64 limit)
        : m_limit(limit)
    {
    }

    // Reads what is there now, at most as much as a full pipe holds, so that a writer that never
    // stops cannot keep the caller here; false once the pipe is at its end or broken.
    bool readAvailable(int fd, BoundedProcess::Result& result)
    {
        char buffer[65536];
        for (int chunk = 0; chunk < 16;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got > 0) {
                const qint64 room = m_limit - result.output.size();
                if (got > room) {
                    result.truncated = true;
                }
                if (room > 0) {
                    result.output.append(buffer, int(qMin<qint64>(room, got)));
                }
                ++chunk;
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
        return true;
    }

private:
    qint64 m_limit;
};

} // namespace

QByteArray BoundedProcess::Result::firstLine() const
{
    const int end = output.indexOf('\n');
    return end < 0 ? output : output.left(end + 1);
}

BoundedProcess::Result BoundedProcess::run(const QString& program, const QStringList& arguments, int timeoutMs)
{
    return run(program, arguments, timeoutMs, Options());
}

BoundedProcess::Result BoundedProcess::run(const QString& program, const QStringList& arguments, int timeoutMs,
                                           const Options& options)
{
    reapAbandoned();
    Result result;

    QVector<QByteArray> argumentBytes {QFile::encodeName(program)};
    for (const QString& argument : arguments) {
        argumentBytes << argument.toLocal8Bit();
    }
    QVector<char*> argv;
    for (QByteArray& argument : argumentBytes) {
        argv << argument.data();
    }
    argv << nullptr;

    QVector<QByteArray> environmentBytes;
    QVector<char*> envp;
    if (!options.environment.isEmpty()) {
        environmentBytes = childEnvironment(options.environment);
        for (QByteArray& entry : environmentBytes) {
            envp << entry.data();
        }
        envp << nullptr;
    }

    // Close-on-exec, so that children started meanwhile by other threads do not inherit them and
    // keep the pipes open.
    int outPipe[2] = {-1, -1};
    int inPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        return result;
    }
    if (!options.input.isEmpty() && pipe2(inPipe, O_CLOEXEC) != 0) {
        closeFd(outPipe[0]);
        closeFd(outPipe[1]);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (inPipe[0] >= 0) {
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // A process group of its own, so that a kill at the time limit reaches what the child started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &noMask);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

    // One more millisecond: the clock counts whole ones, so the bound would otherwise end up to one
    // short of the time given.
    const qint64 deadline = nowMs() + qMax(0, timeoutMs) + 1;
    pid_t pid = 0;
    const int spawnError
        = posix_spawnp(&pid, argv.first(), &actions, &attributes, argv.data(), envp.isEmpty() ? environ : envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    closeFd(outPipe[1]);
    closeFd(inPipe[0]);
    if (spawnError != 0) {
        closeFd(outPipe[0]);
        closeFd(inPipe[1]);
        return result;
    }
    result.started = true;
    result.pid = pid;

    int outFd = outPipe[0];
    int inFd = inPipe[1];
    fcntl(outFd, F_SETFL, fcntl(outFd, F_GETFL) | O_NONBLOCK);
    if (inFd >= 0) {
        fcntl(inFd, F_SETFL, fcntl(inFd, F_GETFL) | O_NONBLOCK);
    }
    // Without a process descriptor the loop wakes every few milliseconds to look for the exit.
    int pidFd = openPidFd(pid);
    OutputReader reader(options.maxOutputBytes);
    qint64 inputWritten = 0;
    int status = 0;
    bool exited = false;

    auto writeInput = [&] {
        while (inFd >= 0 && inputWritten < options.input.size()) {
            const ssize_t put = writeWithoutSigpipe(inFd, options.input.constData() + inputWritten,
                                                    size_t(options.input.size() - inputWritten));
            if (put > 0) {
                inputWritten += put;
            } else if (put < 0 && errno == EINTR) {
                continue;
            } else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            } else {
                result.inputRefused = true;
                break;
            }
        }
        closeFd(inFd);
    };
    writeInput();

    // Waits for the exit or `until`, reading output (and writing input) meanwhile.
    auto waitUntil = [&](qint64 until) {
        while (!exited) {
            if (reaped(pid, &status)) {
                exited = true;
                break;
            }
            const qint64 left = until - nowMs();
            if (left <= 0) {
                break;
            }
            pollfd fds[3];
            nfds_t count = 0;
            if (outFd >= 0) {
                fds[count++] = {outFd, POLLIN, 0};
            }
            if (inFd >= 0) {
                fds[count++] = {inFd, POLLOUT, 0};
            }
            if (pidFd >= 0) {
                fds[count++] = {pidFd, POLLIN, 0};
            }
            const int slice = int(pidFd >= 0 ? qMin<qint64>(left, 1000) : qMin<qint64>(left, 10));
            if (::poll(fds, count, slice) < 0 && errno != EINTR) {
                break;
            }
            for (nfds_t i = 0; i < count; ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                if (fds[i].fd == outFd && !reader.readAvailable(outFd, result)) {
                    closeFd(outFd);
                } else if (fds[i].fd == inFd) {
                    writeInput();
                }
            }
        }
    };

    waitUntil(deadline);
    if (!exited) {
        result.timedOut = true;
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        waitUntil(nowMs() + s_killWaitMs);
    }
    // What the child wrote before it ended is in the pipe; a grandchild holding the pipe open must
    // not keep the reading going.
    if (outFd >= 0) {
        reader.readAvailable(outFd, result);
    }
    closeFd(outFd);
    closeFd(inFd);
    closeFd(pidFd);

    if (!exited) {
        qWarning("Child process %lld does not end after a kill; it is left behind", qlonglong(pid));
        QMutexLocker lock(&s_abandonedLock);
        s_abandoned << pid;
        result.crashed = true;
        return result;
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.crashed = true;
    }
    return result;
}
