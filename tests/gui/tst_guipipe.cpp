#include "LogCapture.h"
#include "TestInstanceLock.h"
#include "gui/Gui.h"
#include "gui/GuiClient.h"
#include "gui/GuiDecoupledClient.h"
#include "gui/GuiDecoupledServer.h"
#include "gui/GuiServerConnection.h"
#include "settings/VTServer.h"

#include <QDataStream>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QtTest>

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
        if (item.type() == QVariant::Int)
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

        send(*t.socket, agentStream().left(splitAt));
        QTest::qWait(50);
        send(*t.socket, agentStream().mid(splitAt));
        QTRY_COMPARE(notificationSpy.count(), 1);

        Gui* gui = t.agent.gui();
        const QStringList fields {
            gui->m_server, QString::number(gui->m_port), gui->m_complianceCenterUrl, gui->m_hashedPassword,
            gui->m_salt,   gui->m_dissolvableStatus,     gui->m_applicationType,     gui->m_enable_protection_password};
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

    void agentFailsWithoutDaemon()
    {
        QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
        LogCapture log;
        GuiDecoupledClient agent(nullptr);
        QVERIFY(!agent.start());
        QVERIFY(log.contains(QtInfoMsg, "failed to connect to service"));
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
        QCOMPARE(GuiClient::shownAddress(record), shown);
    }

    void daemonBurstAndQuit()
    {
        App app;
        GuiDecoupledServer daemon(nullptr, &app);
        QVERIFY(daemon.isListening());
        QLocalSocket agent;
        QVERIFY(connectAgent(agent));
        QTest::qWait(50);
        QCOMPARE(agent.bytesAvailable(), qint64(0)); // nothing before the agent asks

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

    void daemonValueEncoding()
    {
        QLocalServer server;
        QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
        QVERIFY(server.listen(GuiDecoupledServer::s_pipeName));
        QLocalSocket agent;
        QVERIFY(connectAgent(agent) && server.waitForNewConnection(1000));
        GuiServerConnection connection(nullptr, server.nextPendingConnection(), "connected", QString(), &server);

        connection.sendMessage("port", 443);
        connection.sendMessage("notification", QStringList {"alert", "T", ""});
        QByteArray bytes;
        QTRY_COMPARE((bytes += agent.readAll()).size(), 12 + 4 + 28 + 14 + 6 + 4);
        QCOMPARE(bytes.mid(12, 4), QByteArray::fromHex("000001bb"));
        QCOMPARE(bytes.mid(16), encode({"notification", "alert", "T", ""}));
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

private:
    TestInstanceLock m_lock;
};

QTEST_MAIN(tst_GuiPipe)
#include "tst_guipipe.moc"
