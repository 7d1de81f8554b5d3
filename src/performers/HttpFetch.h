#pragma once

#include <QString>
#include <QUrl>

class QIODevice;

// One GET with a time limit, run on a local event loop so that it can be called from a task
// thread. What is fetched here is run as root, so https peers must verify through the system
// store or the current management server's certificates, and a download counts as done only
// when the whole body reached the target.
class HttpFetch
{
public:
    enum Status
    {
        eDone,
        eTimedOut,
        eFailed
    };

    struct Result
    {
        Status status = eFailed;
        // Why the download failed, for the error texts.
        QString errorString;
        qint64 size = 0;
    };

    // Writes the body into `target` as it arrives and flushes it; a body larger than `maxSize`
    // (when not negative) fails.
    static Result get(const QUrl& url, int timeoutMs, QIODevice& target, qint64 maxSize = -1);
};
