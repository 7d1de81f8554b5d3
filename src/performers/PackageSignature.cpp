#include "PackageSignature.h"

#include "settings/LocalCertificates.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

const QString PackageSignature::key_file_name = QStringLiteral("ot_vt_upgrade_pub.pem");

namespace {

struct KeyDeleter
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter
{
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool check(const QString& filePath, const QByteArray& signature, const QByteArray& publicKeyPem, QString& reason)
{
    BIO* bio = BIO_new_mem_buf(publicKeyPem.constData(), publicKeyPem.size());
    const std::unique_ptr<EVP_PKEY, KeyDeleter> key(bio ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr)
                                                        : nullptr);
    BIO_free(bio);
    if (!key) {
        reason = QStringLiteral("the verification key cannot be read");
        return false;
    }
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        reason = "cannot read " + filePath;
        return false;
    }
    const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        reason = QStringLiteral("the verification key cannot be used");
        return false;
    }
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(1 << 16);
        if (chunk.isEmpty() || EVP_DigestVerifyUpdate(context.get(), chunk.constData(), size_t(chunk.size())) != 1) {
            reason = "cannot read " + filePath;
            return false;
        }
    }
    if (EVP_DigestVerifyFinal(context.get(), reinterpret_cast<const unsigned char*>(signature.constData()),
                              size_t(signature.size()))
        != 1) {
        reason = QStringLiteral("the signature does not match");
        return false;
    }
    return true;
}

} // namespace

QString PackageSignature::keyPath()
{
    return getCertDirPath() + key_file_name;
}

bool PackageSignature::verify(const QString& filePath, const QByteArray& signature, const QByteArray& publicKeyPem,
                              QString& reason)
{
    const bool ok = check(filePath, signature, publicKeyPem, reason);
    // A failed check must not surface in the next TLS operation of this thread.
    ERR_clear_error();
    return ok;
}
