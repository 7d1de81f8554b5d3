#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslCertificate>
#include <QString>

#include <openssl/ocsp.h>

// Asks the OCSP responders named in a server's certificates whether any of them is revoked.
// Only an explicit, authentic "revoked" answer counts; anything else (no responder, no answer, an error,
// status unknown) lets the chain pass. Every network wait blocks the calling thread.
class VerifyByOCSP : public QObject
{
    Q_OBJECT

public:
    // Result codes of one certificate's check.
    enum
    {
        eStatusUnknown = -1,
        eStatusGood = 0,
        eStatusRevoked = 1
    };
    // With this mode a revoked certificate is only logged and the chain still passes.
    static constexpr int eModeReportOnly = 57;

    // `chain` leaf first, as the TLS layer reports it. True when the chain is to be rejected.
    static bool isChainRevoked(const QList<QSslCertificate>& chain, int mode);

    // Decides on a responder's answer about `cert`: only an answer signed by `issuer` (or a
    // responder it delegated to), within its validity times, and about `cert` itself counts;
    // among those the last good or revoked one wins. Anything else is unknown.
    static int parseResponse(OCSP_RESPONSE* response, X509* cert, X509* issuer);

    // Bound of each single wait on a responder (connect, send, receive).
    static int s_responderTimeoutMs;

private:
    explicit VerifyByOCSP(QObject* parent = nullptr);
    ~VerifyByOCSP() override;

    int isRevokedByOCSP(const char* certPem, const char* issuerPem);
    int checkCertOCSP(X509* cert, X509* issuer);
    int prepareRequest(OCSP_REQUEST** request, X509* cert, const EVP_MD* digest, X509* issuer,
                       STACK_OF(OCSP_CERTID) * ids);
    OCSP_RESPONSE* sendRequest(OCSP_REQUEST* request, const char* host, const char* path, const char* port, int useTls,
                               int timeoutMs);
    OCSP_RESPONSE* queryResponder(BIO* connection, const char* path, const char* host, OCSP_REQUEST* request,
                                  int timeoutMs);

    static QString getSubjectName(const char* pem);
    static QString getIssuerName(const char* pem);
};
