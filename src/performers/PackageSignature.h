#pragma once

#include <QByteArray>
#include <QString>

// Detached signatures of upgrade packages: SHA-256 signed with an RSA or EC key, as
// "openssl dgst -sha256 -sign" writes them. The public key is installed beside the client
// certificate; without it packages are taken unchecked.
class PackageSignature
{
public:
    static const QString key_file_name;

    static QString keyPath();
    // True when `signature` is the key's signature over the file's bytes; otherwise the reason.
    static bool verify(const QString& filePath, const QByteArray& signature, const QByteArray& publicKeyPem,
                       QString& reason);
};
