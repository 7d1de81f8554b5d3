#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestInstanceLock.h"
#include "TestProgramDir.h"
#include "TestSeam.h"
#include "settings/VTSettings.h"

#include <optional>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// A real certificate as a JSON string, made once: configurations are taken only when one parses.
QByteArray pemJson;
QByteArray goodSite;

} // namespace

class TestVTSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QTemporaryDir certDir;
        TestCertificates certs(certDir.path());
        QVERIFY(certs.makeCert("server", QString(), "server", {}));
        const QJsonArray wrapped {QString::fromUtf8(TestFiles::read(certs.certPath("server")))};
        pemJson = QJsonDocument(wrapped).toJson(QJsonDocument::Compact).mid(1).chopped(1);
        goodSite = R"({"servers": [{"server": "10.0.0.5", "cert": )" + pemJson + "}]}";
    }

    void init()
    {
        // A fresh directory per case: the settings facility caches files by name within a process.
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_directory.emplace(VTSettings::s_directory, m_dir->path());
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<int>("sites");

        QTest::newRow("valid, hidden tray")
            << QByteArray(R"({"app_type": "ws", "visible": false, "sites": [)" + goodSite + "]}") << 0 << QString()
            << false << 1;
        QTest::newRow("visible missing keeps the tray")
            << QByteArray(R"({"app_type": "ws", "sites": [)" + goodSite + "]}") << 0
            << "VTSettings::load: visible not found" << true << 1;
        QTest::newRow("bad site left out")
            << QByteArray(R"({"app_type": "ws", "visible": true, "sites": [{"x": 1}, )" + goodSite + "]}") << 0
            << "No servers loaded" << true << 1;
        QTest::newRow("servers all without certificate")
            << QByteArray(R"({"app_type": "ws", "visible": true, "sites": [{"servers": [{"server": "a"}]}]})") << 2
            << "VTSettings::load: No sites loaded" << true << 0;
        QTest::newRow("no sites key") << QByteArray(R"({"app_type": "ws", "visible": true})") << 2
                                      << "VTSettings::load: No sites loaded" << true << 0;
        QTest::newRow("no app_type") << QByteArray(R"({"visible": true, "sites": [)" + goodSite + "]}") << 2
                                     << "VTSettings::load: app_type not found" << true << 0;
        QTest::newRow("array document") << QByteArray(R"([1, 2])") << 2 << "VTSettings::load: app_type not found"
                                        << true << 0;
        QTest::newRow("not JSON") << QByteArray(R"({"app_type": )") << 2
                                  << "VTSettings::load: Settings file corrupted. file name" << true << 0;
        QTest::newRow("missing file") << QByteArray() << 2 << "VTSettings::load: app_type not found" << true << 0;
    }

    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, result);
        QFETCH(QString, message);
        QFETCH(bool, visible);
        QFETCH(int, sites);

        if (!content.isEmpty()) {
            QVERIFY(TestFiles::write(settingsPath(), content));
        }
        if (!message.isEmpty()) {
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^" + QRegularExpression::escape(message)));
        }
        VTSettings settings;
        settings.setScope(QSettings::SystemScope, false);
        QCOMPARE(settings.load(), result);
        QCOMPARE(settings.visible(), visible);
        QCOMPARE(settings.siteCount(), sites);
        QCOMPARE(settings.fileName(), settingsPath());
        if (result != 0) {
            // A file that failed to load is never rewritten.
            QCOMPARE(TestFiles::read(settingsPath()), content);
        }
    }

    void loadRewritesInNormalForm()
    {
        QVERIFY(TestFiles::write(settingsPath(),
                                 R"({"visible":false,"sites":[)" + goodSite + R"(],"debug":true,"app_type":"ws"})"));
        VTSettings settings;
        QCOMPARE(settings.load(), 0);
        QVERIFY(settings.debug());

        const QByteArray text = TestFiles::read(settingsPath());
        // The start-up visibility check searches for this exact spelling.
        QVERIFY(text.contains("\n    \"visible\": false\n"));
        const int appType = text.indexOf("\"app_type\": \"ws\"");
        const int debug = text.indexOf("\"debug\": true");
        const int sites = text.indexOf("\"sites\": [");
        const int visible = text.indexOf("\"visible\": false");
        QVERIFY(appType > 0 && appType < debug && debug < sites && sites < visible);
        // Defaults are written out, so the file shows what the agent actually uses.
        QVERIFY(text.contains("\"port\": 10005"));
        QVERIFY(text.contains("\"application_type\": \"ws\""));
    }

    void agentLeavesFileAlone()
    {
        // The trays' copy of the flags: the settings themselves are root's alone.
        const QString trayPath = m_dir->path() + "/com.ostrelle.vantorel.tray.json";
        const QByteArray content = R"({"app_type":"ws","visible":false})";
        QVERIFY(TestFiles::write(trayPath, content));
        VTSettings settings;
        settings.setScope(QSettings::SystemScope, true);
        QCOMPARE(settings.load(), 0);
        QCOMPARE(settings.appType(), QString("ws"));
        QCOMPARE(settings.visible(), false);
        QCOMPARE(TestFiles::read(trayPath), content);
        QVERIFY(!QFile::exists(settingsPath()));
    }

    void unknownKeysSurviveSave()
    {
        QVERIFY(TestFiles::write(settingsPath(),
                                 R"({"app_type": "ws", "visible": true, "vendor": {"a": [1, "b"]}, "sites": [)"
                                     + goodSite + "]}"));
        VTSettings settings;
        QCOMPARE(settings.load(), 0);
        QCOMPARE(settings.loadFromJson(QJsonDocument::fromJson(R"({"msg": {"sites": [)" + goodSite + "]}}").object()),
                 0);

        const QJsonObject saved = QJsonDocument::fromJson(TestFiles::read(settingsPath())).object();
        QCOMPARE(saved.value("vendor").toObject(), QJsonDocument::fromJson(R"({"a": [1, "b"]})").object());

        VTSettings reloaded;
        QCOMPARE(reloaded.load(), 0);
        QCOMPARE(reloaded.siteCount(), 1);
    }

    void getSiteAtBounds_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("found");

        QTest::newRow("negative") << -1 << false;
        QTest::newRow("first") << 0 << true;
        QTest::newRow("second") << 1 << true;
        QTest::newRow("count") << 2 << false;
    }

    void getSiteAtBounds()
    {
        QFETCH(int, index);
        QFETCH(bool, found);

        QVERIFY(TestFiles::write(settingsPath(),
                                 R"({"app_type": "ws", "visible": true, "sites": [)" + goodSite + ","
                                     + R"({"resource": "/second", "servers": {"server": "b", "cert": "c"}}]})"));
        VTSettings settings;
        QCOMPARE(settings.load(), 0);
        VTSite site;
        site.m_resource = "untouched";
        QCOMPARE(settings.getSiteAt(index, site), found);
        QCOMPARE(site.m_resource, QString(!found ? "untouched" : index == 0 ? "/vt" : "/second"));
    }

    void configMessage_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("firstAddress");
        QTest::addColumn<bool>("debug");

        const QByteArray noneParses(R"({"msg": {"sites": [{"servers": [{"server": "10.9.9.9", "cert": "garbage"},)"
                                    R"({"server": "10.9.9.8", "cert": 7}, {"server": "10.9.9.7", "cert": ""}]}]}})");
        QTest::newRow("new sites replace the old")
            << QByteArray(R"({"msg": {"sites": [{"servers": {"server": "10.9.9.9", "cert": PEM}}]}})") << 0
            << "10.9.9.9" << false;
        QTest::newRow("no certificate parses keeps the old") << noneParses << 2 << "10.0.0.5" << false;
        QTest::newRow("debug: servers without a certificate are taken") << noneParses << 0 << "10.9.9.9" << true;
        QTest::newRow("no loadable site keeps the old")
            << QByteArray(R"({"msg": {"sites": [{"servers": {"server": "10.9.9.9"}}]}})") << 2 << "10.0.0.5" << false;
        QTest::newRow("no sites key keeps the old") << QByteArray(R"({"msg": {}})") << 2 << "10.0.0.5" << false;
        QTest::newRow("no msg keeps the old") << QByteArray(R"({})") << 2 << "10.0.0.5" << false;
    }

    void configMessage()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, result);
        QFETCH(QString, firstAddress);
        QFETCH(bool, debug);
        message.replace("PEM", pemJson);

        QVERIFY(TestFiles::write(settingsPath(),
                                 R"({"app_type": "ws", "visible": true, "debug": )"
                                     + QByteArray(debug ? "true" : "false") + R"(, "sites": [)" + goodSite + "]}"));
        VTSettings settings;
        QCOMPARE(settings.load(), 0);
        const QByteArray before = TestFiles::read(settingsPath());

        if (result != 0) {
            QTest::ignoreMessage(QtCriticalMsg, "No sites loaded");
        }
        QCOMPARE(settings.loadFromJson(QJsonDocument::fromJson(message).object()), result);

        VTSite site;
        QVERIFY(settings.getSiteAt(0, site));
        QCOMPARE(site.m_servers.value(0).m_server, firstAddress);
        VTSettings reloaded;
        QCOMPARE(reloaded.load(), 0);
        QVERIFY(reloaded.getSiteAt(0, site));
        QCOMPARE(site.m_servers.value(0).m_server, firstAddress);
        if (result != 0) {
            QCOMPARE(TestFiles::read(settingsPath()), before);
        }
    }

    void failedSaveKeepsPreviousFile_data()
    {
        QTest::addColumn<QString>("signalSetup");
        QTest::addColumn<bool>("survives");

        // A file-size limit the rewritten settings exceed: by default the kernel kills the process in
        // the middle of writing (a crash during save); with the signal ignored the write fails instead
        // (a full disk).
        QTest::newRow("killed while writing") << QString() << false;
        QTest::newRow("write fails") << QString("trap '' XFSZ;") << true;
    }

    void failedSaveKeepsPreviousFile()
    {
        QFETCH(QString, signalSetup);
        QFETCH(bool, survives);

        TestInstanceLock lock;
        QVERIFY(lock.isLocked());
        TestProgramDir program;
        QVERIFY(program.isValid());

        // The daemon must get past its connection set-up to stay alive: a real certificate, loopback.
        TestCertificates certificates(program.path());
        QVERIFY(certificates.makeCert("server", QString(), "localhost", {"IP:127.0.0.1"}));
        QFile cert(certificates.certPath("server"));
        QVERIFY(cert.open(QIODevice::ReadOnly));
        const QByteArray site
            = QJsonDocument(QJsonObject {{"servers",
                                          QJsonObject {{"server", "127.0.0.1"},
                                                       {"port", 1},
                                                       {"cert", QString::fromLatin1(cert.readAll())}}}})
                  .toJson(QJsonDocument::Compact);

        // Compact text just under 8 KiB; its indented normal form is well over.
        const int limit = 8 * 1024;
        QByteArray content = R"({"app_type":"ws","visible":false,"sites":[)" + site + R"(],"padding":"")" + "}";
        content.insert(content.size() - 2, QByteArray(limit - 64 - content.size(), 'x'));
        QVERIFY(program.writeSettings(content));

        QProcess process;
        process.setWorkingDirectory(program.path());
        process.start("bash", {"-c", signalSetup + " ulimit -f 8; exec \"$0\" -daemon", program.executable()});
        QVERIFY(process.waitForStarted());
        if (survives) {
            QVERIFY(program.waitForLog("Error saving some settings", 15000));
            process.terminate();
        }
        QVERIFY(process.waitForFinished(15000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);

        QCOMPARE(TestFiles::read(program.settingsPath()), content);
        TestSeam directory(VTSettings::s_directory, program.path());
        VTSettings settings;
        QCOMPARE(settings.load(), 0);
    }

private:
    QString settingsPath() const { return m_dir->path() + "/com.ostrelle.vantorel.json"; }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::optional<TestSeam<QString>> m_directory;
};

QTEST_GUILESS_MAIN(TestVTSettings)
#include "tst_vtsettings.moc"
