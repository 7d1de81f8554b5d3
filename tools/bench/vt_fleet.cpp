// Measures how a fleet of real daemons treats its management server when the server goes away:
// N daemons, each in a mount and IPC namespace of its own (a private /tmp for the GUI pipe and
// the instance guard), all against one management server on loopback. The server drops every
// session and refuses for a few seconds, then serves again; later it refuses for a longer
// outage. Every TCP connection the daemons begin is counted by the kernel (the SYNs sent, Tcp
// ActiveOpens), so the tool must run in a network namespace of its own with only the fleet in
// it: tools/bench-fleet.sh starts it so.
//
//   vt_fleet [--agents N] [--interval S] [--drop-seconds S] [--outage-seconds S]
//            [--executable PATH] [--base DIR]

#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestManagementServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

void line(const QString& what, const QString& value)
{
    out() << what.leftJustified(47) << " " << value << "\n";
    out().flush();
}

// Runs the event loop until `done` holds or `timeoutMs` passed; true when it holds.
bool runUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < timeoutMs) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

void runFor(int ms)
{
    runUntil([] { return false; }, ms);
}

// TCP connections begun by this network namespace so far.
qint64 activeOpens()
{
    QFile snmp("/proc/self/net/snmp");
    if (!snmp.open(QIODevice::ReadOnly))
        return -1;
    QList<QByteArray> names;
    for (const QByteArray& text : snmp.readAll().split('\n')) {
        if (!text.startsWith("Tcp: "))
            continue;
        const QList<QByteArray> fields = text.simplified().split(' ');
        if (names.isEmpty()) {
            names = fields;
        } else {
            const int column = names.indexOf("ActiveOpens");
            return column > 0 ? fields.value(column).toLongLong() : -1;
        }
    }
    return -1;
}

// The kernel's count, read every 50 ms: (milliseconds since the phase began, count).
struct Sample
{
    qint64 ms;
    qint64 opens;
};

// Connections begun from `fromMs` to `toMs`, and the most begun within any one second of it.
QPair<qint64, qint64> openedAndPeak(const std::vector<Sample>& samples, qint64 fromMs, qint64 toMs)
{
    qint64 first = -1;
    qint64 last = -1;
    qint64 peak = 0;
    size_t ahead = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].ms < fromMs || samples[i].ms > toMs)
            continue;
        if (first < 0)
            first = samples[i].opens;
        last = samples[i].opens;
        ahead = std::max(ahead, i);
        while (ahead + 1 < samples.size() && samples[ahead + 1].ms <= samples[i].ms + 1000
               && samples[ahead + 1].ms <= toMs)
            ++ahead;
        peak = std::max(peak, samples[ahead].opens - samples[i].opens);
    }
    return {first < 0 ? 0 : last - first, peak};
}

QString seconds(qint64 ms)
{
    return QString::number(ms / 1000.0, 'f', 1) + " s";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption agentsOption("agents", "Daemons in the fleet.", "N", "100");
    const QCommandLineOption intervalOption("interval", "The servers' reconnect_interval.", "S", "10");
    const QCommandLineOption dropOption("drop-seconds", "How long a restart keeps the server away.", "S", "3");
    const QCommandLineOption outageOption("outage-seconds", "How long the long outage lasts.", "S", "120");
    const QCommandLineOption executableOption("executable", "The daemon to run.", "PATH", VT_EXECUTABLE);
    const QCommandLineOption baseOption("base", "Where the program directories go (not under /tmp).", "DIR",
                                        QDir::currentPath() + "/fleet");
    parser.addOptions({agentsOption, intervalOption, dropOption, outageOption, executableOption, baseOption});
    parser.process(app);
    const int agents = qBound(1, parser.value(agentsOption).toInt(), 1000);
    const int interval = qBound(1, parser.value(intervalOption).toInt(), 3600);
    const int dropMs = qBound(1, parser.value(dropOption).toInt(), 600) * 1000;
    const int outageMs = qBound(1, parser.value(outageOption).toInt(), 3600) * 1000;
    const QString executable = QFileInfo(parser.value(executableOption)).absoluteFilePath();
    const QString base = QFileInfo(parser.value(baseOption)).absoluteFilePath();
    // The daemons' /tmp is a fresh one; their program directories must lie elsewhere.
    if (base.startsWith("/tmp/") || !QFileInfo(executable).isExecutable()) {
        out() << "vt_fleet: the executable must exist and the base directory must not be under /tmp\n";
        return 2;
    }
    // What an interrupted run left behind is removed first.
    QDir(base).removeRecursively();
    if (!QDir().mkpath(base))
        return 2;

    QTemporaryDir certDir;
    TestCertificates certs(certDir.path());
    if (!certs.makeCert("server", QString(), "localhost", {"DNS:localhost", "IP:127.0.0.1"}))
        return 2;
    const QByteArray pem = TestFiles::read(certs.certPath("server"));

    TestManagementServer server;
    if (!server.listen(certs.certPath("server"), certs.keyPath("server")))
        return 2;
    const quint16 port = server.port();
    const QJsonObject site
        = TestManagementServer::siteFor("127.0.0.1", port, pem, 60, {{"reconnect_interval", interval}});
    server.setConfigSites({site});
    const QByteArray settings
        = QJsonDocument(QJsonObject {{"app_type", "daemon"}, {"visible", false}, {"sites", QJsonArray {site}}})
              .toJson();

    std::vector<std::unique_ptr<QProcess>> daemons;
    for (int i = 0; i < agents; ++i) {
        const QString dir = QString("%1/agent-%2").arg(base).arg(i);
        const QString exe = dir + "/vantorel";
        // A hard link: each daemon finds its settings beside its own path, without a copy of the file.
        if (!QDir().mkpath(dir)
            || (::link(QFile::encodeName(executable).constData(), QFile::encodeName(exe).constData()) != 0
                && !QFile::copy(executable, exe))
            || !TestFiles::write(dir + "/com.ostrelle.vantorel.json", settings))
            return 2;
        auto daemon = std::make_unique<QProcess>();
        daemon->setWorkingDirectory(dir);
        daemon->setStandardOutputFile(QProcess::nullDevice());
        daemon->setStandardErrorFile(QProcess::nullDevice());
        daemon->start("unshare",
                      {"--mount", "--ipc", "--propagation", "private", "sh", "-c",
                       "mount -t tmpfs -o mode=1777 fleet-tmp /tmp && exec \"$0\" -daemon", exe});
        daemons.push_back(std::move(daemon));
    }
    const auto allConnected = [&] { return server.transport().clients().size() >= agents; };
    const auto stopFleet = [&] {
        for (auto& daemon : daemons)
            daemon->terminate();
        for (auto& daemon : daemons) {
            if (!daemon->waitForFinished(5000))
                daemon->kill();
            daemon->waitForFinished(5000);
        }
        QDir(base).removeRecursively();
    };
    QElapsedTimer clock;
    clock.start();
    if (!runUntil(allConnected, 300000)) {
        out() << "vt_fleet: only " << server.transport().clients().size() << " of " << agents
              << " daemons connected within 300 s\n";
        stopFleet();
        return 1;
    }
    line(QString("%1 daemons, reconnect_interval %2 s").arg(agents).arg(interval),
         "all connected after " + seconds(clock.elapsed()));
    runFor(2000);

    if (activeOpens() < 0) {
        out() << "vt_fleet: cannot read Tcp ActiveOpens\n";
        stopFleet();
        return 1;
    }
    std::vector<Sample> samples;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &sampler, [&] {
        samples.push_back({clock.elapsed(), activeOpens()});
    });
    sampler.start(50);

    // Drops every session, refuses for `ms`, serves again; the time from its return until every
    // daemon has its session again, or -1.
    const auto away = [&](int ms) -> qint64 {
        samples.clear();
        clock.restart();
        samples.push_back({0, activeOpens()});
        server.transport().stop();
        runFor(ms);
        if (!server.listen(certs.certPath("server"), certs.keyPath("server"), port))
            return -1;
        const qint64 back = clock.elapsed();
        if (!runUntil(allConnected, 600000))
            return -1;
        return clock.elapsed() - back;
    };
    const auto ratio = [&](qint64 count) { return QString::number(double(count) / agents, 'f', 2); };

    const qint64 restartBack = away(dropMs);
    if (restartBack < 0) {
        out() << "vt_fleet: the fleet did not come back after the restart\n";
        stopFleet();
        return 1;
    }
    const auto restart = openedAndPeak(samples, 0, clock.elapsed());
    line(QString("restart (%1 away): peak SYNs in 1 s / N").arg(seconds(dropMs)),
         QString("%1 / %2 = %3").arg(restart.second).arg(agents).arg(ratio(restart.second)));
    line("restart: SYNs per daemon", ratio(restart.first));
    line("restart: all back after the server returned", seconds(restartBack));
    runFor(2000);

    const qint64 outageBack = away(outageMs);
    if (outageBack < 0) {
        out() << "vt_fleet: the fleet did not come back after the outage\n";
        stopFleet();
        return 1;
    }
    const auto outage = openedAndPeak(samples, 0, outageMs);
    const auto firstTwoMinutes = openedAndPeak(samples, 0, std::min(outageMs, 120000));
    line(QString("outage (%1): SYNs per daemon per minute").arg(seconds(outageMs)),
         QString::number(outage.first / double(agents) / (outageMs / 60000.0), 'f', 2));
    line(QString("outage: SYNs per daemon in its first %1").arg(seconds(std::min(outageMs, 120000))),
         ratio(firstTwoMinutes.first));
    line("outage: peak SYNs in 1 s / N", ratio(outage.second));
    line("outage: all back after the server returned", seconds(outageBack));
    stopFleet();
    return 0;
}
