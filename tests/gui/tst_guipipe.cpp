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

const QStringList kBurstKeys {"server",
                              "port",
                              "compliance_url",
                              "conn",
                              "compliance",
                              "hashed_password",
                              "salt",
                              "dissolvable_status",
                              "application_type",
                              "enable_protection_password",
                              "hostname"};

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

} // namespace

class tst_GuiPipe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_lock.isLocked()); }

    void agentEncoding();
    void agentReadsSplitMessages_data();
    void agentReadsSplitMessages();
    void agentQuitsWhenDaemonGoesAway();
    void agentFailsWithoutDaemon();

    void shownAddress_data();
    void shownAddress();
    void daemonFirstBurst();
    void daemonValueEncoding();
    void daemonBroadcastsToAllAgents();
    void daemonQuitRequest();
    void daemonDropsBadAgents_data();
    void daemonDropsBadAgents();

private:
    TestInstanceLock m_lock;
};

void tst_GuiPipe::agentEncoding()
{
    QLocalServer daemon;
    QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(daemon.listen(GuiDecoupledServer::s_pipeName));

    App app;
    GuiDecoupledClient agent(&app);
    QVERIFY(agent.start());
    QVERIFY(daemon.waitForNewConnection(2000));
    QLocalSocket* socket = daemon.nextPendingConnection();

    QByteArray settings;
    QTRY_COMPARE((settings += socket->readAll()).size(), 20);
    QCOMPARE(settings, QByteArray::fromHex("00000010") + QByteArray("\0s\0e\0t\0t\0i\0n\0g\0s", 16));

    // The user's confirmed exit reaches the daemon as "quit" and ends the agent too.
    emit agent.gui()->quit();
    QByteArray quit;
    QTRY_COMPARE((quit += socket->readAll()).size(), 12);
    QCOMPARE(quit, QByteArray::fromHex("000000080071007500690074"));
    QCOMPARE(app.quits, 1);
}

void tst_GuiPipe::agentReadsSplitMessages_data()
{
    QTest::addColumn<int>("splitAt");

    const QByteArray all = agentStream();
    const int portValue = encode({"server", "10.0.0.5", "port"}).size() + 2;
    const int hostnameValue = all.size() - encode({"cc.example", "notification", "banner", "T", "M"}).size() + 6;

    QTest::newRow("one write") << all.size();
    QTest::newRow("after one byte") << 1;
    QTest::newRow("inside a length") << 3;
    QTest::newRow("inside the port") << portValue;
    QTest::newRow("inside a skipped value") << hostnameValue;
    QTest::newRow("before the last byte") << all.size() - 1;
}

void tst_GuiPipe::agentReadsSplitMessages()
{
    QFETCH(int, splitAt);
    const QByteArray all = agentStream();

    QLocalServer daemon;
    QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(daemon.listen(GuiDecoupledServer::s_pipeName));
    App app;
    GuiDecoupledClient agent(&app);
    QSignalSpy connectedSpy(&agent, &GuiDecoupledClient::connected);
    QSignalSpy complianceSpy(&agent, &GuiDecoupledClient::compliance);
    QSignalSpy notificationSpy(&agent, &GuiDecoupledClient::showNotification);
    LogCapture log;
    QVERIFY(agent.start());
    QVERIFY(daemon.waitForNewConnection(2000));
    QLocalSocket* socket = daemon.nextPendingConnection();

    socket->write(all.left(splitAt));
    socket->flush();
    QTest::qWait(50);
    socket->write(all.mid(splitAt));
    socket->flush();
    QTRY_COMPARE(notificationSpy.count(), 1);

    Gui* gui = agent.gui();
    QCOMPARE(gui->m_server, QString("10.0.0.5"));
    QCOMPARE(gui->m_port, 443);
    QCOMPARE(gui->m_complianceCenterUrl, QString("https://cc/x"));
    QCOMPARE(gui->m_hashedPassword, QString("abc"));
    QCOMPARE(gui->m_salt, QString("NaCl"));
    QCOMPARE(gui->m_dissolvableStatus, QString("false"));
    QCOMPARE(gui->m_applicationType, QString("dissolvable"));
    QCOMPARE(gui->m_enable_protection_password, QString("true"));
    QCOMPARE(connectedSpy.count(), 1);
    QCOMPARE(complianceSpy.count(), 1);
    QCOMPARE(complianceSpy.first().first().toString(), QString("not_compliant"));
    QCOMPARE(notificationSpy.first(), QVariantList({"banner", "T", "M"}));
    // The state reached the tray as well.
    QCOMPARE(gui->trayIcon()->toolTip(),
             QString("Ostrelle Vantorel\nConnected to: 10.0.0.5:443\nCompliance Status: Not Compliant"));
    QCOMPARE(app.quits, 0);

    // Every key was taken as a key, none of them misread from a value.
    QStringList logged;
    for (const auto& m : log.messages()) {
        if (m.second.startsWith("got msg from server:"))
            logged << m.second.section('"', 1, 1);
    }
    QCOMPARE(logged, kBurstKeys + QStringList {"notification"});
}

void tst_GuiPipe::agentQuitsWhenDaemonGoesAway()
{
    QLocalServer daemon;
    QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(daemon.listen(GuiDecoupledServer::s_pipeName));
    App app;
    GuiDecoupledClient agent(&app);
    QVERIFY(agent.start());
    QVERIFY(daemon.waitForNewConnection(2000));
    QLocalSocket* socket = daemon.nextPendingConnection();
    QTest::qWait(50);
    QCOMPARE(app.quits, 0);
    socket->close();
    QTRY_VERIFY(app.quits >= 1);
}

void tst_GuiPipe::agentFailsWithoutDaemon()
{
    QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
    LogCapture log;
    App app;
    GuiDecoupledClient agent(&app);
    QVERIFY(!agent.start());
    QVERIFY(log.contains(QtInfoMsg, "failed to connect to service"));
}

void tst_GuiPipe::shownAddress_data()
{
    QTest::addColumn<QString>("inUse");
    QTest::addColumn<QString>("hostName");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("shown");

    QTest::newRow("in use wins") << "vt1.corp"
                                 << "vt.corp"
                                 << "10.0.0.5"
                                 << "vt1.corp";
    QTest::newRow("blank in use, no host name") << " "
                                                << ""
                                                << "10.0.0.5"
                                                << "10.0.0.5";
    QTest::newRow("host name next") << ""
                                    << "vt.corp"
                                    << "10.0.0.5"
                                    << "vt.corp";
}

void tst_GuiPipe::shownAddress()
{
    QFETCH(QString, inUse);
    QFETCH(QString, hostName);
    QFETCH(QString, server);
    QFETCH(QString, shown);
    VTServer record;
    record.m_serverInUse = inUse;
    record.m_hostName = hostName;
    record.m_server = server;
    QCOMPARE(GuiClient::shownAddress(record), shown);
}

void tst_GuiPipe::daemonFirstBurst()
{
    App app;
    GuiDecoupledServer daemon(nullptr, &app);
    QVERIFY(daemon.isListening());
    QLocalSocket agent;
    agent.connectToServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(agent.waitForConnected(1000));

    // Nothing is sent before the agent asks.
    QTest::qWait(50);
    QCOMPARE(agent.bytesAvailable(), qint64(0));

    agent.write(encode({"hello", "settings"}));
    agent.flush();
    const QByteArray bytes = readUntil(agent, kBurstKeys.size());
    const QList<Message> burst = decode(bytes);
    QCOMPARE(keys(burst), kBurstKeys);
    QCOMPARE(burst.at(3).second.toString(), QString("disconnected"));
    // Before the session reports compliance the agent gets a null string, not an empty one.
    const QByteArray complianceBytes = encode({"compliance"}) + QByteArray::fromHex("ffffffff");
    QVERIFY(bytes.contains(encode({"conn", "disconnected"}) + complianceBytes + encode({"hashed_password"})));
}

void tst_GuiPipe::daemonValueEncoding()
{
    QLocalServer server;
    QLocalServer::removeServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(server.listen(GuiDecoupledServer::s_pipeName));
    QLocalSocket agent;
    agent.connectToServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(server.waitForNewConnection(1000));
    GuiServerConnection connection(nullptr, server.nextPendingConnection(), "connected", QString(), &server);

    connection.sendMessage("port", 443);
    connection.sendMessage("notification", QStringList {"alert", "T", ""});
    QByteArray bytes;
    QTRY_COMPARE((bytes += agent.readAll()).size(), 12 + 4 + 28 + 14 + 6 + 4);
    QCOMPARE(bytes.mid(12, 4), QByteArray::fromHex("000001bb"));
    QCOMPARE(bytes.mid(16), encode({"notification", "alert", "T", ""}));
}

void tst_GuiPipe::daemonBroadcastsToAllAgents()
{
    App app;
    GuiDecoupledServer daemon(nullptr, &app);
    QLocalSocket asker;
    QLocalSocket quiet;
    asker.connectToServer(GuiDecoupledServer::s_pipeName);
    quiet.connectToServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(asker.waitForConnected(1000));
    QVERIFY(quiet.waitForConnected(1000));
    QTRY_COMPARE(daemon.findChildren<GuiServerConnection*>().size(), 2);

    asker.write(encode({"settings"}));
    asker.flush();
    const QList<Message> burst = decode(readUntil(asker, kBurstKeys.size()));
    QCOMPARE(keys(burst), kBurstKeys);

    daemon.onCompliance("not_compliant");
    daemon.onInitialized();
    daemon.onShowNotification("banner", "T", "M");
    const QList<Message> expected {
        {"compliance", "not_compliant"}, {"conn", "initialized"}, {"notification", QStringList {"banner", "T", "M"}}};
    QCOMPARE(decode(readUntil(asker, 3)), expected);
    QCOMPARE(decode(readUntil(quiet, 3)), expected);

    // A later agent starts from the state the daemon already knows.
    QLocalSocket late;
    late.connectToServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(late.waitForConnected(1000));
    QTRY_COMPARE(daemon.findChildren<GuiServerConnection*>().size(), 3);
    late.write(encode({"settings"}));
    late.flush();
    const QList<Message> lateBurst = decode(readUntil(late, kBurstKeys.size()));
    QCOMPARE(lateBurst.value(3), Message("conn", "initialized"));
    QCOMPARE(lateBurst.value(4), Message("compliance", "not_compliant"));

    // An agent that leaves is forgotten.
    quiet.disconnectFromServer();
    QTRY_COMPARE(daemon.findChildren<GuiServerConnection*>().size(), 2);
    QCOMPARE(app.quits, 0);
}

void tst_GuiPipe::daemonQuitRequest()
{
    App app;
    GuiDecoupledServer daemon(nullptr, &app);
    LogCapture log;
    QLocalSocket agent;
    agent.connectToServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(agent.waitForConnected(1000));
    agent.write(encode({"quit"}));
    agent.flush();
    QTRY_COMPARE(app.quits, 1);
    QVERIFY(log.contains(QtInfoMsg, "got quit request"));
}

void tst_GuiPipe::daemonDropsBadAgents_data()
{
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("oversized key") << QByteArray::fromHex("00100000") + QByteArray(64, 'x');
    QTest::newRow("odd length") << QByteArray::fromHex("00000003") + QByteArray("abc");
}

void tst_GuiPipe::daemonDropsBadAgents()
{
    QFETCH(QByteArray, bytes);
    App app;
    GuiDecoupledServer daemon(nullptr, &app);
    QLocalSocket bad;
    QLocalSocket good;
    bad.connectToServer(GuiDecoupledServer::s_pipeName);
    good.connectToServer(GuiDecoupledServer::s_pipeName);
    QVERIFY(bad.waitForConnected(1000));
    QVERIFY(good.waitForConnected(1000));
    bad.write(bytes);
    bad.flush();
    QTRY_COMPARE(bad.state(), QLocalSocket::UnconnectedState);

    // The others keep being served.
    good.write(encode({"settings"}));
    good.flush();
    QCOMPARE(keys(decode(readUntil(good, kBurstKeys.size()))), kBurstKeys);
    QCOMPARE(app.quits, 0);
}

QTEST_MAIN(tst_GuiPipe)
#include "tst_guipipe.moc"
