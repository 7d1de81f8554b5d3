#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

// The agent's own client certificate and key, installed as two PEM files. A missing file is
// the normal case of an agent without a client certificate, so failures log at debug level only.

enum path_type_e
{
    path_type_cert = 0,
    path_type_key = 1
};

// Directory of the files, ending with a slash: under the system configuration directory for
// root, under the home directory for everyone else.
QString getCertDirPath();
QString getCertFileName(path_type_e type);
QString getPath(path_type_e type);
bool getDataByType(QByteArray& data, path_type_e type);
// Every certificate of the file in file order, leaf first when it holds a chain.
bool getLocalCert(QList<QSslCertificate>& certs);
// An RSA key without pass phrase; an encrypted key or another algorithm is refused.
bool getPrivateKey(QSslKey& key);

class LocalCertificates
{
public:
    // Where root's files live below; tests point it at a directory of their own.
    static QString s_systemDir;
};
