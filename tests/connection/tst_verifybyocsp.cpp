#include "LogCapture.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestOcspResponder.h"
#include "connection/VerifyByOCSP.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <openssl/ocsp.h>
#include <openssl/pem.h>

namespace {

QString aia(const QString& url)
{
    return "authorityInfoAccess = OCSP;URI:" + url;
}

QSslCertificate load(const TestCertificates& certs, const QString& name)
{
    const auto list = QSslCertificate::fromPath(certs.certPath(name));
    return list.isEmpty() ? QSslCertificate() : list.first();
}

} // namespace

class TestVerifyByOcsp : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    TestCertificates m_certs {m_dir.path()};
    TestOcspResponder m_responder;
    // Knows the same revocation but signs with a key of its own.
    TestOcspResponder m_foreignResponder;
    // Listens and never reads: connections complete in the kernel and then hear nothing.
    QTcpServer m_silent;
    // Stands where an "https" responder would be, to show nobody connects to it.
    QTcpServer m_https;
    quint16 m_refusedPort = 0;

private slots:
    void initTestCase()
    {
        const quint16 port = TestOcspResponder::freePort();
        QVERIFY(port != 0);
        const quint16 foreignPort = TestOcspResponder::freePort();
        QVERIFY(foreignPort != 0 && foreignPort != port);
        QVERIFY(m_silent.listen(QHostAddress::LocalHost, 0));
        QVERIFY(m_https.listen(QHostAddress::LocalHost, 0));
        m_refusedPort = TestOcspResponder::freePort();
        const QString http = QStringLiteral("http://127.0.0.1:%1").arg(port);

        QVERIFY(m_certs.makeCa("ca", "OCSP Test Root"));
        QVERIFY(m_certs.makeCert("good", "ca", "good.example", {}, {aia(http)}));
        QVERIFY(m_certs.makeCert("revoked", "ca", "revoked.example", {}, {aia(http)}));
        QVERIFY(m_certs.makeCert("unknown", "ca", "unknown.example", {}, {aia(http)}));
        QVERIFY(m_certs.makeCert("nourl", "ca", "nourl.example"));
        QVERIFY(m_certs.makeCert("https", "ca", "https.example", {},
                                 {aia(QStringLiteral("https://127.0.0.1:%1").arg(m_https.serverPort()))}));
        QVERIFY(m_certs.makeCert("silent", "ca", "silent.example", {},
                                 {aia(QStringLiteral("http://127.0.0.1:%1").arg(m_silent.serverPort()))}));
        QVERIFY(m_certs.makeCert("refused", "ca", "refused.example", {},
                                 {aia(QStringLiteral("http://127.0.0.1:%1").arg(m_refusedPort))}));
        // An https responder first, then the real one: the first is skipped, the second asked.
        QVERIFY(m_certs.makeCert("httpsThenHttp", "ca", "second.example", {},
                                 {"authorityInfoAccess = OCSP;URI:https://127.0.0.1:"
                                  + QString::number(m_https.serverPort()) + ", OCSP;URI:" + http}));
        QVERIFY(m_certs.makeCert("self", QString(), "self.example"));
        QVERIFY(m_certs.makeCert("foreignSigned", "ca", "foreign.example", {},
                                 {aia(QStringLiteral("http://127.0.0.1:%1").arg(foreignPort))}));
        QVERIFY(m_certs.makeCa("foreign", "Somebody Else"));
        QVERIFY(m_foreignResponder.start(foreignPort, m_certs, "ca", {}, {"foreignSigned"}, "foreign"));

        QVERIFY(m_responder.start(port, m_certs, "ca", {"good", "httpsThenHttp"}, {"revoked"}));
    }

    void cleanup() { VerifyByOCSP::s_responderTimeoutMs = 30000; }

    void chainAgainstResponder_data()
    {
        QTest::addColumn<QString>("leaf");
        QTest::addColumn<bool>("withIssuer");
        QTest::addColumn<int>("mode");
        QTest::addColumn<bool>("rejected");
        QTest::addColumn<QString>("status"); // empty: no failure line at all

        QTest::newRow("good") << "good" << true << 0 << false << QString();
        QTest::newRow("revoked rejects") << "revoked" << true << 0 << true << "Revoked";
        QTest::newRow("revoked only reported in mode 57") << "revoked" << true << 57 << false << "Revoked";
        QTest::newRow("unknown to responder") << "unknown" << true << 0 << false << "Unknown";
        QTest::newRow("no responder url") << "nourl" << true << 0 << false << "Unknown";
        QTest::newRow("https responder skipped") << "https" << true << 0 << false << "Unknown";
        QTest::newRow("next url after https") << "httpsThenHttp" << true << 0 << false << QString();
        QTest::newRow("issuer not in chain") << "revoked" << false << 0 << false << "Unknown";
        QTest::newRow("responder refuses") << "refused" << true << 0 << false << "Unknown";
        QTest::newRow("revoked by a foreign signer") << "foreignSigned" << true << 0 << false << "Unknown";
    }

    void chainAgainstResponder()
    {
        QFETCH(QString, leaf);
        QFETCH(bool, withIssuer);
        QFETCH(int, mode);
        QFETCH(bool, rejected);
        QFETCH(QString, status);

        QList<QSslCertificate> chain {load(m_certs, leaf)};
        if (withIssuer)
            chain << load(m_certs, "ca");
        QVERIFY(!chain.first().isNull());

        LogCapture log;
        QCOMPARE(VerifyByOCSP::isChainRevoked(chain, mode), rejected);
        QVERIFY(log.contains(QtDebugMsg, "Success to load OCSP"));
        if (status.isEmpty()) {
            QVERIFY(!log.containsText("in chain failed with status"));
        } else {
            QVERIFY(log.contains(QtDebugMsg, "Certificate at placed [ 0 ] in chain failed with status: "));
            QVERIFY(log.contains(QtDebugMsg, status));
            // The CA at index 1 is self-signed and never asked about.
            QVERIFY(!log.containsText("[ 1 ]"));
        }
        QVERIFY2(!m_https.hasPendingConnections() && !m_https.waitForNewConnection(0),
                 "an https responder was contacted");
    }

    void silentResponderTimesOut()
    {
        VerifyByOCSP::s_responderTimeoutMs = 300;
        LogCapture log;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!VerifyByOCSP::isChainRevoked({load(m_certs, "silent"), load(m_certs, "ca")}, 0));
        QVERIFY(timer.elapsed() >= 300);
        QVERIFY(timer.elapsed() < 5000);
        QVERIFY(log.contains(QtDebugMsg, "Responder Error: Timeout on request"));
        QVERIFY(log.contains(QtDebugMsg, "Error quering OCSP responder"));
        QVERIFY(log.contains(QtDebugMsg, "Unknown"));
    }

    void singleSelfSignedIsNotChecked()
    {
        LogCapture log;
        QVERIFY(!VerifyByOCSP::isChainRevoked({load(m_certs, "self")}, 0));
        QVERIFY(log.contains(QtDebugMsg, "chain of size 1 with self signed certificate"));
        QVERIFY(!log.containsText("Success to load OCSP"));
    }

    // Real responses holding several single responses, fetched with the openssl client: only
    // the answer about the certificate asked for counts.
    void answerAboutTheAskedCertificateDecides_data()
    {
        QTest::addColumn<QStringList>("certs");
        QTest::addColumn<QString>("asked");
        QTest::addColumn<int>("expected");

        QTest::newRow("good among revoked")
            << QStringList {"revoked", "good"} << "good" << int(VerifyByOCSP::eStatusGood);
        QTest::newRow("revoked among good")
            << QStringList {"revoked", "good"} << "revoked" << int(VerifyByOCSP::eStatusRevoked);
        QTest::newRow("answer for another certificate")
            << QStringList {"revoked"} << "good" << int(VerifyByOCSP::eStatusUnknown);
        QTest::newRow("unknown only") << QStringList {"unknown"} << "unknown" << int(VerifyByOCSP::eStatusUnknown);
    }

    void answerAboutTheAskedCertificateDecides()
    {
        QFETCH(QStringList, certs);
        QFETCH(QString, asked);
        QFETCH(int, expected);

        const QString der = m_dir.filePath("response.der");
        QStringList args {"ocsp",
                          "-issuer",
                          m_certs.certPath("ca"),
                          "-url",
                          m_responder.url(),
                          "-respout",
                          der,
                          "-noverify",
                          "-no_nonce",
                          "-timeout",
                          "10"};
        for (const QString& name : certs)
            args << "-cert" << m_certs.certPath(name);
        QVERIFY(TestCertificates::runOpenssl(args));

        const QByteArray bytes = TestFiles::read(der);
        const unsigned char* cursor = reinterpret_cast<const unsigned char*>(bytes.constData());
        OCSP_RESPONSE* response = d2i_OCSP_RESPONSE(nullptr, &cursor, bytes.size());
        QVERIFY(response);
        const auto x509 = [this](const QString& name) {
            const QByteArray pem = TestFiles::read(m_certs.certPath(name));
            BIO* bio = BIO_new_mem_buf(pem.constData(), pem.size());
            X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            BIO_free(bio);
            return cert;
        };
        X509* cert = x509(asked);
        X509* issuer = x509("ca");
        QVERIFY(cert && issuer);
        QCOMPARE(VerifyByOCSP::parseResponse(response, cert, issuer), expected);
        X509_free(cert);
        X509_free(issuer);
        OCSP_RESPONSE_free(response);
    }
};

QTEST_GUILESS_MAIN(TestVerifyByOcsp)
#include "tst_verifybyocsp.moc"
