#pragma once

#include <QList>
#include <QMutex>
#include <QSslCertificate>

// The certificates of the management server the agent currently talks to. Downloads trust them
// besides the system store, so files served by the management server itself keep verifying.
// Set on the main thread, read by task threads.
class DownloadTrust
{
public:
    static void setServerCertificates(const QList<QSslCertificate>& certs);
    static QList<QSslCertificate> serverCertificates();

private:
    static QMutex s_lock;
    static QList<QSslCertificate> s_serverCerts;
};
