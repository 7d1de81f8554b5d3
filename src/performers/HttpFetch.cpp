#include "HttpFetch.h"

#include "settings/DownloadTrust.h"

#include <QEventLoop>
#include <QFileDevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>

#include <memory>

namespace {

// The management server is reached by address and its name checked by hand, so a peer showing
// exactly one of its pinned certificates is accepted under any name, as the session is.
bool onlyPinnedNameMismatch(const QList<QSslError>& errors, const QList<QSslCertificate>& pinned)
{
    for (const QSslError& error : errors) {
        if (error.error() != QSslError::HostNameMismatch || !pinned.contains(error.certificate())) {
            return false;
        }
    }
    return !errors.isEmpty();
}

} // namespace

HttpFetch::Result HttpFetch::get(const QUrl& url, int timeoutMs, QIODevice& target, qint64 maxSize)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    // The bytes as served: nothing decoded on the way, so the declared length can be checked.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // HTTP/1.1 whichever Qt is built against (Qt 6 would offer HTTP/2): the completeness checks
    // below are proven against HTTP/1.1 servers, and one download at a time gains nothing from
    // multiplexing.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    const QList<QSslCertificate> pinned = DownloadTrust::serverCertificates();
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
    tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + pinned);
    request.setSslConfiguration(tls);

    const std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a time-out must give the server the whole time.
    timer.setTimerType(Qt::PreciseTimer);
    bool finished = false;
    QString writeError;
    QStringList tlsErrors;
    qint64 written = 0;

    const auto drain = [&] {
        const QByteArray chunk = reply->readAll();
        if (!writeError.isEmpty() || chunk.isEmpty()) {
            return;
        }
        if (maxSize >= 0 && written + chunk.size() > maxSize) {
            writeError = QStringLiteral("more than %1 bytes").arg(maxSize);
        } else if (target.write(chunk) != chunk.size()) {
            writeError = "cannot write the download: " + target.errorString();
        }
        written += chunk.size();
        if (!writeError.isEmpty()) {
            loop.quit();
        }
    };
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply.get(), &QNetworkReply::readyRead, &loop, drain);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    QObject::connect(reply.get(), &QNetworkReply::sslErrors, &loop, [&](const QList<QSslError>& errors) {
        if (onlyPinnedNameMismatch(errors, pinned)) {
            reply->ignoreSslErrors(errors);
            return;
        }
        for (const QSslError& error : errors) {
            tlsErrors << error.errorString();
        }
    });
    timer.start(timeoutMs);
    // Also ends when the application or the thread quits: then the download is not done.
    loop.exec();

    Result result;
    result.size = written;
    if (!finished) {
        reply->disconnect(&loop);
        reply->abort();
        if (!writeError.isEmpty()) {
            result.errorString = writeError;
        } else if (!timer.isActive()) {
            result.status = eTimedOut;
        } else {
            result.errorString = QStringLiteral("download interrupted");
        }
        return result;
    }
    drain();
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError) {
        result.errorString = reply->errorString();
        if (!tlsErrors.isEmpty()) {
            result.errorString += " (" + tlsErrors.join("; ") + ")";
        }
    } else if (!writeError.isEmpty()) {
        result.errorString = writeError;
    } else if (url.scheme().startsWith(QLatin1String("http")) && (httpStatus < 200 || httpStatus > 299)) {
        result.errorString = QStringLiteral("HTTP status %1").arg(httpStatus);
    } else if (declared.isValid() && declared.toLongLong() != written) {
        result.errorString = QStringLiteral("incomplete body: %1 of %2 bytes").arg(written).arg(declared.toLongLong());
    } else if (auto* file = qobject_cast<QFileDevice*>(&target); file && !file->flush()) {
        result.errorString = "cannot write the download: " + file->errorString();
    } else {
        result.status = eDone;
    }
    return result;
}
