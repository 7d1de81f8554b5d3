#include "HttpFetch.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

HttpFetch::Result HttpFetch::get(const QUrl& url, int timeoutMs)
{
    QNetworkAccessManager manager;
    const std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    reply->ignoreSslErrors();

    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();

    Result result;
    if (!timer.isActive()) {
        reply->disconnect(&loop);
        reply->abort();
        result.status = eTimedOut;
    } else if (reply->error() != QNetworkReply::NoError) {
        result.errorString = reply->errorString();
    } else {
        result.status = eDone;
        result.body = reply->readAll();
    }
    return result;
}
