#include "LocalCertificates.h"

#include <QDir>
#include <QFile>
#include <QtDebug>

#include <unistd.h>

QString LocalCertificates::s_systemDir = QStringLiteral("/etc");

namespace {

const char* describe(path_type_e type)
{
    return type == path_type_key ? "private key" : "certificate";
}

} // namespace

QString getCertDirPath()
{
    // The real user id decides, so a set-user-id start still reads the caller's own files.
    const QString base = getuid() == 0 ? LocalCertificates::s_systemDir : QDir::homePath();
    return base + QStringLiteral("/ostrelle/certs/");
}

QString getCertFileName(path_type_e type)
{
    return QStringLiteral("ot_vt_cert") + "." + (type == path_type_key ? "key" : "pem");
}

QString getPath(path_type_e type)
{
    const QString path = getCertDirPath() + getCertFileName(type);
    qDebug() << "Path to " << describe(type) << "[" << path << "]";
    return path;
}

bool getDataByType(QByteArray& data, path_type_e type)
{
    const QString path = getPath(type);
    if (path.isEmpty()) {
        qDebug() << "Can't get path to " << describe(type);
        return false;
    }
    if (!QFile::exists(path)) {
        qDebug() << "File [" << path << "] not exists";
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << "Can't open " << path;
        return false;
    }
    data = file.readAll();
    file.close();
    return true;
}

bool getLocalCert(QList<QSslCertificate>& certs)
{
    QByteArray data;
    if (!getDataByType(data, path_type_cert)) {
        qDebug() << "Can't get data from certificate file";
        return false;
    }
    certs = QSslCertificate::fromData(data, QSsl::Pem);
    if (certs.isEmpty()) {
        qDebug() << "Can't find certificate by path";
        return false;
    }
    return true;
}

bool getPrivateKey(QSslKey& key)
{
    QByteArray data;
    if (!getDataByType(data, path_type_key)) {
        qDebug() << "Can't get data from key file";
        return false;
    }
    const QSslKey parsed(data, QSsl::Rsa, QSsl::Pem, QSsl::PrivateKey, QByteArray());
    if (parsed.isNull()) {
        qDebug() << "Private key is null";
        return false;
    }
    key = parsed;
    return true;
}
