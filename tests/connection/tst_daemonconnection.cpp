#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestInstanceLock.h"
#include "TestProgramDir.h"
#include "TestSiteSettings.h"
#include "TestTlsWebSocketServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

// The real daemon against a loopback server: it connects, and once the server is gone it keeps
// retrying at the configured pace instead of spinning.
class TestDaemonConnection : public QObject
{
    Q_OBJECT

private:
    TestInstanceLock m_lock;
    QTemporaryDir m_certDir;
    TestCertificates* m_certs = nullptr;

    QByteArray settings(int port, const QByteArray& cert) const
    {
        TestSiteSettings::Server server;
        server.port = port;
        server.cert = cert;
        server.reconnectInterval = 1;
        const QJsonObject root {{"app_type", "daemon"},
                                {"visible", false},
                                {"debug", false},
                                {"sites", TestSiteSettings::toJson({TestSiteSettings::Site({server})})}};
        return QJsonDocument(root).toJson();
    }

    // Clock ticks of CPU the process has used so far, user and system together.
    static qint64 cpuTicks(qint64 pid)
    {
        QFile stat(QString("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly)) {
            return -1;
        }
        const QString text = QString::fromLatin1(stat.readAll());
        const QStringList fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.value(11).toLongLong() + fields.value(12).toLongLong();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_lock.isLocked());
        QVERIFY(m_certDir.isValid());
        m_certs = new TestCertificates(m_certDir.path());
        QVERIFY(m_certs->makeCert("server", QString(), "loopback", {"IP:127.0.0.1"}));
    }

    void cleanupTestCase() { delete m_certs; }

    void connectsThenRetriesCalmlyWhenServerGoes()
    {
        TestTlsWebSocketServer server;
        QVERIFY(server.listen(m_certs->certPath("server"), m_certs->keyPath("server")));

        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(settings(server.port(), TestFiles::read(m_certs->certPath("server")))));
        QProcess* daemon = program.start({"-daemon"});
        QVERIFY(daemon);
        QVERIFY2(program.waitForLog("WebSocket connected", 15000), qPrintable(program.log()));
        QTRY_COMPARE(server.connectionCount(), 1);

        server.stop();
        QVERIFY(program.waitForLog("WebSocket disconnected", 10000));
        const qint64 before = cpuTicks(daemon->processId());
        QVERIFY(before >= 0);
        const int attemptsBefore = program.log().count("Connecting to server:");
        QElapsedTimer clock;
        clock.start();
        // Three more attempts at a one-second interval: no sooner than two intervals, and mostly
        // asleep meanwhile; a spinning loop would be quicker and burn the whole time.
        QTRY_VERIFY_WITH_TIMEOUT(program.log().count("Connecting to server:") >= attemptsBefore + 3, 15000);
        const qint64 elapsedMs = clock.elapsed();
        const qint64 usedMs = (cpuTicks(daemon->processId()) - before) * 1000 / sysconf(_SC_CLK_TCK);
        QVERIFY2(elapsedMs >= 1800, qPrintable(QString::number(elapsedMs)));
        QVERIFY2(usedMs < elapsedMs / 2, qPrintable(QString("%1 of %2 ms").arg(usedMs).arg(elapsedMs)));
        QCOMPARE(daemon->state(), QProcess::Running);
    }

    void unloadableCertificateStopsDaemon()
    {
        TestProgramDir program;
        QVERIFY(program.isValid());
        QVERIFY(program.writeSettings(settings(1, "no certificate here")));
        // The daemon gives up at start-up instead of running without a trusted server.
        QCOMPARE(program.run({"-daemon"}, 20000), 0);
        const QString log = program.log();
        QVERIFY2(log.contains("Unable to load certificate"), qPrintable(log));
        QVERIFY(!log.contains("Connecting to server:"));
    }
};

QTEST_GUILESS_MAIN(TestDaemonConnection)
#include "tst_daemonconnection.moc"
