#include "LogCapture.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestSeam.h"
#include "settings/LocalCertificates.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

class TestLocalCertificates : public QObject
{
    Q_OBJECT

    QTemporaryDir m_material;
    QByteArray m_leafPem;
    QByteArray m_rootPem;
    QByteArray m_rsaKey;
    QByteArray m_encryptedKey;
    QByteArray m_ecKey;

private slots:
    void initTestCase()
    {
        TestCertificates certs(m_material.path());
        QVERIFY(certs.makeCa("root", "Agent Root"));
        QVERIFY(certs.makeCert("leaf", "root", "agent.example"));
        m_leafPem = TestFiles::read(certs.certPath("leaf"));
        m_rootPem = TestFiles::read(certs.certPath("root"));
        m_ecKey = TestFiles::read(certs.keyPath("leaf"));

        const QString rsa = m_material.filePath("rsa.key");
        const QString encrypted = m_material.filePath("enc.key");
        QVERIFY(TestCertificates::runOpenssl(
            {"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out", rsa}));
        QVERIFY(TestCertificates::runOpenssl(
            {"pkey", "-in", rsa, "-aes256", "-passout", "pass:secret", "-out", encrypted}));
        m_rsaKey = TestFiles::read(rsa);
        m_encryptedKey = TestFiles::read(encrypted);
        QVERIFY(!m_rsaKey.isEmpty() && m_encryptedKey.contains("ENCRYPTED"));
    }

    void rootLooksUnderSystemDirectory()
    {
        QCOMPARE(getPath(path_type_cert), QString("/etc/ostrelle/certs/ot_vt_cert.pem"));
        QCOMPARE(getPath(path_type_key), QString("/etc/ostrelle/certs/ot_vt_cert.key"));
    }

    void readAsRoot_data()
    {
        QTest::addColumn<QByteArray>("certFile");
        QTest::addColumn<QByteArray>("keyFile");
        QTest::addColumn<int>("certCount");
        QTest::addColumn<bool>("keyRead");
        QTest::addColumn<QString>("expectedDebug");

        const QByteArray none; // no file at all
        QTest::newRow("leaf and self-signed root")
            << m_leafPem + m_rootPem << m_rsaKey << 2 << true << QString("Path to");
        QTest::newRow("files missing") << none << none << 0 << false << QString("] not exists");
        QTest::newRow("encrypted key") << m_leafPem << m_encryptedKey << 1 << false << QString("Private key is null");
        QTest::newRow("key of another algorithm")
            << m_leafPem << m_ecKey << 1 << false << QString("Private key is null");
        QTest::newRow("no certificate in file")
            << QByteArray("not a certificate\n") << m_rsaKey << 0 << true << QString("Can't find certificate by path");
    }

    void readAsRoot()
    {
        QFETCH(QByteArray, certFile);
        QFETCH(QByteArray, keyFile);
        QFETCH(int, certCount);
        QFETCH(bool, keyRead);
        QFETCH(QString, expectedDebug);

        QTemporaryDir etc;
        TestSeam systemDir(LocalCertificates::s_systemDir, etc.path());
        QVERIFY(QDir().mkpath(etc.filePath("ostrelle/certs")));
        if (!certFile.isEmpty())
            QVERIFY(TestFiles::write(etc.filePath("ostrelle/certs/ot_vt_cert.pem"), certFile));
        if (!keyFile.isEmpty())
            QVERIFY(TestFiles::write(etc.filePath("ostrelle/certs/ot_vt_cert.key"), keyFile));

        LogCapture log;
        QList<QSslCertificate> certs;
        QSslKey key;
        QCOMPARE(getLocalCert(certs), certCount > 0);
        QCOMPARE(getPrivateKey(key), keyRead);
        QCOMPARE(key.isNull(), !keyRead);
        QVERIFY2(log.contains(QtDebugMsg, expectedDebug), qPrintable(expectedDebug));
        QVERIFY(log.containsText(etc.path() + "/ostrelle/certs/ot_vt_cert.pem"));

        if (certCount > 0) {
            QCOMPARE(certs.size(), certCount);
            QCOMPARE(certs.first(), QSslCertificate(m_leafPem));
            if (certCount == 2)
                QCOMPARE(certs.last(), QSslCertificate(m_rootPem));
        }
        if (keyRead)
            QCOMPARE(key.algorithm(), QSsl::Rsa);
    }

    void unopenableFileIsReported()
    {
        QTemporaryDir etc;
        TestSeam systemDir(LocalCertificates::s_systemDir, etc.path());
        // A directory in place of the key file exists but cannot be read, even by root.
        QVERIFY(QDir().mkpath(etc.filePath("ostrelle/certs/ot_vt_cert.key")));
        LogCapture log;
        QSslKey key;
        QVERIFY(!getPrivateKey(key));
        QVERIFY(log.contains(QtDebugMsg, "Can't open "));
        QVERIFY(log.contains(QtDebugMsg, "Can't get data from key file"));
    }

    // Runs the lookup in a child process that has given up root, with HOME pointing at a
    // directory of the test's own; the answers come back through a pipe.
    void nonRootUserReadsFromHome()
    {
        const passwd* nobody = getpwnam("nobody");
        if (!nobody)
            QSKIP("no unprivileged user on this host");
        if (getuid() != 0)
            QSKIP("needs root to switch users");

        QTemporaryDir home;
        QVERIFY(QDir().mkpath(home.filePath("ostrelle/certs")));
        QVERIFY(TestFiles::write(home.filePath("ostrelle/certs/ot_vt_cert.pem"), m_leafPem + m_rootPem));
        QVERIFY(TestFiles::write(home.filePath("ostrelle/certs/ot_vt_cert.key"), m_rsaKey));
        for (const QString& path :
             {home.path(), home.filePath("ostrelle"), home.filePath("ostrelle/certs"),
              home.filePath("ostrelle/certs/ot_vt_cert.pem"), home.filePath("ostrelle/certs/ot_vt_cert.key")})
            QVERIFY(chown(QFile::encodeName(path).constData(), nobody->pw_uid, nobody->pw_gid) == 0);

        int fds[2];
        QVERIFY(pipe(fds) == 0);
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            close(fds[0]);
            QByteArray report;
            if (setgid(nobody->pw_gid) == 0 && setuid(nobody->pw_uid) == 0) {
                qputenv("HOME", QFile::encodeName(home.path()));
                QList<QSslCertificate> certs;
                QSslKey key;
                const bool certOk = getLocalCert(certs);
                const bool keyOk = getPrivateKey(key);
                report = getPath(path_type_cert).toUtf8() + "\n" + QByteArray::number(certOk ? certs.size() : -1) + "\n"
                    + (keyOk ? "key" : "nokey") + "\n";
                // Once unreadable to its owner, the key must fail to open rather than read empty.
                QFile::setPermissions(home.filePath("ostrelle/certs/ot_vt_cert.key"), QFileDevice::Permissions());
                LogCapture log;
                report += (!getPrivateKey(key) && log.contains(QtDebugMsg, "Can't open ")) ? "refused" : "read";
            }
            (void)!write(fds[1], report.constData(), size_t(report.size()));
            _exit(0);
        }
        close(fds[1]);
        QByteArray report;
        char buffer[1024];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
            report.append(buffer, int(n));
        close(fds[0]);
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);

        const QList<QByteArray> lines = report.split('\n');
        QCOMPARE(lines.size(), 4);
        QCOMPARE(QString(lines[0]), home.path() + "/ostrelle/certs/ot_vt_cert.pem");
        QCOMPARE(lines[1], QByteArray("2"));
        QCOMPARE(lines[2], QByteArray("key"));
        QCOMPARE(lines[3], QByteArray("refused"));
    }
};

QTEST_GUILESS_MAIN(TestLocalCertificates)
#include "tst_localcertificates.moc"
