#include "Cryptographic.h"

#include <QCryptographicHash>

QByteArray Cryptographic::convertQStringToSha256(QString text)
{
    QByteArray bytes = text.toUtf8();
    // The stored hashes were made from C strings, which end at the first NUL.
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

QByteArray Cryptographic::getPasswordAndSaltSha256(QString password, QString salt)
{
    return convertQStringToSha256(password + salt);
}
