#include "LogCapture.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestHttpServer.h"
#include "TestSeam.h"
#include "TestTaskRunner.h"
#include "app/AppTypes.h"
#include "performers/Upgrade.h"
#include "settings/VTSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
    QByteArray m_package;
    QString m_record;
    // Generous for the real package on a loaded machine; the time-out test shortens it.
    TestSeam<int> m_downloadTimeout {Upgrade::s_downloadTimeoutMs, 30000};

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
        QVERIFY2(runTool("bash",
                         {QStringLiteral(VT_SOURCE_DIR) + "/tools/make-upgrade-package.sh", "-b",
                          QFileInfo(VT_EXECUTABLE).absolutePath(), "-o", m_dir.filePath("out"), "-s", recorder},
                         &out),
                 out.constData());
        m_package = TestFiles::read(m_dir.filePath("out/update_64.tgz"));
        QVERIFY(!m_package.isEmpty());

        // An archive that unpacks fine but lacks the update script.
        QVERIFY(QDir().mkpath(m_dir.filePath("bare/Update")));
        QVERIFY(runTool("tar", {"-C", m_dir.filePath("bare"), "-czf", m_dir.filePath("bare.tgz"), "Update"}));

        TestCertificates certs(m_dir.filePath("certs"));
        QVERIFY(QDir().mkpath(certs.dir()));
        QVERIFY(certs.makeCert("server", QString(), "updates.example"));
        QVERIFY(m_https.startTls(certs.certPath("server"), certs.keyPath("server")));
        m_https.setRoute("/agent/update_64.tgz", m_package);
        m_https.setRoute("/agent/update_64.TGZ", m_package);
        m_https.setRoute("/agent/update_32.tgz", m_package);
        m_https.setRoute("/bare/update_64.tgz", TestFiles::read(m_dir.filePath("bare.tgz")));
        m_https.setRoute("/empty/update_64.tgz", QByteArray());
    }

    void init()
    {
        QFile::remove(m_record);
        m_https.clearRequests();
    }

    void cleanup()
    {
        // The agent leaves its upgrade directories for the update script.
        for (const QString& name : upgradeDirs()) {
            QDir(m_tmp.filePath(name)).removeRecursively();
        }
        IS_64_ARCH = false;
    }

    void upgradeStartsThePackagedScript_data()
    {
        QTest::addColumn<bool>("is64");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("fetched");
        QTest::newRow("64-bit") << true << "/agent/update.tgz"
                                << "/agent/update_64.tgz";
        QTest::newRow("64-bit, upper-case suffix") << true << "/agent/update.TGZ"
                                                   << "/agent/update_64.TGZ";
        QTest::newRow("32-bit") << false << "/agent/update.tgz"
                                << "/agent/update_32.tgz";
    }

    void upgradeStartsThePackagedScript()
    {
        QFETCH(bool, is64);
        QFETCH(QString, path);
        QFETCH(QString, fetched);
        IS_64_ARCH = is64;
        const TaskOutcome outcome = TestTaskRunner::run(Upgrade::msg_name, {{"url", m_https.url(path)}});
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.error, QString());
        QCOMPARE(outcome.result, QVariant(true));
        QCOMPARE(m_https.requestedTargets(), QStringList {fetched});

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
    }

    void failures_data()
    {
        QTest::addColumn<Params>("params");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("critical");

        const QString bad = "Vantorel not updated: ";
        QTest::newRow("no url") << Params {} << "Unable to parse JSON request unable to find url param"
                                << "";
        QTest::newRow("empty url") << Params {{"url", ""}} << bad + "URL is empty"
                                   << "Upgrade failed";
        QTest::newRow("not tgz") << Params {{"url", m_https.url("/agent/update.zip")}}
                                 << bad + "Specified file update.zip is not a .tgz archive."
                                 << "Upgrade failed";
        QTest::newRow("not found") << Params {{"url", m_https.url("/missing/update.tgz")}}
                                   << bad + "Cannot download archive."
                                   << "Upgrade failed";
        QTest::newRow("empty body") << Params {{"url", m_https.url("/empty/update.tgz")}}
                                    << bad + "Cannot download archive."
                                    << "Upgrade failed";
        QTest::newRow("no update script")
            << Params {{"url", m_https.url("/bare/update.tgz")}} << bad + "Update script not found in archive"
            << "upgrade failed - update script is not found";
    }

    void failures()
    {
        QFETCH(Params, params);
        QFETCH(QString, error);
        QFETCH(QString, critical);
        IS_64_ARCH = true;
        LogCapture log;
        const TaskOutcome outcome = TestTaskRunner::run(Upgrade::msg_name, params);
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.error, error);
        QVERIFY(outcome.result.isNull());
        QVERIFY(!QFile::exists(m_record));
        if (!critical.isEmpty()) {
            QVERIFY(log.contains(QtCriticalMsg, critical));
        }
    }

    void downloadTimeout()
    {
        TestHttpServer silent;
        QVERIFY(silent.start());
        silent.setSilent(true);
        IS_64_ARCH = true;
        // Long enough for the request to reach the server on a loaded machine.
        TestSeam shortTimeout(Upgrade::s_downloadTimeoutMs, 1500);
        const TaskOutcome outcome
            = TestTaskRunner::run(Upgrade::msg_name, {{"url", silent.url("/agent/update.tgz?channel=update")}});
        QCOMPARE(outcome.error, QString("Vantorel not updated: Cannot download archive."));
        // Every "update" is replaced, the query's too.
        QCOMPARE(silent.requestedTargets(), QStringList {"/agent/update_64.tgz?channel=update_64"});
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "tst_upgrade.moc"
