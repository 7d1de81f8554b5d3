#include "DownloadTrust.h"

#include <QMutexLocker>

QMutex DownloadTrust::s_lock;
QList<QSslCertificate> DownloadTrust::s_serverCerts;

void DownloadTrust::setServerCertificates(const QList<QSslCertificate>& certs)
{
    QMutexLocker lock(&s_lock);
    s_serverCerts = certs;
}

QList<QSslCertificate> DownloadTrust::serverCertificates()
{
    QMutexLocker lock(&s_lock);
    return s_serverCerts;
}
