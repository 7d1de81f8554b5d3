#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// One GET with a time limit, run on a local event loop so that it can be called from a task
// thread. TLS errors are ignored: scripts and packages come from the management network, often
// with certificates of its own.
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
        // The reply's error text when the request failed.
        QString errorString;
        QByteArray body;
    };

    static Result get(const QUrl& url, int timeoutMs);
};
