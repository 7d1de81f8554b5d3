#include "TestSeam.h"
#include "TestTaskRunner.h"

#include "performers/OSCPE.h"
#include "performers/OperatingSystem.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString fakeType;
QString fakeVersion;
QString fakePretty;

QString productType()
{
    return fakeType;
}
QString productVersion()
{
    return fakeVersion;
}
QString prettyProductName()
{
    return fakePretty;
}

// A CPE 2.3 formatted string: 11 attribute values after "cpe:2.3", each either a logical value
// ("*" or "-") or a run of unreserved or backslash-escaped characters with optional wildcards.
const QRegularExpression& wellFormedCpe()
{
    static const QString value = QString::fromLatin1(
        "((\\?*|\\*?)([a-zA-Z0-9\\-._]|(\\\\[\\\\*?!\"#$%&'()+,/:;<=>@\\[\\]^`{|}~]))+(\\?*|\\*?)|[*\\-])");
    static const QString language = QString::fromLatin1("([a-zA-Z]{2,3}(-([a-zA-Z]{2}|[0-9]{3}))?|[*\\-])");
    static const QRegularExpression re(QStringLiteral("^cpe:2\\.3:[aho*\\-](:%1){5}:%2(:%1){4}$").arg(value, language));
    return re;
}

QString kernelRelease()
{
    QProcess uname;
    uname.start(QStringLiteral("uname"), {QStringLiteral("-r")});
    uname.waitForFinished(10000);
    return QString::fromLocal8Bit(uname.readAllStandardOutput()).trimmed();
}

QString runScript(const QStringList& args, bool* finished)
{
    QProcess script;
    script.start(QStringLiteral("sh"), QStringList {QStringLiteral(VT_SOURCE_DIR "/scripts/get_os.sh")} + args);
    *finished = script.waitForFinished(10000) && script.exitCode() == 0;
    return QString::fromLocal8Bit(script.readAllStandardOutput());
}

} // namespace

class TestOperatingSystem : public QObject
{
    Q_OBJECT

    TestSeam<QString (*)()> m_productType {OSCPE::s_productType, &productType};
    TestSeam<QString (*)()> m_productVersion {OSCPE::s_productVersion, &productVersion};
    TestSeam<QString (*)()> m_prettyProductName {OSCPE::s_prettyProductName, &prettyProductName};

private slots:
    void initTestCase()
    {
        // The checker must itself refuse what is not well formed.
        QVERIFY(wellFormedCpe().match(QStringLiteral("cpe:2.3:o:centos:centos:7:*:*:*:*:*:*:*")).hasMatch());
        QVERIFY(!wellFormedCpe().match(QStringLiteral("cpe:2.3:o:linux:linux::*:*:*:*:*:*:*")).hasMatch());
        QVERIFY(!wellFormedCpe().match(QStringLiteral("cpe:2.3:o:linux:linux:1 0:*:*:*:*:*:*:*")).hasMatch());
        QVERIFY(!wellFormedCpe().match(QStringLiteral("cpe:2.3:o:linux:linux:1:*:*:*:*:*:*")).hasMatch());
    }

    void describeScriptOutput_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("description");

        const auto row = [](const char* name, const QString& output, const QString& description) {
            QTest::newRow(name) << output << description;
        };
        row("kernel only", "Linux 4.4.0", "Generic Linux 4.4.0");
        row("kernel twice", "Linux 4.4.0\nLinux 4.4.0", "Generic Linux 4.4.0 Kernel 4.4.0");
        row("suse banner", "Welcome to openSUSE Leap 42.3 - Kernel \\r (\\l).", "openSUSE Leap 42.3 ");
        row("suse banner twice on a line", "Welcome to SUSE 12 Welcome to SUSE 15 - Kernel", "SUSE 12 ");
        row("suse line without greeting", "SUSE Linux Enterprise Server 12 (x86_64)\nLinux 4.4", "Generic Linux 4.4");
        row("two release lines", "Fedora release 38\nRed Hat release 9\n", "Fedora release 38Red Hat release 9");
        row("banner escapes removed", "Ubuntu 22.04 LTS \\n \\l\\1", "Ubuntu 22.04 LTS  ");
        row("empty", "", "Generic Linux");
        row("nothing recognised", "hello\nworld\n", "Generic Linux");
    }

    void describeScriptOutput()
    {
        QFETCH(QString, output);
        QFETCH(QString, description);
        QCOMPARE(OperatingSystem::getLinuxOs(output), description);
    }

    void describeDistributions_data()
    {
        QTest::addColumn<QString>("etc");
        QTest::addColumn<QString>("distribution");

        const auto row = [](const char* name, const QString& etc, const QString& distribution) {
            QTest::newRow(name) << etc << distribution;
        };
        row("CentOS 7", "centos7", "CentOS Linux release 7.4.1708 (Core) ");
        row("RHEL 8", "rhel8", "Red Hat Enterprise Linux release 8.6 (Ootpa)");
        row("Fedora 38", "fedora38", "Fedora release 38 (Thirty Eight)");
        row("Ubuntu 22.04", "ubuntu2204", "Ubuntu 22.04.3 LTS");
        row("openSUSE Leap 42.3", "opensuse-leap423", "openSUSE Leap 42.3 ");
        row("openSUSE Leap 15.4", "opensuse-leap154", "openSUSE Leap 15.4 ");
        row("SLES 12 SP3", "sles12sp3", "SUSE Linux Enterprise Server 12 SP3  (x86_64) ");
        row("Debian 12", "debian12", "Debian GNU/Linux release 12 (bookworm)");
    }

    void describeDistributions()
    {
        QFETCH(QString, etc);
        QFETCH(QString, distribution);
        bool finished = false;
        const QString output = runScript({QStringLiteral(VT_SOURCE_DIR "/tests/performers/data/os/") + etc}, &finished);
        QVERIFY(finished);
        QCOMPARE(OperatingSystem::getLinuxOs(output), distribution + QStringLiteral(" Kernel ") + kernelRelease());
    }

    void describeThisMachine()
    {
        TestSeam scripts(OperatingSystem::s_scriptDir, QStringLiteral(VT_SOURCE_DIR "/scripts"));
        const TaskOutcome outcome = TestTaskRunner::run(QStringLiteral("linux_operating_system"));
        QVERIFY(outcome.finishedInsideGo);
        const QString description = outcome.result.toString();
        QVERIFY2(!description.startsWith(QLatin1String("Generic")), qPrintable(description));
        QVERIFY2(description.endsWith(QStringLiteral(" Kernel ") + kernelRelease()), qPrintable(description));
        QVERIFY(outcome.error.isEmpty());
    }

    void missingScriptGivesGeneric()
    {
        QTemporaryDir empty;
        TestSeam scripts(OperatingSystem::s_scriptDir, empty.path());
        const TaskOutcome outcome = TestTaskRunner::run(QStringLiteral("linux_operating_system"));
        QCOMPARE(outcome.result, QVariant(QStringLiteral("Generic Linux")));
        QVERIFY(outcome.error.isEmpty());
    }

    void cpeNames_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("pretty");
        QTest::addColumn<QString>("cpe");

        const auto row = [](const char* name, const QString& type, const QString& version, const QString& pretty,
                            const QString& cpe) { QTest::newRow(name) << type << version << pretty << cpe; };
        row("centos", "centos", "7", "CentOS Linux 7 (Core)", "cpe:2.3:o:centos:centos:7:*:*:*:*:*:*:*");
        row("ubuntu lts", "Ubuntu", "16.04", "Ubuntu 16.04.7 LTS",
            "cpe:2.3:o:canonical:ubuntu_linux:16.04:-:lts:*:*:*:*:*");
        row("ubuntu interim", "ubuntu", "16.10", "Ubuntu 16.10",
            "cpe:2.3:o:canonical:ubuntu_linux:16.10:*:*:*:*:*:*:*");
        row("opensuse", "opensuse", "42.3", "openSUSE Leap 42.3", "cpe:2.3:o:novell:opensuse:42.3:*:*:*:*:*:*:*");
        row("suse SP3, Server not matched", "suse", "12.3", "SUSE Linux Enterprise Server 12 SP3",
            "cpe:2.3:o:novell:suse_linux:12.3:SP3:*:*:*:*:*:*");
        row("suse no SP, server", "SUSE", "11", "suse linux server 11",
            "cpe:2.3:o:novell:suse_linux:11:*:server:*:*:*:*:*");
        row("suse SP without digits, desktop", "suse", "11", "suse desktop SP",
            "cpe:2.3:o:novell:suse_linux:11:*:desktop:*:*:*:*:*");
        row("suse SP12, pro", "suse", "9", "suse pro 9 SP12", "cpe:2.3:o:novell:suse_linux:9:SP12:pro:*:*:*:*:*");
        row("fedora", "fedora", "38", "Fedora Linux 38 (Workstation Edition)",
            "cpe:2.3:o:fedoraproject:fedora:38:*:*:*:*:*:*:*");
        row("fedora core", "fedora", "6", "Fedora Core 6 (Zod)", "cpe:2.3:o:fedoraproject:fedora_core:6:*:*:*:*:*:*:*");
        row("debian generic", "debian", "9", "Debian GNU/Linux 9 (stretch)", "cpe:2.3:o:linux:linux:9:*:*:*:*:*:*:*");
        row("empty type", "", "1.0", "", "cpe:2.3:o:linux:linux:1.0:*:*:*:*:*:*:*");
        row("empty version is any", "arch", "", "Arch Linux", "cpe:2.3:o:linux:linux:*:*:*:*:*:*:*:*");
        row("version punctuation escaped", "alpine", "3.18 rc:1", "Alpine",
            "cpe:2.3:o:linux:linux:3.18_rc\\:1:*:*:*:*:*:*:*");

        const QString v = QStringLiteral("7.4");
        const QString tail = QStringLiteral(":7.4:*:*:*:*:*:*:*");
        const QList<QPair<QString, QString>> redHat {
            {"Red Hat Certificate System", "certificate_server"},
            {"Red Hat Desktop Workstation 5", "desktop_workstation"},
            {"Red Hat Directory Server 9", "directory_server"},
            {"Red Hat Enterprise Linux Client Supplementary 7.4 Desktop", "enterprise_linux_desktop_supplementary"},
            {"Red Hat Enterprise Linux Supplementary Server 7.4", "enterprise_linux_server_supplementary"},
            {"Red Hat Enterprise Linux Client 7.4", "enterprise_linux_desktop"},
            {"Red Hat Enterprise Manager Virtualization", "enterprise_virtualization_manager"},
            {"Red Hat Enterprise Linux Virtualization 5", "enterprise_linux_virtualization"},
            {"Red Hat Enterprise_Linux Workstation Supplementary", "enterprise_linux_workstation_supplementary"},
            {"Red Hat Enterprise Linux Supplementary Workstation", "enterprise_linux_workstation_supplementary"},
            {"Fedora Core 3", "fedora_core"},
            {"Fedora 40", "fedora"},
            {"Red Hat Linux Advanced Workstation 2.1", "linux_advanced_workstation"},
            {"Red Hat Enterprise Linux Server 7.4 (Maipo)", "enterprise_linux"},
        };
        const QStringList types {"rhel", "Red Hat", "RedHatEnterpriseLinuxServer"};
        for (int i = 0; i < redHat.size(); ++i)
            QTest::addRow("red hat %s", qPrintable(redHat.at(i).second))
                << types.at(i % types.size()) << v << redHat.at(i).first
                << QStringLiteral("cpe:2.3:o:redhat:") + redHat.at(i).second + tail;
    }

    void cpeNames()
    {
        QFETCH(QString, type);
        QFETCH(QString, version);
        QFETCH(QString, pretty);
        QFETCH(QString, cpe);
        fakeType = type;
        fakeVersion = version;
        fakePretty = pretty;
        const TaskOutcome outcome = TestTaskRunner::run(QStringLiteral("os_cpe"));
        QVERIFY(outcome.finishedInsideGo);
        QCOMPARE(outcome.result.toString(), cpe);
        QVERIFY2(wellFormedCpe().match(cpe).hasMatch(), qPrintable(cpe));
        QVERIFY(outcome.error.isEmpty());
    }

    void cpeOfThisMachine()
    {
        TestSeam realType(OSCPE::s_productType, &QSysInfo::productType);
        TestSeam realVersion(OSCPE::s_productVersion, &QSysInfo::productVersion);
        TestSeam realName(OSCPE::s_prettyProductName, &QSysInfo::prettyProductName);
        const TaskOutcome outcome = TestTaskRunner::run(QStringLiteral("os_cpe"));
        const QString cpe = outcome.result.toString();
        QVERIFY2(wellFormedCpe().match(cpe).hasMatch(), qPrintable(cpe));
        QVERIFY2(cpe.contains(QLatin1Char(':') + QSysInfo::productVersion() + QLatin1Char(':')), qPrintable(cpe));
    }
};

QTEST_GUILESS_MAIN(TestOperatingSystem)
#include "tst_operatingsystem.moc"
