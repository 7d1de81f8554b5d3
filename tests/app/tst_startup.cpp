#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestInstanceLock.h"
#include "TestProgramDir.h"
#include "app/ServiceNotifier.h"
#include "app/StartUp.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <QFileInfo>
#include <QThread>

#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A server on loopback where nothing listens, trusted through a certificate made for the test run:
// the daemon keeps retrying and stays in its event loop without anything leaving the machine.
QByteArray validSettings;

// Replaces the launcher with one that only records that, and how, it was started.
bool installMarkerLauncher(const TestProgramDir& program)
{
    return TestFiles::write(program.path() + "/launchVtComponents.sh",
                            "echo \"$0 $#\" > \"$(dirname \"$0\")/launched\"\n");
}

mode_t mode(const QString& path)
{
    struct stat status = {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 07777;
}

// What any local user can make at the names of the shared-memory guard of earlier versions, to
// keep a daemon from starting: a link at its key file, or a System V segment of its key, kept
// attached by another user. A daemon of an earlier version running elsewhere on the machine may
// hold the same names meanwhile; what it made is left alone and serves the row as well.
class OldGuardSquatter
{
public:
    OldGuardSquatter()
        : m_keyFile(QFile::encodeName(QDir::tempPath() + "/qipc_sharedmemory_OstrelleMemory"
                                      + QCryptographicHash::hash("OstrelleMemory", QCryptographicHash::Sha1).toHex()))
    {
        removeOurs();
    }

    ~OldGuardSquatter()
    {
        if (m_child > 0) {
            ::kill(m_child, SIGKILL);
            ::waitpid(m_child, nullptr, 0);
            struct shmid_ds segment = {};
            const int id = ::shmget(m_key, 0, 0);
            if (id >= 0 && ::shmctl(id, IPC_STAT, &segment) == 0 && segment.shm_perm.uid == 65534)
                ::shmctl(id, IPC_RMID, nullptr);
        }
        removeOurs();
    }

    bool link()
    {
        struct stat status = {};
        if (::lstat(m_keyFile.constData(), &status) == 0)
            return true;
        return ::symlink("/nonexistent/vantorel", m_keyFile.constData()) == 0
            && ::lchown(m_keyFile.constData(), 65534, 65534) == 0;
    }

    bool segment()
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return false;
        m_child = ::fork();
        if (m_child == 0) {
            // Only system calls here: the child of a threaded process.
            ::close(ready[0]);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(1);
            ::open(m_keyFile.constData(), O_CREAT | O_WRONLY, 0600);
            const int id = ::shmget(::ftok(m_keyFile.constData(), 'Q'), 1, IPC_CREAT | 0600);
            if (id < 0 || ::shmat(id, nullptr, 0) == reinterpret_cast<void*>(-1) || ::write(ready[1], "x", 1) != 1)
                ::_exit(1);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char byte = 0;
        const bool made = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        m_key = ::ftok(m_keyFile.constData(), 'Q');
        return made || ::shmget(m_key, 0, 0) >= 0;
    }

private:
    void removeOurs()
    {
        struct stat status = {};
        if (::lstat(m_keyFile.constData(), &status) == 0 && status.st_uid == 65534)
            ::unlink(m_keyFile.constData());
    }

    const QByteArray m_keyFile;
    pid_t m_child = -1;
    key_t m_key = -1;
};

// The service manager's notification socket, played by the test: a real datagram socket bound
// to a path, or to an abstract name when `path` starts with "@".
class NotifySocket
{
public:
    explicit NotifySocket(const QByteArray& path)
        : m_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path, path.constData(), size_t(path.size()));
        if (path.startsWith('@'))
            address.sun_path[0] = '\0';
        m_bound = m_fd >= 0
            && ::bind(m_fd, reinterpret_cast<sockaddr*>(&address),
                      socklen_t(offsetof(sockaddr_un, sun_path) + path.size()))
                == 0;
    }
    ~NotifySocket() { ::close(m_fd); }
    bool isBound() const { return m_bound; }
    // Every message that has arrived and was not read yet.
    QStringList take()
    {
        QStringList messages;
        char buffer[512];
        ssize_t size;
        while ((size = ::recv(m_fd, buffer, sizeof buffer, 0)) > 0)
            messages.append(QString::fromLatin1(buffer, int(size)));
        return messages;
    }

private:
    int m_fd;
    bool m_bound = false;
};

} // namespace

class TestStartUp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_lock.isLocked());
        QVERIFY(m_certificates.isValid());
        TestCertificates certificates(m_certificates.path());
        QVERIFY(certificates.makeCert("server", QString(), "localhost", {"IP:127.0.0.1"}));
        const QString cert = QString::fromLatin1(TestFiles::read(certificates.certPath("server")));
        QVERIFY(!cert.isEmpty());
        validSettings = QJsonDocument(QJsonObject {{"app_type", "ws"},
                                                   {"visible", false},
                                                   {"sites",
                                                    QJsonArray {QJsonObject {{"servers",
                                                                              QJsonObject {
                                                                                  {"server", "127.0.0.1"},
                                                                                  {"port", 1},
                                                                                  {"cert", cert},
                                                                              }}}}}})
                            .toJson(QJsonDocument::Compact);
    }

    void psnRemoval_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("remaining");

        QTest::newRow("psn then agent") << QStringList {"-psn_0_4242", "-agent"} << QStringList {"-agent"};
        QTest::newRow("psn alone") << QStringList {"-psn_0_1"} << QStringList {};
        QTest::newRow("psn only counts first")
            << QStringList {"-daemon", "-psn_0_1"} << QStringList {"-daemon", "-psn_0_1"};
        QTest::newRow("no psn") << QStringList {"-local"} << QStringList {"-local"};
        QTest::newRow("no argument") << QStringList {} << QStringList {};
    }

    void psnRemoval()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, remaining);

        QList<QByteArray> storage {"vantorel"};
        for (const QString& arg : args)
            storage.append(arg.toUtf8());
        std::vector<char*> argv;
        for (QByteArray& arg : storage)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int argc = int(argv.size()) - 1;

        removePsnFromArgsAndUpdateArgc(&argc, argv.data());

        QCOMPARE(argc, remaining.size() + 1);
        QCOMPARE(QByteArray(argv[0]), QByteArray("vantorel"));
        for (int i = 0; i < remaining.size(); ++i)
            QCOMPARE(QString(argv[i + 1]), remaining.at(i));
    }

    void visibleFlag_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("visible");

        QTest::newRow("normal form true") << QByteArray("{\n    \"visible\": true\n}\n") << true;
        QTest::newRow("compact spacing") << QByteArray(R"({"visible":true})") << false;
        QTest::newRow("no file") << QByteArray() << false;
    }

    void visibleFlag()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, visible);

        QTemporaryDir dir;
        if (!content.isEmpty())
            QVERIFY(TestFiles::write(dir.path() + "/com.ostrelle.vantorel.json", content));
        QCOMPARE(isVisible(dir.path()), visible);
    }

    void architecture_data()
    {
        QTest::addColumn<QString>("machine");
        QTest::addColumn<bool>("is64");

        QTest::newRow("x86_64") << "x86_64" << true;
        QTest::newRow("32-bit") << "i686" << false;
    }

    void architecture()
    {
        QFETCH(QString, machine);
        QFETCH(bool, is64);

        QCOMPARE(isMachine64bit(machine), is64);
    }

    void shortLivedRuns_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QStringList>("lines");
        // A qt.conf beside the executable, which moves where Qt looks for its plugins.
        QTest::addColumn<QByteArray>("qtConf");

        const QString unable = "[ERROR] (0) : Unable to initialize application.";
        QTest::newRow("unknown switch") << QStringList {"-start"} << validSettings
                                        << QStringList {"?(", "[ERROR] (0) : Wrong command line arguments."}
                                        << QByteArray();
        QTest::newRow("psn then unknown switch")
            << QStringList {"-psn_0_77", "-start"} << validSettings
            << QStringList {"[ERROR] (0) : Wrong command line arguments."} << QByteArray();
        QTest::newRow("daemon without settings")
            << QStringList {"-daemon"} << QByteArray()
            << QStringList {"DAEMON(", "[ERROR] (0) : CSettings::instance()->load", unable} << QByteArray();
        QTest::newRow("daemon with corrupt settings")
            << QStringList {"-daemon"} << QByteArray("{") << QStringList {"Settings file corrupted", unable}
            << QByteArray();
        QTest::newRow("agent without settings")
            << QStringList {"-agent"} << QByteArray()
            << QStringList {"AGENT(", "[ERROR] (0) : Client App: Failed to load settings", unable} << QByteArray();
        QTest::newRow("local without settings")
            << QStringList {"-local"} << QByteArray()
            << QStringList {"LOCAL(", "[ERROR] (0) : app type 3", "CSettings::instance()->load", unable}
            << QByteArray();
        QTest::newRow("daemon without a TLS backend")
            << QStringList {"-daemon"} << validSettings
            << QStringList {"[ERROR] (0) : TLS is not available: Qt ",
                            "cannot load a TLS backend (backends found: none)", unable}
            << QByteArray("[Paths]\nPlugins=no-plugins-here\n");
    }

    void shortLivedRuns()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, settings);
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, qtConf);
        if (QT_VERSION_MAJOR < 6 && !qtConf.isEmpty())
            QSKIP("Qt 5 carries its TLS backend in its network library: it cannot go missing on its own");

        TestProgramDir program;
        QVERIFY(program.isValid());
        if (!settings.isEmpty())
            QVERIFY(program.writeSettings(settings));
        if (!qtConf.isEmpty())
            QVERIFY(TestFiles::write(program.path() + "/qt.conf", qtConf));
        QCOMPARE(program.run(args), 0);

        const QString log = program.log();
        for (const QString& line : lines)
            QVERIFY2(log.contains(line), qPrintable(line + " missing from:\n" + log));
        QVERIFY(!log.contains("Ready to run Vantorel"));
        if (args.contains("-local"))
            QCOMPARE(log.count("[ERROR] (0) : app type 3\n"), 2);
    }

    void trayModuleOnlyWhereShown_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("withModule");
        QTest::addColumn<bool>("mapsGui");

        QTest::newRow("daemon") << "-daemon" << true << true << false;
        QTest::newRow("local, icon hidden") << "-local" << false << true << false;
        // Shows that the check sees a GUI library when one is there.
        QTest::newRow("local, icon shown") << "-local" << true << true << true;
        // Without the module a process that shows the tray says so and ends.
        QTest::newRow("agent without module") << "-agent" << true << false << false;
        QTest::newRow("local, icon shown, without module") << "-local" << true << false << false;
    }

    void trayModuleOnlyWhereShown()
    {
        QFETCH(QString, mode);
        QFETCH(bool, visible);
        QFETCH(bool, withModule);
        QFETCH(bool, mapsGui);

        TestProgramDir program;
        QVERIFY(program.isValid());
        QByteArray settings = validSettings;
        if (visible)
            settings.replace("\"visible\":false", "\"visible\": true");
        QVERIFY(program.writeSettings(settings));
        if (!withModule) {
            QVERIFY(QFile::remove(program.path() + "/libvantorel-gui.so"));
            QCOMPARE(program.run({mode}), 0);
            const QString log = program.log();
            QVERIFY2(
                log.contains("[ERROR] (0) : Cannot load the tray module " + program.path() + "/libvantorel-gui.so"),
                qPrintable(log));
            QVERIFY(log.contains("[ERROR] (0) : Unable to initialize application.\n"));
            return;
        }

        const qint64 pid = program.start({mode})->processId();
        QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
        const QRegularExpression gui(R"(/lib(Qt\dGui|Qt\dWidgets|Qt\dXcbQpa|GL|GLX|EGL|OpenGL|X11|xcb)[^/]*\.so)");
        QStringList mapped;
        for (const QString& line : QString::fromUtf8(TestFiles::read(QString("/proc/%1/maps").arg(pid))).split('\n')) {
            if (gui.match(line).hasMatch())
                mapped << line.section(' ', -1);
        }
        mapped.removeDuplicates();
        QVERIFY2(mapped.isEmpty() != mapsGui, qPrintable(mapped.join('\n')));
    }

    void noSwitchStartsLauncher_data()
    {
        QTest::addColumn<QStringList>("args");

        QTest::newRow("no argument") << QStringList {};
        QTest::newRow("two arguments") << QStringList {"-daemon", "-agent"};
        QTest::newRow("psn alone") << QStringList {"-psn_0_1"};
    }

    void noSwitchStartsLauncher()
    {
        QFETCH(QStringList, args);

        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(validSettings));
        QVERIFY(installMarkerLauncher(program));

        QCOMPARE(program.run(args), 0);
        // The script gets its own path and nothing else.
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(TestFiles::read(program.path() + "/launched")).trimmed(),
                                  program.path() + "/launchVtComponents.sh 0", 10000);
        QCOMPARE(program.log(), QString());
    }

    void daemonRunsAndRewritesSettings()
    {
        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(validSettings));
        // As earlier versions asked administrators to leave it.
        QVERIFY(QFile::setPermissions(program.settingsPath(), QFile::Permissions(0x6644)));

        QProcess* daemon = program.start({"-daemon"});
        QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
        // Nobody listens on the configured port: the daemon lives on past its first refused attempt.
        QVERIFY(program.waitForLog("WebSocket disconnected", 10000));
        QCOMPARE(daemon->state(), QProcess::Running);

        const QByteArray text = TestFiles::read(program.settingsPath());
        QVERIFY2(text.contains("\n    \"visible\": false\n"), text.constData());
        QVERIFY(text.contains("\"kpa_interval\": 60"));
        // The settings and the log are root's; the trays' flags are everybody's, and all they hold.
        QCOMPARE(mode(program.settingsPath()), 0600u);
        QCOMPARE(mode(program.logPath()) & 07u, 0u);
        QCOMPARE(mode(program.path() + "/com.ostrelle.vantorel.tray.json"), 0644u);
        QCOMPARE(QJsonDocument::fromJson(TestFiles::read(program.path() + "/com.ostrelle.vantorel.tray.json")).object(),
                 (QJsonObject {{"app_type", "ws"}, {"visible", false}}));

        // Every line: tag, pid, milliseconds since start, local date and time, level, "(0) : " text.
        const QRegularExpression line(
            QString(
                R"(^DAEMON\(%1\) \d+ \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d\.\d{3} \[(DEBUG|WARN|ERROR|FATAL)\] \(0\) : .*$)")
                .arg(daemon->processId()));
        const QStringList lines = program.log().split('\n', Qt::SkipEmptyParts);
        QVERIFY(lines.size() >= 3);
        for (const QString& logLine : lines)
            QVERIFY2(line.match(logLine).hasMatch(), qPrintable(logLine));
    }

    void secondInstanceRefused_data()
    {
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("refused");

        QTest::newRow("second daemon") << "-daemon" << true;
        QTest::newRow("local beside daemon") << "-local" << true;
        // The agent has no guard: it is the daemon's companion.
        QTest::newRow("agent beside daemon") << "-agent" << false;
    }

    void secondInstanceRefused()
    {
        QFETCH(QString, second);
        QFETCH(bool, refused);

        TestProgramDir first;
        TestProgramDir other;
        QVERIFY(first.isValid() && other.isValid());
        QVERIFY(first.writeSettings(validSettings));
        QVERIFY(other.writeSettings(validSettings));
        first.start({"-daemon"});
        QVERIFY(first.waitForLog("Ready to run Vantorel", 10000));

        if (refused) {
            QCOMPARE(other.run({second}), 0);
            QVERIFY(other.log().contains("[ERROR] (0) : Application is already running\n"));
            QVERIFY(other.log().contains("[ERROR] (0) : Unable to initialize application.\n"));
        } else {
            // From the daemon's own directory, where the daemon left the tray its flags.
            QProcess* process = first.start({second});
            const QString tag = QString("AGENT(%1)").arg(process->processId());
            QTRY_VERIFY_WITH_TIMEOUT(first.log().split('\n').filter(tag).join('\n').contains("Ready to run Vantorel"),
                                     10000);
            QCOMPARE(process->state(), QProcess::Running);
        }
    }

    void nothingLeftBehindBlocksTheStart_data()
    {
        QTest::addColumn<QString>("leftBehind");

        QTest::newRow("killed daemon") << "killed";
        QTest::newRow("link at the old key file") << "link";
        QTest::newRow("System V segment of the old key") << "segment";
    }

    void nothingLeftBehindBlocksTheStart()
    {
        QFETCH(QString, leftBehind);

        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(validSettings));

        OldGuardSquatter squatter;
        if (leftBehind == "killed") {
            QProcess* first = program.start({"-daemon"});
            QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
            ::kill(pid_t(first->processId()), SIGKILL);
            QVERIFY(first->waitForFinished(10000));
        } else {
            QVERIFY(leftBehind == "link" ? squatter.link() : squatter.segment());
        }

        QProcess* next = program.start({"-daemon"});
        const QString ready = QString("DAEMON(%1)").arg(next->processId());
        QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
        QTRY_VERIFY_WITH_TIMEOUT(program.log().split('\n').filter(ready).join('\n').contains("Ready to run Vantorel"),
                                 10000);
        QVERIFY(!program.log().contains("Application is already running"));
    }

    void trayOfAnotherUserGetsItsFlags()
    {
        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(validSettings));
        // The pipe's requests are logged at info level.
        QVERIFY(TestFiles::write(program.path() + "/log4cxx.properties", "log4j.logger.Qt=TRACE\n"));
        // An installed program directory is open to every user.
        QVERIFY(QFile::setPermissions(program.path(), QFile::Permissions(0x7755)));
        program.start({"-daemon"});
        QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));

        QProcess agent;
        agent.setWorkingDirectory(program.path());
        agent.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", program.executable(), "-agent"});
        QVERIFY(agent.waitForStarted(10000));
        // It asks for the settings only once it has read its flags.
        QVERIFY(program.waitForLog("got settings request", 15000));
        QCOMPARE(agent.state(), QProcess::Running);
        agent.terminate();
        QVERIFY(agent.waitForFinished(10000));
    }

    void infoLinesFollowConfigurationFile_data()
    {
        QTest::addColumn<QByteArray>("configuration");
        QTest::addColumn<bool>("infoWritten");

        QTest::newRow("defaults") << QByteArray() << false;
        QTest::newRow("Qt logger lowered") << QByteArray("log4j.logger.Qt=TRACE\n") << true;
        QTest::newRow("root lowered") << QByteArray("log4j.rootLogger=TRACE\n") << true;
        QTest::newRow("debug kept") << QByteArray("log4j.logger.Qt=DEBUG\n") << false;
    }

    void infoLinesFollowConfigurationFile()
    {
        QFETCH(QByteArray, configuration);
        QFETCH(bool, infoWritten);

        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(validSettings));
        if (!configuration.isEmpty())
            QVERIFY(TestFiles::write(program.path() + "/log4cxx.properties", configuration));

        program.start({"-daemon"});
        QVERIFY(program.waitForLog("Ready to run Vantorel", 10000));
        const QString log = program.log();
        QCOMPARE(log.contains("[TRACE] (0) : Initializing application, version: \"10.0.9002\"\n"), infoWritten);
        QCOMPARE(log.contains("[TRACE] (0) : Application initialization completed\n"), infoWritten);
        // Lowering the threshold must not cost the debug lines or the log file itself.
        QVERIFY(log.contains("[DEBUG] (0) : before m_connection->open \n"));
    }

    void serviceManagerHearsReadyThenHeartbeat_data()
    {
        QTest::addColumn<bool>("abstractName");
        QTest::newRow("socket path") << false;
        QTest::newRow("abstract name") << true;
    }

    void serviceManagerHearsReadyThenHeartbeat()
    {
        QFETCH(bool, abstractName);
        const QByteArray name = abstractName ? "@vt-notify-" + QByteArray::number(getpid())
                                             : QFile::encodeName(m_certificates.path()) + "/notify";
        NotifySocket manager(name);
        QVERIFY(manager.isBound());
        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(validSettings));

        // A heartbeat every 100 ms; the daemon's server is unreachable, which must not delay ready.
        qputenv("NOTIFY_SOCKET", name);
        qputenv("WATCHDOG_USEC", "200000");
        program.start({"-daemon"});
        qunsetenv("NOTIFY_SOCKET");
        qunsetenv("WATCHDOG_USEC");
        QStringList heard;
        QTRY_VERIFY_WITH_TIMEOUT((heard += manager.take()).contains("READY=1"), 10000);
        QCOMPARE(heard.first(), QString("READY=1"));
        // Ready comes once the settings are loaded and the desktop agents' pipe is served.
        QVERIFY(TestFiles::read(program.settingsPath()).contains("\n    \"visible\": false\n"));
        QVERIFY(QFileInfo("/tmp/OstrelleVantorelGUIpipe").exists());
        QTRY_VERIFY_WITH_TIMEOUT((heard += manager.take()).count("WATCHDOG=1") >= 3, 10000);
        QCOMPARE(heard.count("READY=1"), 1);

        // In this process: the heartbeat comes from the event loop and stops while it is blocked.
        NotifySocket own(name + "-own");
        QVERIFY(own.isBound());
        qputenv("NOTIFY_SOCKET", name + "-own");
        qputenv("WATCHDOG_USEC", "20000");
        ServiceNotifier notifier;
        QVERIFY(qgetenv("NOTIFY_SOCKET").isEmpty());
        notifier.notifyReady();
        QCOMPARE(own.take(), QStringList({"READY=1", "WATCHDOG=1"}));
        QThread::msleep(100);
        QCOMPARE(own.take(), QStringList());
        QStringList resumed;
        QTRY_VERIFY((resumed += own.take()).contains("WATCHDOG=1"));
    }

private:
    TestInstanceLock m_lock;
    QTemporaryDir m_certificates;
};

QTEST_GUILESS_MAIN(TestStartUp)
#include "tst_startup.moc"
