#include "VerifyByOCSP.h"

#include <QMap>
#include <QtDebug>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/http.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <poll.h>

int VerifyByOCSP::s_responderTimeoutMs = 30000;

namespace {

struct X509Deleter
{
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

X509Ptr parsePem(const char* pem)
{
    if (!pem || !*pem)
        return nullptr;
    BIO* bio = BIO_new_mem_buf(pem, -1);
    if (!bio)
        return nullptr;
    X509Ptr cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return cert;
}

QString oneLineName(X509_NAME* name)
{
    if (!name)
        return QString();
    char* text = X509_NAME_oneline(name, nullptr, 0);
    const QString result = QString::fromUtf8(text);
    OPENSSL_free(text);
    return result;
}

// poll rather than select: a descriptor above FD_SETSIZE must not corrupt the stack.
int waitFor(int fd, short events, int timeoutMs)
{
    pollfd entry {fd, events, 0};
    return poll(&entry, 1, timeoutMs);
}

} // namespace

VerifyByOCSP::VerifyByOCSP(QObject* parent)
    : QObject(parent)
{
}

VerifyByOCSP::~VerifyByOCSP()
{
    // Whatever failed here must not surface in the next TLS operation of this thread.
    ERR_clear_error();
}

bool VerifyByOCSP::isChainRevoked(const QList<QSslCertificate>& chain, int mode)
{
    if (chain.size() == 1 && chain.first().isSelfSigned()) {
        qDebug() << "chain of size 1 with self signed certificate";
        return false;
    }

    VerifyByOCSP verifier;
    qDebug() << "Success to load OCSP";

    QMap<QString, QByteArray> bySubject;
    for (const QSslCertificate& cert : chain) {
        const QByteArray pem = cert.toPem();
        bySubject.insert(getSubjectName(pem.constData()), pem);
    }

    for (int i = 0; i < chain.size(); ++i) {
        const QSslCertificate& cert = chain.at(i);
        if (cert.isSelfSigned())
            continue;
        const QByteArray pem = cert.toPem();
        const QByteArray issuerPem = bySubject.value(getIssuerName(pem.constData()));
        const int status = verifier.isRevokedByOCSP(pem.constData(), issuerPem.constData());
        if (status != eStatusGood) {
            qDebug() << "Certificate at placed [" << i
                     << "] in chain failed with status: " << (status == eStatusRevoked ? "Revoked" : "Unknown");
        }
        if (status == eStatusRevoked && mode != eModeReportOnly)
            return true;
    }
    return false;
}

int VerifyByOCSP::isRevokedByOCSP(const char* certPem, const char* issuerPem)
{
    X509Ptr cert = parsePem(certPem);
    X509Ptr issuer = parsePem(issuerPem);
    if (!cert)
        return eStatusUnknown;
    return checkCertOCSP(cert.get(), issuer.get());
}

int VerifyByOCSP::checkCertOCSP(X509* cert, X509* issuer)
{
    if (!issuer)
        return eStatusUnknown;

    OCSP_REQUEST* request = nullptr;
    // The request owns the identifiers; this stack only lists them.
    STACK_OF(OCSP_CERTID)* ids = sk_OCSP_CERTID_new_null();
    prepareRequest(&request, cert, EVP_sha1(), issuer, ids);

    STACK_OF(OPENSSL_STRING)* urls = X509_get1_ocsp(cert);
    int result = eStatusUnknown;
    for (int i = 0; request && result == eStatusUnknown && i < sk_OPENSSL_STRING_num(urls); ++i) {
        char* host = nullptr;
        char* port = nullptr;
        char* path = nullptr;
        int useTls = 0;
        if (!OCSP_parse_url(sk_OPENSSL_STRING_value(urls, i), &host, &port, &path, &useTls))
            continue;
        // Only plain HTTP responders are asked.
        if (!useTls) {
            OCSP_RESPONSE* response = sendRequest(request, host, path, port, 0, s_responderTimeoutMs);
            if (response) {
                if (OCSP_response_status(response) == OCSP_RESPONSE_STATUS_SUCCESSFUL)
                    result = parseResponse(response, cert, issuer);
                OCSP_RESPONSE_free(response);
            }
        }
        OPENSSL_free(host);
        OPENSSL_free(port);
        OPENSSL_free(path);
    }

    X509_email_free(urls);
    OCSP_REQUEST_free(request);
    sk_OCSP_CERTID_free(ids);
    return result;
}

int VerifyByOCSP::prepareRequest(OCSP_REQUEST** request, X509* cert, const EVP_MD* digest, X509* issuer,
                                 STACK_OF(OCSP_CERTID) * ids)
{
    if (!issuer) {
        qDebug() << "No issuer certificate specified";
        return 0;
    }
    if (!*request)
        *request = OCSP_REQUEST_new();
    if (!*request) {
        qDebug() << "Error Creating OCSP request";
        return 0;
    }
    OCSP_CERTID* id = OCSP_cert_to_id(digest, cert, issuer);
    if (!id || !sk_OCSP_CERTID_push(ids, id)) {
        OCSP_CERTID_free(id);
        qDebug() << "Error Creating OCSP request";
        return 0;
    }
    if (!OCSP_request_add0_id(*request, id)) {
        // Not taken over by the request, so it is still ours to free.
        sk_OCSP_CERTID_pop(ids);
        OCSP_CERTID_free(id);
        qDebug() << "Error Creating OCSP request";
        return 0;
    }
    return 1;
}

OCSP_RESPONSE* VerifyByOCSP::sendRequest(OCSP_REQUEST* request, const char* host, const char* path, const char* port,
                                         int useTls, int timeoutMs)
{
    BIO* connection = BIO_new_connect(host);
    if (!connection)
        return nullptr;
    OCSP_RESPONSE* response = nullptr;
    if (port && !useTls) {
        BIO_set_conn_port(connection, port);
        response = queryResponder(connection, path, host, request, timeoutMs);
        if (!response)
            qDebug() << "Error quering OCSP responder";
    }
    BIO_free_all(connection);
    return response;
}

OCSP_RESPONSE* VerifyByOCSP::queryResponder(BIO* connection, const char* path, const char* host, OCSP_REQUEST* request,
                                            int timeoutMs)
{
    const bool blocking = timeoutMs == -1;
    if (!blocking)
        BIO_set_nbio(connection, 1);

    const long connected = BIO_do_connect(connection);
    if (connected <= 0 && (blocking || !BIO_should_retry(connection))) {
        qDebug() << "Responder Error: Failed connecting BIO";
        return nullptr;
    }

    int fd = -1;
    if (BIO_get_fd(connection, &fd) < 0) {
        qDebug() << "Responder Error: Can't get connection fd";
        return nullptr;
    }

    if (!blocking && connected <= 0 && waitFor(fd, POLLOUT, timeoutMs) == 0) {
        qDebug() << "Responder Error: Timeout on connect";
        return nullptr;
    }

    OSSL_HTTP_REQ_CTX* context = OCSP_sendreq_new(connection, path, nullptr, -1);
    if (!context)
        return nullptr;

    OCSP_RESPONSE* response = nullptr;
    if (OSSL_HTTP_REQ_CTX_add1_header(context, "Host", host)
        && OSSL_HTTP_REQ_CTX_set1_req(context, "application/ocsp-request", ASN1_ITEM_rptr(OCSP_REQUEST),
                                      reinterpret_cast<const ASN1_VALUE*>(request))) {
        for (;;) {
            const int rv = OSSL_HTTP_REQ_CTX_nbio_d2i(context, reinterpret_cast<ASN1_VALUE**>(&response),
                                                      ASN1_ITEM_rptr(OCSP_RESPONSE));
            if (rv != -1)
                break;
            if (blocking)
                continue;
            short events = 0;
            if (BIO_should_read(connection)) {
                events = POLLIN;
            } else if (BIO_should_write(connection)) {
                events = POLLOUT;
            } else {
                qDebug() << "Responder Error: Unexpected retry condition";
                break;
            }
            const int ready = waitFor(fd, events, timeoutMs);
            if (ready == 0) {
                qDebug() << "Responder Error: Timeout on request";
                break;
            }
            if (ready == -1) {
                qDebug() << "Responder Error: Select error";
                break;
            }
        }
    }

    OSSL_HTTP_REQ_CTX_free(context);
    return response;
}

int VerifyByOCSP::parseResponse(OCSP_RESPONSE* response, X509* cert, X509* issuer)
{
    // Yields nothing unless the response carries bytes of the basic type.
    OCSP_BASICRESP* basic = response ? OCSP_response_get1_basic(response) : nullptr;
    if (!basic || !cert || !issuer) {
        OCSP_BASICRESP_free(basic);
        return eStatusUnknown;
    }

    // Only the issuer, or a responder it delegated to, may speak about its certificates;
    // otherwise anyone on the path could revoke (or clear) the server's certificate.
    X509_STORE* store = X509_STORE_new();
    STACK_OF(X509)* issuers = sk_X509_new_null();
    bool trusted = store && issuers && X509_STORE_add_cert(store, issuer) && sk_X509_push(issuers, issuer);
    if (trusted) {
        // The issuer may be an intermediate: it is the anchor here, not a root above it.
        X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
        trusted = OCSP_basic_verify(basic, issuers, store, 0) > 0;
    }
    sk_X509_free(issuers);
    X509_STORE_free(store);
    if (!trusted) {
        qDebug() << "OCSP response signature does not verify against the issuer";
        OCSP_BASICRESP_free(basic);
        return eStatusUnknown;
    }

    OCSP_CERTID* asked = OCSP_cert_to_id(EVP_sha1(), cert, issuer);
    int result = eStatusUnknown;
    const int count = OCSP_resp_count(basic);
    for (int i = 0; asked && i < count; ++i) {
        OCSP_SINGLERESP* single = OCSP_resp_get0(basic, i);
        const OCSP_CERTID* answered = OCSP_SINGLERESP_get0_id(single);
        if (!answered || OCSP_id_cmp(asked, answered) != 0)
            continue;
        int reason = 0;
        ASN1_GENERALIZEDTIME* revokedAt = nullptr;
        ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
        ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
        const int status = OCSP_single_get0_status(single, &reason, &revokedAt, &thisUpdate, &nextUpdate);
        // Five minutes of clock difference between agent and responder are tolerated.
        if (!OCSP_check_validity(thisUpdate, nextUpdate, 300, -1)) {
            qDebug() << "OCSP response is outside its validity times";
            continue;
        }
        if (status == V_OCSP_CERTSTATUS_GOOD)
            result = eStatusGood;
        else if (status == V_OCSP_CERTSTATUS_REVOKED)
            result = eStatusRevoked;
    }
    OCSP_CERTID_free(asked);
    OCSP_BASICRESP_free(basic);
    return result;
}

QString VerifyByOCSP::getSubjectName(const char* pem)
{
    const X509Ptr cert = parsePem(pem);
    return cert ? oneLineName(X509_get_subject_name(cert.get())) : QString();
}

QString VerifyByOCSP::getIssuerName(const char* pem)
{
    const X509Ptr cert = parsePem(pem);
    return cert ? oneLineName(X509_get_issuer_name(cert.get())) : QString();
}
