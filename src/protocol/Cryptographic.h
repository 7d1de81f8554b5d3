#pragma once

#include <QByteArray>
#include <QString>

// Hashes for the exit password check. Digests are raw 32-byte SHA-256; callers comparing with
// stored text encode them themselves.
class Cryptographic
{
public:
    QByteArray convertQStringToSha256(QString text);
    QByteArray getPasswordAndSaltSha256(QString password, QString salt);
};
