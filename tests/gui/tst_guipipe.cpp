#include "LogCapture.h"
#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestInstanceLock.h"
#include "TestManagementServer.h"
#include "TestProgramDir.h"
#include "gui/Gui.h"
#include "gui/GuiDecoupledClient.h"
#include "guichannel/GuiDecoupledServer.h"
#include "guichannel/GuiPipeProtocol.h"
#include "guichannel/GuiServerConnection.h"
#include "guichannel/GuiServerState.h"
#include "settings/VTServer.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Message = QPair<QString, QVariant>;

// Stands in for BasicApp: whatever the channel tells to quit.
class App : public QObject
{
    Q_OBJECT
public:
    int quits = 0;
public slots:
    void Quit() { ++quits; }
};

QByteArray encode(const QVariantList& items)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    for (const QVariant& item : items) {
        if (item.userType() == QMetaType::Int)
            out << qint32(item.toInt());
        else
            out << item.toString();
    }
    return bytes;
}

// Reads the daemon's messages the way an agent must: the key says how many values follow and
// of which kind. Kept independent of the agent's own reader on purpose.
QList<Message> decode(QByteArray bytes)
{
    QList<Message> messages;
    QDataStream in(&bytes, QIODevice::ReadOnly);
    while (!in.atEnd()) {
        QString key;
        in >> key;
        if (key == "port") {
            qint32 port;
            in >> port;
            messages.append({key, port});
        } else if (key == "notification") {
            QString type, title, msg;
            in >> type >> title >> msg;
            messages.append({key, QStringList {type, title, msg}});
        } else {
            QString value;
            in >> value;
            messages.append({key, value});
        }
        if (in.status() != QDataStream::Ok)
            break;
    }
    return messages;
}

QStringList keys(const QList<Message>& messages)
{
    QStringList result;
    for (const Message& m : messages)
        result << m.first;
    return result;
}

const QStringList kBurstKeys = QString("server port compliance_url conn compliance hashed_password salt "
                                       "dissolvable_status application_type enable_protection_password hostname")
                                   .split(' ');

// Collects everything a raw agent socket receives until `count` messages are in or time runs out.
QByteArray readUntil(QLocalSocket& socket, int count, int timeoutMs = 3000)
{
    QByteArray bytes;
    QElapsedTimer timer;
    timer.start();
    while (decode(bytes).size() < count && !timer.hasExpired(timeoutMs)) {
        socket.waitForReadyRead(50);
        QCoreApplication::processEvents();
        bytes += socket.readAll();
    }
    // Anything after the expected messages must show too, so wait a little longer for extras.
    // Nothing marks an extra that never comes; under load this only misses a late one, it cannot
    // fail a sound daemon.
    QTest::qWait(50);
    bytes += socket.readAll();
    return bytes;
}

// A burst as the daemon sends it, then a notification, so that skipping "hostname" shows.
QByteArray agentStream()
{
    // clang-format off
    return encode({"server", "10.0.0.5", "port", 443, "compliance_url", "https://cc/x", "conn", "connected",
                   "compliance", "not_compliant", "hashed_password", "abc", "salt", "NaCl",
                   "dissolvable_status", "false", "application_type", "dissolvable",
                   "enable_protection_password", "true", "hostname", "cc.example",
                   "notification", "banner", "T", "M"});
    // clang-format on
}

// A raw daemon end with a real agent connected to it.
struct AgentUnderTest
{
    QLocalServer daemon;
    App app;
    GuiDecoupledClient agent {&app};
    QLocalSocket* socket = nullptr;

    bool start()
    {
        QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
        if (!daemon.listen(GuiDecoupledServer::s_pipeName) || !agent.start() || !daemon.waitForNewConnection(2000))
            return false;
        socket = daemon.nextPendingConnection();
        return true;
    }
};

bool connectAgent(QLocalSocket& agent)
{
    agent.connectToServer(GuiDecoupledServer::s_pipeName);
    return agent.waitForConnected(1000);
}

void send(QLocalSocket& socket, const QByteArray& bytes)
{
    socket.write(bytes);
    socket.flush();
}

sockaddr_un pipeAddress()
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, qPrintable(GuiDecoupledServer::s_pipeName), sizeof address.sun_path - 1);
    return address;
}

// A client that holds its connection and never reads: a plain descriptor, so that no Qt buffer
// drains the daemon's output behind the test's back. -1 when the pipe is not there.
int rawClient()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = pipeAddress();
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

bool hungUp(int fd)
{
    pollfd p {fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP));
}

// A figure from /proc/<pid>/status, in kB.
qint64 procStatus(qint64 pid, const QByteArray& field)
{
    for (const QByteArray& line : TestFiles::read(QString("/proc/%1/status").arg(pid)).split('\n')) {
        if (line.startsWith(field + ":"))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

int openDescriptors(qint64 pid)
{
    return QDir(QString("/proc/%1/fd").arg(pid))
        .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System)
        .size();
}

// Answers every modal box the agent shows from the event loop, noting its title and text.
struct ModalCloser : QObject
{
    QStringList seen;
    ModalCloser() { startTimer(20); }
    void timerEvent(QTimerEvent*) override
    {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen << box->windowTitle() + ": " + box->text();
            box->done(0);
        }
    }
};

const QByteArray kExitHash = QCryptographicHash::hash("s3cretNaCl", QCryptographicHash::Sha256).toHex();

// The real daemon, protected by the exit password "s3cret", in a session with a management
// server on loopback.
struct ProtectedDaemon
{
    TestProgramDir dir;
    TestCertificates certs {dir.path()};
    TestManagementServer server;
    QProcess* process = nullptr;

    bool start()
    {
        if (!dir.isValid() || !certs.makeCert("server", QString(), "localhost", {"DNS:localhost", "IP:127.0.0.1"})
            || !server.listen(certs.certPath("server"), certs.keyPath("server")))
            return false;
        const QJsonObject site
            = TestManagementServer::siteFor("127.0.0.1", server.port(), TestFiles::read(certs.certPath("server")), 60,
                                            {{"enable_protection_password", "true"},
                                             {"password_salt", "NaCl"},
                                             {"protection_password", QString(kExitHash)}});
        // The session keeps the file's site, password included.
        server.setConfigSites({site});
        const QJsonObject settings {{"app_type", "ws"}, {"visible", false}, {"sites", QJsonArray {site}}};
        if (!dir.writeSettings(QJsonDocument(settings).toJson()))
            return false;
        // Memory freed under AddressSanitizer stays mapped in its quarantine, which the peak-memory
        // row would count as growth; a build without it ignores the variable.
        const QByteArray asanOptions = qgetenv("ASAN_OPTIONS");
        qputenv("ASAN_OPTIONS", asanOptions + ":quarantine_size_mb=0");
        process = dir.start({"-daemon"});
        qputenv("ASAN_OPTIONS", asanOptions);
        return dir.waitForLog("Ready to run Vantorel", 10000) && server.waitForType("init", 20000);
    }
    qint64 pid() const { return process->processId(); }
    bool runsAndIsConnected() const
    {
        return process->state() == QProcess::Running && server.disconnectionCount() == 0;
    }
};

// A listener at the pipe path run by another user, as someone squatting it while no daemon runs.
pid_t listenAsNobody()
{
    const sockaddr_un address = pipeAddress();
    const pid_t child = fork();
    if (child == 0) {
        // Only system calls here: the child of a threaded process.
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (setgid(65534) != 0 || setuid(65534) != 0
            || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0)
            _exit(1);
        for (;;)
            pause();
    }
    return child;
}

} // namespace

class tst_GuiPipe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_lock.isLocked()); }

    void agentEncoding()
    {
        AgentUnderTest t;
        QVERIFY(t.start());
        QByteArray settings;
        QTRY_COMPARE((settings += t.socket->readAll()).size(), 20);
        QCOMPARE(settings, QByteArray::fromHex("00000010") + QByteArray("\0s\0e\0t\0t\0i\0n\0g\0s", 16));

        // The user's confirmed exit reaches the daemon as "quit" and ends the agent too.
        emit t.agent.gui()->quit();
        QByteArray quit;
        QTRY_COMPARE((quit += t.socket->readAll()).size(), 12);
        QCOMPARE(quit, QByteArray::fromHex("000000080071007500690074"));
        QCOMPARE(t.app.quits, 1);

        // With a password the agent waits for the daemon's verdict; a daemon that does not know the
        // password key still reads a plain "quit" after it.
        t.agent.QuitWithPassword("pw");
        QByteArray withPassword;
        const QByteArray expected = encode({"exit_password", "pw", "quit"});
        QTRY_COMPARE((withPassword += t.socket->readAll()).size(), expected.size());
        QCOMPARE(withPassword, expected);
        QCOMPARE(t.app.quits, 1);
    }

    void agentReadsSplitMessages_data()
    {
        QTest::addColumn<int>("splitAt");
        const int size = agentStream().size();
        QTest::newRow("one write") << size;
        QTest::newRow("after one byte") << 1;
        QTest::newRow("inside a length") << 3;
        QTest::newRow("inside the port") << encode({"server", "10.0.0.5", "port"}).size() + 2;
        QTest::newRow("inside a skipped value")
            << size - encode({"cc.example", "notification", "banner", "T", "M"}).size() + 6;
        QTest::newRow("before the last byte") << size - 1;
    }

    void agentReadsSplitMessages()
    {
        QFETCH(int, splitAt);
        AgentUnderTest t;
        QSignalSpy connectedSpy(&t.agent, &GuiDecoupledClient::connected);
        QSignalSpy complianceSpy(&t.agent, &GuiDecoupledClient::compliance);
        QSignalSpy notificationSpy(&t.agent, &GuiDecoupledClient::showNotification);
        LogCapture log;
        QVERIFY(t.start());

        // The rest is sent only once the agent has read from the first part.
        QSignalSpy firstPartRead(t.agent.findChild<QLocalSocket*>(QString(), Qt::FindDirectChildrenOnly),
                                 &QLocalSocket::readyRead);
        send(*t.socket, agentStream().left(splitAt));
        QVERIFY(firstPartRead.wait(10000));
        send(*t.socket, agentStream().mid(splitAt));
        QTRY_COMPARE(notificationSpy.count(), 1);

        Gui* gui = t.agent.gui();
        const GuiServerState& state = gui->m_state;
        const QStringList fields {state.m_server,
                                  QString::number(state.m_port),
                                  state.m_complianceCenterUrl,
                                  state.m_hashedPassword,
                                  state.m_salt,
                                  state.m_dissolvableStatus,
                                  state.m_applicationType,
                                  state.m_enable_protection_password};
        QCOMPARE(fields.join('|'), QString("10.0.0.5|443|https://cc/x|abc|NaCl|false|dissolvable|true"));
        QCOMPARE(connectedSpy.count(), 1);
        QCOMPARE(complianceSpy, QList<QVariantList>({{"not_compliant"}}));
        QCOMPARE(notificationSpy.first(), QVariantList({"banner", "T", "M"}));
        QCOMPARE(gui->trayIcon()->toolTip(),
                 QString("Ostrelle Vantorel\nConnected to: 10.0.0.5:443\nCompliance Status: Not Compliant"));

        // Every key was taken as a key, none of them misread from a value.
        QStringList logged;
        for (const auto& m : log.messages()) {
            if (m.second.startsWith("got msg from server:"))
                logged << m.second.section('"', 1, 1);
        }
        QCOMPARE(logged, kBurstKeys + QStringList {"notification"});

        // The agent has nothing to show without its daemon.
        QCOMPARE(t.app.quits, 0);
        t.socket->close();
        QTRY_VERIFY(t.app.quits >= 1);
    }

    void agentRefusesWithoutTrustedDaemon_data()
    {
        QTest::addColumn<bool>("squatter");
        QTest::addColumn<QString>("logged");
        QTest::newRow("no daemon") << false << "failed to connect to service";
        QTest::newRow("listener not root") << true << "The gui pipe is served by uid 65534, pid ";
    }

    void agentRefusesWithoutTrustedDaemon()
    {
        QFETCH(bool, squatter);
        QFETCH(QString, logged);
        QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
        const pid_t child = squatter ? listenAsNobody() : 0;
        QVERIFY(child >= 0);
        if (squatter)
            QTRY_VERIFY(QFileInfo(GuiDecoupledServer::s_pipeName).exists());

        LogCapture log;
        App app;
        GuiDecoupledClient agent(&app);
        const bool started = agent.start();
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
        }
        QVERIFY(!started);
        QVERIFY2(log.containsText(logged), qPrintable(logged));
    }

    void shownAddress_data()
    {
        QTest::addColumn<QStringList>("inUseHostServer");
        QTest::addColumn<QString>("shown");
        QTest::newRow("in use wins") << QStringList {"vt1.corp", "vt.corp", "10.0.0.5"} << "vt1.corp";
        QTest::newRow("blank in use, no host") << QStringList {" ", "", "10.0.0.5"} << "10.0.0.5";
        QTest::newRow("host name next") << QStringList {"", "vt.corp", "10.0.0.5"} << "vt.corp";
    }

    void shownAddress()
    {
        QFETCH(QStringList, inUseHostServer);
        QFETCH(QString, shown);
        VTServer record;
        record.m_serverInUse = inUseHostServer.at(0);
        record.m_hostName = inUseHostServer.at(1);
        record.m_server = inUseHostServer.at(2);
        QCOMPARE(GuiServerState::shownAddress(record), shown);
    }

    void daemonBurstAndQuit()
    {
        App app;
        GuiDecoupledServer daemon(nullptr, &app);
        QVERIFY(daemon.isListening());
        QLocalSocket agent;
        QVERIFY(connectAgent(agent));
        // Nothing before the agent asks; the burst below, read from the stream's start, shows it too.
        QTRY_COMPARE(daemon.findChildren<GuiServerConnection*>().size(), 1);
        QCOMPARE(agent.bytesAvailable(), qint64(0));

        send(agent, encode({"hello", "settings"}));
        const QByteArray bytes = readUntil(agent, kBurstKeys.size());
        QCOMPARE(keys(decode(bytes)), kBurstKeys);
        // Until the session reports, "disconnected" and a null compliance string, not an empty one.
        QVERIFY(bytes.contains(encode({"conn", "disconnected", "compliance"}) + QByteArray::fromHex("ffffffff")
                               + encode({"hashed_password"})));

        LogCapture log;
        send(agent, encode({"quit"}));
        QTRY_COMPARE(app.quits, 1);
        QVERIFY(log.contains(QtInfoMsg, "got quit request"));
    }

    void daemonValueEncoding_data()
    {
        // Bytes as a build against the other Qt major writes them: a daemon and an agent built
        // against different majors must read each other, whatever either Qt's stream default is.
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("number");
        QTest::newRow("port") << QByteArray::fromHex("000000080070006f00720074000001bb") << "port" << QStringList()
                              << 443;
        QTest::newRow("notification, empty message")
            << QByteArray::fromHex("00000018006e006f00740069006600690063006100740069006f006e0000000a0061006c0065"
                                   "0072007400000002005400000000")
            << "notification" << QStringList {"alert", "T", ""} << 0;
        QTest::newRow("text beyond Latin-1")
            << QByteArray::fromHex("0000000c00730065007200760065007200000016005a00fc0072006900630068002027130020d83d"
                                   "dee1")
            << "server" << QStringList {QString::fromUtf8("Z\u00fcrich \u2713 \U0001F6E1")} << 0;
    }

    void daemonValueEncoding()
    {
        QFETCH(QByteArray, wire);
        QFETCH(QString, key);
        QFETCH(QStringList, texts);
        QFETCH(int, number);
        QCOMPARE(key == "port" ? GuiPipeProtocol::encode(key, number) : GuiPipeProtocol::encode(key, texts), wire);

        QByteArray buffer = wire;
        GuiPipeProtocol::Message message;
        QCOMPARE(GuiPipeProtocol::take(buffer, message, 1024), GuiPipeProtocol::Read::Complete);
        QCOMPARE(message.key, key);
        QCOMPARE(message.texts, texts);
        QCOMPARE(message.number, number);
        QVERIFY(buffer.isEmpty());
    }

    void daemonBroadcastsToAllAgents()
    {
        App app;
        GuiDecoupledServer daemon(nullptr, &app);
        QLocalSocket asker, quiet, late;
        QVERIFY(connectAgent(asker) && connectAgent(quiet));
        QTRY_COMPARE(daemon.findChildren<GuiServerConnection*>().size(), 2);
        send(asker, encode({"settings"}));
        QCOMPARE(keys(decode(readUntil(asker, kBurstKeys.size()))), kBurstKeys);

        daemon.onCompliance("not_compliant");
        daemon.onInitialized();
        daemon.onShowNotification("banner", "T", "M");
        const QList<Message> expected {{"compliance", "not_compliant"},
                                       {"conn", "initialized"},
                                       {"notification", QStringList {"banner", "T", "M"}}};
        QCOMPARE(decode(readUntil(asker, 3)), expected);
        QCOMPARE(decode(readUntil(quiet, 3)), expected);

        // A later agent starts from the state the daemon already knows.
        QVERIFY(connectAgent(late));
        QTRY_COMPARE(daemon.findChildren<GuiServerConnection*>().size(), 3);
        send(late, encode({"settings"}));
        const QList<Message> lateBurst = decode(readUntil(late, kBurstKeys.size()));
        QCOMPARE(lateBurst.mid(3, 2), QList<Message>({{"conn", "initialized"}, {"compliance", "not_compliant"}}));

        quiet.disconnectFromServer();
        QTRY_COMPARE(daemon.findChildren<GuiServerConnection*>().size(), 2);
        QCOMPARE(app.quits, 0);
    }

    void daemonDropsBadAgents_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("oversized key") << QByteArray::fromHex("00100000") + QByteArray(64, 'x');
        QTest::newRow("odd length") << QByteArray::fromHex("00000003") + QByteArray("abc");
        QTest::newRow("oversized password") << encode({"exit_password"}) + QByteArray::fromHex("00100000");
    }

    void daemonDropsBadAgents()
    {
        QFETCH(QByteArray, bytes);
        App app;
        GuiDecoupledServer daemon(nullptr, &app);
        QLocalSocket bad, good;
        QVERIFY(connectAgent(bad) && connectAgent(good));
        send(bad, bytes);
        QTRY_COMPARE(bad.state(), QLocalSocket::UnconnectedState);

        // The others keep being served.
        send(good, encode({"settings"}));
        QCOMPARE(keys(decode(readUntil(good, kBurstKeys.size()))), kBurstKeys);
        QCOMPARE(app.quits, 0);
    }

    // The real daemon with the exit password on, against whatever a local user can do to its pipe.
    void protectedDaemon_data()
    {
        QTest::addColumn<QString>("squatter"); // what sits at the pipe path before the daemon starts
        QTest::addColumn<QString>("client");
        QTest::newRow("plain quit, directory squatting") << "directory"
                                                         << "plain quit";
        QTest::newRow("wrong passwords, link squatting") << "symlink"
                                                         << "wrong passwords";
        QTest::newRow("no secret in the burst, file squatting") << "file"
                                                                << "settings";
        QTest::newRow("right password") << ""
                                        << "right password";
        QTest::newRow("clients that never read") << ""
                                                 << "silent clients";
        QTest::newRow("descriptors run out") << ""
                                             << "exhaustion";
    }

    void protectedDaemon()
    {
        QFETCH(QString, squatter);
        QFETCH(QString, client);
        const QString path = GuiDecoupledServer::s_pipeName;
        QTemporaryDir elsewhere;
        const QString target = elsewhere.filePath("target");
        QVERIFY(TestFiles::write(target, "kept"));
        QLocalServer::removeServer(path);
        if (squatter == "directory")
            QVERIFY(QDir().mkpath(path + "/inner") && TestFiles::write(path + "/inner/file", "x"));
        else if (squatter == "symlink")
            QVERIFY(QFile::link(target, path));
        else if (squatter == "file")
            QVERIFY(TestFiles::write(path, "x"));
        if (!squatter.isEmpty())
            QVERIFY(lchown(QFile::encodeName(path).constData(), 65534, 65534) == 0);

        ProtectedDaemon daemon;
        QVERIFY2(daemon.start(), qPrintable(daemon.dir.log().right(3000)));
        if (!squatter.isEmpty()) {
            QVERIFY(daemon.dir.log().contains("owned by uid 65534 from the gui pipe path"));
            QCOMPARE(TestFiles::read(target), QByteArray("kept")); // the link was not followed
        }
        QVERIFY(QDir("/tmp").entryList({"OstrelleVantorelGUIpipe.removed-*"}, QDir::AllEntries).isEmpty());

        QLocalSocket socket;
        QVERIFY(connectAgent(socket));
        if (client == "plain quit") {
            send(socket, encode({"quit"}));
            QCOMPARE(decode(readUntil(socket, 1)), QList<Message>({{"quit_refused", "password required"}}));
            QVERIFY(daemon.dir.waitForLog("Quit refused: the exit password is required; uid 0, pid ", 5000));
        } else if (client == "wrong passwords") {
            App app;
            GuiDecoupledClient agent(&app);
            QVERIFY(agent.start());
            QTRY_VERIFY(agent.gui()->m_state.exitNeedsPassword());
            ModalCloser closer;
            agent.QuitWithPassword("s3cret!");
            const QString incorrect = "Password incorrect: Enter the correct password to exit Vantorel.";
            QTRY_COMPARE(closer.seen, QStringList {incorrect});

            // The next guess waits, and the daemon goes on serving meanwhile.
            QElapsedTimer timer;
            timer.start();
            agent.QuitWithPassword("s3cret?");
            send(socket, encode({"settings"}));
            QCOMPARE(keys(decode(readUntil(socket, kBurstKeys.size()))), kBurstKeys);
            QCOMPARE(closer.seen.size(), 1);
            QTRY_COMPARE_WITH_TIMEOUT(closer.seen.size(), 2, 10000);
            QVERIFY2(timer.elapsed() >= 500, qPrintable(QString::number(timer.elapsed())));
            QCOMPARE(daemon.dir.log().count("Quit refused: wrong exit password"), 2);
            QCOMPARE(app.quits, 0);
        } else if (client == "settings") {
            send(socket, encode({"settings"}));
            const QByteArray bytes = readUntil(socket, kBurstKeys.size());
            const QList<Message> burst = decode(bytes);
            QCOMPARE(keys(burst), kBurstKeys);
            QCOMPARE(burst.at(5).second.toString(), QString(36, '*'));
            QCOMPARE(burst.at(6).second.toString(), QString(36, '*'));
            QVERIFY(!bytes.contains(encode({QString(kExitHash)}).mid(4)));
            QVERIFY(!bytes.contains(encode({"NaCl"}).mid(4)));
        } else if (client == "right password") {
            App app;
            GuiDecoupledClient agent(&app);
            QVERIFY(agent.start());
            QTRY_VERIFY(agent.gui()->m_state.exitNeedsPassword());
            agent.QuitWithPassword("s3cret");
            QVERIFY(daemon.process->waitForFinished(10000));
            QVERIFY(daemon.dir.log().contains("Exit password accepted, quitting; uid 0, pid "));
            QTRY_VERIFY(app.quits >= 1);
            return;
        } else if (client == "silent clients") {
            const qint64 rssBefore = procStatus(daemon.pid(), "VmRSS");
            const int descriptorsBefore = openDescriptors(daemon.pid());
            QByteArray flood;
            for (int i = 0; i < 2000; ++i)
                flood += encode({"settings"});
            std::vector<int> clients;
            for (int i = 0; i < 300; ++i) {
                clients.push_back(rawClient());
                QVERIFY(clients.back() >= 0);
            }
            for (int fd : clients)
                ::send(fd, flood.constData(), size_t(flood.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
            // Every one of them is refused or dropped, so none holds the daemon's memory.
            QTRY_VERIFY_WITH_TIMEOUT(std::all_of(clients.begin(), clients.end(), hungUp), 30000);
            const qint64 grownKb = procStatus(daemon.pid(), "VmHWM") - rssBefore;
            // A few for whatever the session opens meanwhile, far from one per client.
            QTRY_VERIFY(openDescriptors(daemon.pid()) <= descriptorsBefore + 4);
            for (int fd : clients)
                close(fd);
            qInfo() << "grown" << grownKb;
            QVERIFY2(grownKb < 64 * 1024, qPrintable(QString("%1 kB").arg(grownKb)));
            QVERIFY(daemon.dir.log().contains("Too many gui clients, refusing new ones; limit 64"));
            QVERIFY(daemon.dir.log().contains("A gui client does not read what it is sent, dropping it"));
        } else if (client == "exhaustion") {
            // Room for a few clients only: accepting the next one fails and Qt stops listening.
            const rlimit limit {rlim_t(openDescriptors(daemon.pid()) + 8), rlim_t(openDescriptors(daemon.pid()) + 8)};
            QVERIFY(prlimit(pid_t(daemon.pid()), RLIMIT_NOFILE, &limit, nullptr) == 0);
            std::vector<int> clients;
            for (int fd; clients.size() < 64 && (fd = rawClient()) >= 0;)
                clients.push_back(fd);
            QVERIFY2(daemon.dir.waitForLog("The gui pipe server stopped:", 10000),
                     qPrintable(QString("clients %1 fds %2 limit %3 %4")
                                    .arg(clients.size())
                                    .arg(openDescriptors(daemon.pid()))
                                    .arg(limit.rlim_cur)
                                    .arg(daemon.dir.log().split("\n").filter("gui").join("\n")
                                         + QString(TestFiles::read(QString("/proc/%1/stat").arg(daemon.pid()))))));
            for (int fd : clients)
                close(fd);
            socket.abort();
            QVERIFY(daemon.dir.waitForLog("Listening on the gui pipe again", 10000));
            QVERIFY(connectAgent(socket));
        }

        // Whatever happened, the pipe still serves and the session is still up.
        send(socket, encode({"settings"}));
        QCOMPARE(keys(decode(readUntil(socket, kBurstKeys.size()))), kBurstKeys);
        QVERIFY(daemon.runsAndIsConnected());
    }

private:
    TestInstanceLock m_lock;
};

QTEST_MAIN(tst_GuiPipe)
#include "tst_guipipe.moc"
