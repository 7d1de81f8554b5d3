#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Runs one program to its end or to a time limit and collects its standard output. No step waits
// without a bound: not the child, not a grandchild that inherited the output pipe, not a child
// that a kill does not end (it is left behind and reaped later). Safe to call from any thread.
class BoundedProcess
{
public:
    static constexpr qint64 s_defaultMaxOutputBytes = 16 * 1024 * 1024;

    struct Options
    {
        // Written to the child's standard input, which is then closed; with none the child reads
        // from the null device.
        QByteArray input;
        // "NAME=value" entries that replace or extend this process's environment for the child.
        QStringList environment;
        // Output past this is read and dropped, so a chatty child neither stalls nor fills memory.
        qint64 maxOutputBytes = s_defaultMaxOutputBytes;
    };

    struct Result
    {
        bool started = false;
        // The time limit passed; the child and its process group were killed.
        bool timedOut = false;
        // Ended by a signal (a kill at the time limit included).
        bool crashed = false;
        int exitCode = -1;
        // The child stopped reading before it had taken all of the input.
        bool inputRefused = false;
        // More output came than maxOutputBytes; `output` holds the first part.
        bool truncated = false;
        qint64 pid = 0;
        QByteArray output;

        // The output up to and including its first line end.
        QByteArray firstLine() const;
    };

    // `program` is looked up on the search path when it holds no "/".
    static Result run(const QString& program, const QStringList& arguments, int timeoutMs);
    static Result run(const QString& program, const QStringList& arguments, int timeoutMs, const Options& options);

    // How long a killed child is given to disappear before it is left behind.
    static int s_killWaitMs;
};
