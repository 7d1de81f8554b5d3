#include "LogCapture.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestHttpServer.h"
#include "TestSeam.h"
#include "TestTaskRunner.h"
#include "app/AppTypes.h"
#include "performers/PackageSignature.h"
#include "performers/Upgrade.h"
#include "settings/DownloadTrust.h"
#include "settings/LocalCertificates.h"
#include "settings/VTSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Params = QMap<QString, QVariant>;

bool runTool(const QString& program, const QStringList& args, QByteArray* output = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (output) {
        *output = p.readAll();
    }
    return ok;
}

QStringList upgradeDirs()
{
    return QDir(QDir::tempPath()).entryList({"upgrade_pkg*"}, QDir::Dirs);
}

} // namespace

class TestUpgrade : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    // The system temporary directory of this process: the agent leaves its upgrade directories
    // there, and other processes' upgrades in the shared one are none of this test's business.
    QTemporaryDir m_tmp;
    TestHttpServer m_https;
    TestHttpServer m_http;
    // Serves under a certificate that neither the system store nor the management server covers.
    TestHttpServer m_untrusted;
    QByteArray m_package;
    QSslCertificate m_managementCert;
    QString m_record;
    // Generous for the real package on a loaded machine; the time-out test shortens it.
    TestSeam<int> m_downloadTimeout {Upgrade::s_downloadTimeoutMs, 30000};
    // The upgrade signing key is looked up here.
    TestSeam<QString> m_systemDir {LocalCertificates::s_systemDir, m_dir.filePath("etc")};

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_tmp.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_tmp.path()));
        QCOMPARE(QDir::tempPath(), m_tmp.path());
        TestTaskRunner::initFactory();

        // The project's own builder packs the real build, with a script that only records how
        // it was started instead of replacing this test's executable.
        m_record = m_dir.filePath("update-args");
        const QString recorder = m_dir.filePath("record.sh");
        QFile script(recorder);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/bash\nprintf '%s\\n' \"$0\" \"$@\" > '" + m_record.toUtf8() + ".part' && mv '"
                     + m_record.toUtf8() + ".part' '" + m_record.toUtf8() + "'\n");
        script.close();
        QByteArray out;
        const QString signingKey = m_dir.filePath("signing.key");
        QVERIFY(TestCertificates::runOpenssl(
            {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out", signingKey}));
        QVERIFY(QDir().mkpath(m_dir.filePath("etc/ostrelle/certs")));
        QVERIFY(TestCertificates::runOpenssl(
            {"pkey", "-in", signingKey, "-pubout", "-out", m_dir.filePath("upgrade-key.pem")}));
        QVERIFY2(runTool("bash",
                         {QStringLiteral(VT_SOURCE_DIR) + "/tools/make-upgrade-package.sh", "-b",
                          QFileInfo(VT_EXECUTABLE).absolutePath(), "-o", m_dir.filePath("out"), "-s", recorder, "-k",
                          signingKey},
                         &out),
                 out.constData());
        m_package = TestFiles::read(m_dir.filePath("out/update_64.tgz"));
        const QByteArray signature = TestFiles::read(m_dir.filePath("out/update_64.tgz.sig"));
        QVERIFY(!m_package.isEmpty());
        QVERIFY(!signature.isEmpty());

        // The same files as another user packed them, open to everyone and set-uid.
        const QString foreign = m_dir.filePath("foreign");
        QVERIFY(QDir().mkpath(foreign));
        QVERIFY(runTool("tar", {"-xzf", m_dir.filePath("out/update_64.tgz"), "-C", foreign}));
        QVERIFY(runTool("tar",
                        {"-C", foreign, "--owner=1000", "--group=1000", "--mode=a+rwx,ug+s", "-czf",
                         m_dir.filePath("foreign.tgz"), "Update"}));
        QByteArray tampered = m_package;
        tampered[tampered.size() / 2] = char(tampered.at(tampered.size() / 2) ^ 1);

        // The update script first, then more than the file-size limit below: cut anywhere past
        // the script, tar fails with the script already on disk.
        QVERIFY(QDir().mkpath(m_dir.filePath("cut/Update/files")));
        QVERIFY(QFile::copy(recorder, m_dir.filePath("cut/Update/update.sh")));
        QVERIFY(
            runTool("bash", {"-c", "head -c 4000000 /dev/urandom > " + m_dir.filePath("cut/Update/files/vantorel")}));
        QVERIFY(runTool(
            "tar",
            {"-C", m_dir.filePath("cut"), "-czf", m_dir.filePath("cut.tgz"), "Update/update.sh", "Update/files"}));
        const QByteArray cut = TestFiles::read(m_dir.filePath("cut.tgz"));

        // An archive that unpacks fine but lacks the update script.
        QVERIFY(QDir().mkpath(m_dir.filePath("bare/Update")));
        QVERIFY(runTool("tar", {"-C", m_dir.filePath("bare"), "-czf", m_dir.filePath("bare.tgz"), "Update"}));

        TestCertificates certs(m_dir.filePath("certs"));
        QVERIFY(QDir().mkpath(certs.dir()));
        QVERIFY(certs.makeCert("server", QString(), "updates.example"));
        QVERIFY(m_https.startTls(certs.certPath("server"), certs.keyPath("server")));
        // The package server uses the management server's own certificate.
        m_managementCert = QSslCertificate::fromPath(certs.certPath("server")).value(0);
        QVERIFY(!m_managementCert.isNull());
        QVERIFY(certs.makeCert("foreign", QString(), "updates.example", {"IP:127.0.0.1"}));
        QVERIFY(m_untrusted.startTls(certs.certPath("foreign"), certs.keyPath("foreign")));
        m_untrusted.setRoute("/agent/update_64.tgz", m_package);
        m_https.setRoute("/agent/update_64.tgz", m_package);
        m_https.setRoute("/agent/update_64.tgz.sig", signature);
        m_https.setRoute("/tampered/update_64.tgz", tampered);
        m_https.setRoute("/tampered/update_64.tgz.sig", signature);
        m_https.setRoute("/truncated/update_64.tgz", cut.left(cut.size() / 2));
        m_https.setCutRoute("/cut/update_64.tgz", m_package, m_package.size() / 2);
        m_https.setRoute("/agent/update_64.TGZ", m_package);
        m_https.setRoute("/agent/update_32.tgz", m_package);
        m_https.setRoute("/bare/update_64.tgz", TestFiles::read(m_dir.filePath("bare.tgz")));
        m_https.setRoute("/empty/update_64.tgz", QByteArray());
        m_https.setRoute("/foreign/update_64.tgz", TestFiles::read(m_dir.filePath("foreign.tgz")));
        QVERIFY(m_http.start());
        m_http.setRoute("/agent/update_64.tgz", m_package);
        m_http.setRoute("/agent/update_64.tgz.sig", signature);
    }

    void init()
    {
        QFile::remove(m_record);
        m_https.clearRequests();
        m_http.clearRequests();
        DownloadTrust::setServerCertificates({m_managementCert});
    }

    void cleanup()
    {
        // The agent leaves its upgrade directories for the update script.
        for (const QString& name : upgradeDirs()) {
            QDir(m_tmp.filePath(name)).removeRecursively();
        }
        IS_64_ARCH = false;
        QFile::remove(PackageSignature::keyPath());
    }

    void upgradeStartsThePackagedScript_data()
    {
        QTest::addColumn<bool>("is64");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fetched");
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<bool>("tls");
        QTest::newRow("64-bit") << true << "/agent/update.tgz"
                                << "/agent/update_64.tgz" << false << true;
        QTest::newRow("64-bit, upper-case suffix") << true << "/agent/update.TGZ"
                                                   << "/agent/update_64.TGZ" << false << true;
        QTest::newRow("32-bit") << false << "/agent/update.tgz"
                                << "/agent/update_32.tgz" << false << true;
        QTest::newRow("signed") << true << "/agent/update.tgz"
                                << "/agent/update_64.tgz" << true << true;
        QTest::newRow("plain http, signed") << true << "/agent/update.tgz"
                                            << "/agent/update_64.tgz" << true << false;
        QTest::newRow("members of another user, open to all") << true << "/foreign/update.tgz"
                                                              << "/foreign/update_64.tgz" << false << true;
    }

    void upgradeStartsThePackagedScript()
    {
        QFETCH(bool, is64);
        QFETCH(QString, path);
        QFETCH(QString, fetched);
        QFETCH(bool, withKey);
        QFETCH(bool, tls);
        IS_64_ARCH = is64;
        if (withKey) {
            QVERIFY(QFile::copy(m_dir.filePath("upgrade-key.pem"), PackageSignature::keyPath()));
        }
        TestHttpServer& server = tls ? m_https : m_http;
        LogCapture log;
        // Whatever mask the agent was started with, the unpacked files must not come out writable.
        const mode_t mask = ::umask(0);
        const TaskOutcome outcome = TestTaskRunner::run(Upgrade::msg_name, {{"url", server.url(path)}});
        ::umask(mask);
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.error, QString());
        QCOMPARE(outcome.result, QVariant(true));
        const QStringList requested = withKey ? QStringList {fetched, fetched + ".sig"} : QStringList {fetched};
        QCOMPARE(server.requestedTargets(), requested);
        QCOMPARE(log.containsText("is not signature-checked"), !withKey);

        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_record), 20000);
        QStringList args = QString::fromUtf8(TestFiles::read(m_record)).split('\n');
        QCOMPARE(args.takeLast(), QString());
        QCOMPARE(args.size(), 9);
        const QString script = args.at(0);
        QVERIFY2(script.startsWith(QDir::tempPath() + "/upgrade_pkg") && script.endsWith("/Update/update.sh"),
                 qPrintable(script));
        VTSettings* settings = VTSettings::instance();
        QCOMPARE(args.mid(1),
                 (QStringList {"-pid", QString::number(QCoreApplication::applicationPid()), "-path",
                               QCoreApplication::applicationDirPath(), "-t", settings->appType(), "-v",
                               settings->visible() ? "1" : "0"}));
        // The packed build sits beside the script, and the downloaded package stays too.
        const QDir updateDir = QFileInfo(script).dir();
        QCOMPARE(TestFiles::read(updateDir.filePath("files/vantorel")), TestFiles::read(VT_EXECUTABLE));
        QVERIFY(updateDir.exists("files/stopVt.sh"));
        QDir pkgDir = updateDir;
        pkgDir.cdUp();
        QCOMPARE(pkgDir.entryList({"upgrade_pkg.tgz*"}, QDir::Files).size(), 1);
        // Nothing unpacked keeps the packer's owner, a write bit for others or a set-id bit.
        QDirIterator unpacked(pkgDir.path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                              QDirIterator::Subdirectories);
        while (unpacked.hasNext()) {
            const QString entry = unpacked.next();
            struct stat info
            {
            };
            QCOMPARE(::lstat(QFile::encodeName(entry).constData(), &info), 0);
            QVERIFY2(info.st_uid == ::geteuid() && info.st_gid == ::getegid(), qPrintable(entry));
            QVERIFY2((info.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH)) == 0 || S_ISLNK(info.st_mode),
                     qPrintable(entry));
        }
    }

    void failures_data()
    {
        QTest::addColumn<Params>("params");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("critical");
        QTest::addColumn<bool>("withKey");
        QTest::addColumn<qint64>("fileSizeLimit");

        const QString bad = "Vantorel not updated: ";
        QTest::newRow("no url") << Params {} << "Unable to parse JSON request unable to find url param"
                                << "" << false << qint64(0);
        QTest::newRow("empty url") << Params {{"url", ""}} << bad + "URL is empty"
                                   << "Upgrade failed" << false << qint64(0);
        QTest::newRow("not tgz") << Params {{"url", m_https.url("/agent/update.zip")}}
                                 << bad + "Specified file update.zip is not a .tgz archive."
                                 << "Upgrade failed" << false << qint64(0);
        QTest::newRow("not found") << Params {{"url", m_https.url("/missing/update.tgz")}}
                                   << bad + "Cannot download archive."
                                   << "Upgrade failed" << false << qint64(0);
        QTest::newRow("empty body") << Params {{"url", m_https.url("/empty/update.tgz")}}
                                    << bad + "Cannot download archive."
                                    << "Upgrade failed" << false << qint64(0);
        QTest::newRow("no update script")
            << Params {{"url", m_https.url("/bare/update.tgz")}} << bad + "Update script not found in archive"
            << "upgrade failed - update script is not found" << false << qint64(0);
        QTest::newRow("certificate no anchor covers")
            << Params {{"url", m_untrusted.url("/agent/update.tgz")}} << bad + "Cannot download archive."
            << "Upgrade failed" << false << qint64(0);
        QTest::newRow("truncated package")
            << Params {{"url", m_https.url("/truncated/update.tgz")}} << bad + "Cannot unpack archive"
            << "upgrade failed - can't unpack update package" << false << qint64(0);
        QTest::newRow("cut mid-download")
            << Params {{"url", m_https.url("/cut/update.tgz")}} << bad + "Cannot download archive."
            << "Upgrade failed" << false << qint64(0);
        QTest::newRow("disk full while downloading")
            << Params {{"url", m_https.url("/agent/update.tgz")}} << bad + "Cannot download archive."
            << "Upgrade failed" << false << qint64(m_package.size() / 2);
        QTest::newRow("disk full while unpacking")
            << Params {{"url", m_https.url("/agent/update.tgz")}} << bad + "Cannot unpack archive"
            << "upgrade failed - can't unpack update package" << false << qint64(m_package.size() + 65536);
        QTest::newRow("tampered package")
            << Params {{"url", m_https.url("/tampered/update.tgz")}} << bad + "Archive signature is not valid."
            << "upgrade failed - package signature refused" << true << qint64(0);
        QTest::newRow("plain http without a signing key")
            << Params {{"url", m_http.url("/agent/update.tgz")}} << bad + "Cannot download archive."
            << "Upgrade failed" << false << qint64(0);
        QTest::newRow("signature missing")
            << Params {{"url", m_https.url("/truncated/update.tgz")}} << bad + "Cannot download archive signature."
            << "Upgrade failed" << true << qint64(0);
    }

    void failures()
    {
        QFETCH(Params, params);
        QFETCH(QString, error);
        QFETCH(QString, critical);
        QFETCH(bool, withKey);
        QFETCH(qint64, fileSizeLimit);
        IS_64_ARCH = true;
        if (withKey) {
            QVERIFY(QFile::copy(m_dir.filePath("upgrade-key.pem"), PackageSignature::keyPath()));
        }
        LogCapture log;
        rlimit unlimited {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        if (fileSizeLimit > 0) {
            // A full disk as the process sees it: writes past the limit fail instead of killing it.
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limited {rlim_t(fileSizeLimit), unlimited.rlim_max};
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        }
        const TaskOutcome outcome = TestTaskRunner::run(Upgrade::msg_name, params);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        QCOMPARE(upgradeDirs(), QStringList());
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.error, error);
        QVERIFY(outcome.result.isNull());
        QVERIFY(!QFile::exists(m_record));
        // A refused scheme asks nothing of the server.
        QCOMPARE(m_http.requestedTargets(), QStringList());
        if (!critical.isEmpty()) {
            QVERIFY(log.contains(QtCriticalMsg, critical));
        }
    }

    void downloadTimeoutAndOneUpgradeAtATime()
    {
        TestHttpServer silent;
        QVERIFY(silent.start());
        silent.setSilent(true);
        IS_64_ARCH = true;
        // Plain http is taken only for a package that a key can check.
        QVERIFY(QFile::copy(m_dir.filePath("upgrade-key.pem"), PackageSignature::keyPath()));
        // While the first upgrade waits for its package, the server asks for another one.
        TaskOutcome second;
        const QMetaObject::Connection asking = connect(&silent, &TestHttpServer::requestReceived, this, [&] {
            second = TestTaskRunner::run(Upgrade::msg_name, {{"url", m_https.url("/agent/update.tgz")}});
        });
        TestSeam shortTimeout(Upgrade::s_downloadTimeoutMs, 1500);
        QElapsedTimer clock;
        clock.start();
        const TaskOutcome outcome
            = TestTaskRunner::run(Upgrade::msg_name, {{"url", silent.url("/agent/update.tgz?channel=update")}});
        const qint64 elapsed = clock.elapsed();
        disconnect(asking);
        QCOMPARE(outcome.error, QString("Vantorel not updated: Cannot download archive."));
        QVERIFY2(elapsed >= 1500, qPrintable(QString::number(elapsed)));
        // The server may read the request only after the client gave up on it.
        QTRY_COMPARE_WITH_TIMEOUT(silent.requestedTargets().size(), 1, 10000);
        // Only the file name names the variant; the query is the server's.
        QCOMPARE(silent.requestedTargets(), QStringList {"/agent/update_64.tgz?channel=update"});
        if (second.finished) {
            QCOMPARE(second.error, QString("Vantorel not updated: Another upgrade is in progress."));
        }
        QCOMPARE(m_https.requestedTargets(), QStringList());
        QCOMPARE(upgradeDirs(), QStringList());
    }

    void variantUrlChangesOnlyTheFileName_data()
    {
        QTest::addColumn<bool>("is64");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("variant");
        QTest::newRow("host and directories named update")
            << true << "https://update.example:8443/update/agent/update.tgz"
            << "https://update.example:8443/update/agent/update_64.tgz";
        QTest::newRow("every update in the file name, 32-bit") << false << "https://h.example/update-update.tgz"
                                                               << "https://h.example/update_32-update_32.tgz";
        QTest::newRow("query and fragment kept") << true << "https://h.example/update.tgz?update=1#update"
                                                 << "https://h.example/update_64.tgz?update=1#update";
        QTest::newRow("encoded blank kept") << true << "https://h.example/my%20dir/update.tgz"
                                            << "https://h.example/my%20dir/update_64.tgz";
    }

    void variantUrlChangesOnlyTheFileName()
    {
        QFETCH(bool, is64);
        QFETCH(QString, url);
        QFETCH(QString, variant);
        IS_64_ARCH = is64;
        QCOMPARE(Upgrade::variantUrl(url), variant);
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
