#include "TestCertificates.h"

#include <QSslCertificate>
#include <QTemporaryDir>
#include <QtTest>

// The certificate maker underpins every TLS test, so its output is checked with Qt's own parser.
class TestTestCertificates : public QObject
{
    Q_OBJECT

private slots:
    void issuedLeafCarriesNamesAndChainsToCa()
    {
        QTemporaryDir dir;
        TestCertificates certs(dir.path());
        QVERIFY(certs.makeCa("ca", "Test Root"));
        QVERIFY(certs.makeCert("leaf", "ca", "leaf.example", {"DNS:leaf.example", "IP:127.0.0.1"}));

        const auto leaf = QSslCertificate::fromPath(certs.certPath("leaf"));
        const auto ca = QSslCertificate::fromPath(certs.certPath("ca"));
        QCOMPARE(leaf.size(), 1);
        QCOMPARE(ca.size(), 1);
        QCOMPARE(leaf[0].subjectInfo(QSslCertificate::CommonName), QStringList {"leaf.example"});
        QCOMPARE(leaf[0].issuerInfo(QSslCertificate::CommonName), QStringList {"Test Root"});
        QCOMPARE(leaf[0].subjectAlternativeNames().values(QSsl::DnsEntry), QList<QString> {"leaf.example"});
        QCOMPARE(leaf[0].subjectAlternativeNames().values(QSsl::IpAddressEntry), QList<QString> {"127.0.0.1"});
        QVERIFY(ca[0].isSelfSigned());
        QVERIFY(!leaf[0].isSelfSigned());
        QCOMPARE(QString(leaf[0].serialNumber()).remove(':').toUpper(), certs.serialHex("leaf"));

        QByteArray out;
        QVERIFY(
            TestCertificates::runOpenssl({"verify", "-CAfile", certs.certPath("ca"), certs.certPath("leaf")}, &out));
    }

    void selfSignedLeafVerifiesAgainstItself()
    {
        QTemporaryDir dir;
        TestCertificates certs(dir.path());
        QVERIFY(certs.makeCert("self", QString(), "self.example"));
        const auto self = QSslCertificate::fromPath(certs.certPath("self"));
        QCOMPARE(self.size(), 1);
        QVERIFY(self[0].isSelfSigned());
    }
};

QTEST_GUILESS_MAIN(TestTestCertificates)
#include "tst_testcertificates.moc"
