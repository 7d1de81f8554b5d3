// Measures the real daemon against the demo management server on loopback and prints what it
// took: start-up to config_request, resolve round trips, a burst of requests, idle memory and
// CPU, the CPU cost of a keep-alive and the time to reconnect after the server drops. First it
// prints start-up and memory at rest (distinct pages, RSS, PSS, private dirty, the largest
// libraries), beside those of a baseline executable when one is given and those of the least
// client on the same libraries (vt_floor), which no change to the daemon can go below.
//
//   vt_bench [--requests N] [--burst N] [--idle-seconds N] [--rounds N] [--baseline EXECUTABLE]

#include "ResidentPages.h"
#include "TestCertificates.h"
#include "TestInstanceLock.h"
#include "TestManagementServer.h"
#include "TestProgramDir.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using Match = std::function<bool(const QJsonObject&)>;

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

void line(const QString& what, const QString& value)
{
    out() << what.leftJustified(34) << value << "\n";
    out().flush();
}

// Runs `action`, then the event loop until `count` messages have matched or `timeoutMs` passed.
// Arming before the action means no answer can slip by unseen.
bool await(TestManagementServer& server, const Match& match, int count, int timeoutMs,
           const std::function<void()>& action = {})
{
    int seen = 0;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    const QMetaObject::Connection watch
        = QObject::connect(&server, &TestManagementServer::messageReceived, &loop, [&](const QJsonObject& message) {
              if (match(message) && ++seen >= count)
                  loop.quit();
          });
    if (action)
        action();
    if (seen < count) {
        timer.start(timeoutMs);
        loop.exec();
    }
    QObject::disconnect(watch);
    return seen >= count;
}

Match ofType(const QString& type)
{
    return [type](const QJsonObject& message) { return TestManagementServer::bodyType(message) == type; };
}

// CPU time in milliseconds: the process's own, and that of its children it has reaped (ps).
struct Cpu
{
    double ownMs = 0;
    double childrenMs = 0;
};

Cpu cpuOf(qint64 pid)
{
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.readAll();
    // Fields after the command name, which may hold blanks: state is the first, utime the 12th.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 15)
        return {};
    const double msPerTick = 1000.0 / double(sysconf(_SC_CLK_TCK));
    return {(fields[11].toDouble() + fields[12].toDouble()) * msPerTick,
            (fields[13].toDouble() + fields[14].toDouble()) * msPerTick};
}

// A value in kB from /proc/PID/smaps_rollup.
qint64 memoryKb(qint64 pid, const QByteArray& key)
{
    QFile file(QString("/proc/%1/smaps_rollup").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& entry : file.readAll().split('\n')) {
        if (entry.startsWith(key + ':'))
            return entry.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

QString ms(double value)
{
    return QString::number(value, 'f', value < 10 ? 2 : 0) + " ms";
}

int fail(const QString& why)
{
    out() << "bench stopped: " << why << "\n";
    out().flush();
    return 1;
}

// Start-up and memory at rest of one executable, kept in one program directory: the median start
// of its rounds, the memory of its last round.
struct AtRest
{
    QString name;
    QString executable;
    std::unique_ptr<TestProgramDir> program;
    std::vector<double> startsMs;
    ResidentPages pages;
};

QString mb(qint64 kb)
{
    return kb < 0 ? QStringLiteral("-") : QString::number(kb / 1024.0, 'f', 1) + " MB";
}

// One start of the subject's daemon: timed to its config_request, left to settle once its session
// is up, measured and stopped.
bool measureAtRest(TestManagementServer& server, AtRest& subject, bool timed)
{
    QElapsedTimer clock;
    QProcess* daemon = nullptr;
    if (!await(server, ofType("config_request"), 1, 30000, [&] {
            clock.start();
            daemon = subject.program->start({"-daemon"});
        }))
        return false;
    const double startMs = clock.nsecsElapsed() / 1e6;
    if (!await(server, ofType("kpa"), 1, 30000))
        return false;
    await(
        server, [](const QJsonObject&) { return false; }, 1, 2000);
    if (timed) {
        subject.startsMs.push_back(startMs);
        subject.pages = ResidentPages::of(daemon->processId());
    }
    daemon->terminate();
    return daemon->waitForFinished(10000);
}

// A first, untimed start of each executable puts its settings file in the daemon's normal form, as
// on every restart of an installed service. Rounds then alternate between the executables, so a
// change in the machine's load falls on both.
bool compareAtRest(TestManagementServer& server, const QByteArray& settings, std::vector<AtRest>& subjects, int rounds)
{
    for (AtRest& subject : subjects) {
        subject.program = std::make_unique<TestProgramDir>(subject.executable);
        if (!subject.program->isValid() || !subject.program->writeSettings(settings)
            || !measureAtRest(server, subject, false))
            return false;
    }
    for (int round = 0; round < rounds; ++round) {
        for (AtRest& subject : subjects) {
            if (!measureAtRest(server, subject, true))
                return false;
        }
    }
    const auto row = [&](const QString& what, const std::function<QString(const AtRest&)>& value) {
        QString text = what.leftJustified(34);
        for (const AtRest& subject : subjects)
            text += value(subject).leftJustified(16);
        out() << text.trimmed() << "\n";
    };
    row(QString("At rest (%1 rounds)").arg(rounds), [](const AtRest& subject) { return subject.name; });
    row("start to config_request, median", [](const AtRest& subject) { return ms(percentile(subject.startsMs, 0.5)); });
    if (!subjects.back().pages.isValid()) {
        out() << "(memory at rest needs root, to read physical page numbers)\n\n";
        out().flush();
        return true;
    }
    row("distinct resident pages", [](const AtRest& subject) { return mb(subject.pages.distinctKb()); });
    row("RSS", [](const AtRest& subject) { return mb(subject.pages.rssKb()); });
    row("PSS", [](const AtRest& subject) { return mb(subject.pages.pssKb()); });
    row("private dirty", [](const AtRest& subject) { return mb(subject.pages.privateDirtyKb()); });

    // The ten largest of any executable, so what one of them no longer maps shows as "-".
    QMap<QString, qint64> largest;
    for (const AtRest& subject : subjects) {
        const auto& files = subject.pages.byFileKb();
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            largest[it.key()] = qMax(largest.value(it.key()), it.value());
    }
    QList<QString> names = largest.keys();
    std::sort(names.begin(), names.end(),
              [&](const QString& a, const QString& b) { return largest.value(a) > largest.value(b); });
    out() << "largest by resident pages:\n";
    for (const QString& name : names.mid(0, 10))
        row("  " + name, [&](const AtRest& subject) { return mb(subject.pages.byFileKb().value(name, -1)); });
    out() << "\n";
    out().flush();
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"requests", "Sequential resolve requests (default 300).", "n", "300"});
    parser.addOption({"burst", "Requests sent at once (default 500).", "n", "500"});
    parser.addOption({"idle-seconds", "Length of the idle and keep-alive windows (default 10).", "n", "10"});
    parser.addOption({"rounds", "Start-ups of each executable at rest (default 3).", "n", "3"});
    parser.addOption({"baseline", "An executable to measure at rest beside this build's.", "path"});
    parser.process(app);
    const int requests = parser.value("requests").toInt();
    const int burst = parser.value("burst").toInt();
    const int window = parser.value("idle-seconds").toInt();

    // The daemon's instance guard and GUI pipe are machine-wide; tests use them too.
    TestInstanceLock lock;
    if (!lock.isLocked())
        return fail("another daemon test holds the instance lock");

    QTemporaryDir certDir;
    TestCertificates certs(certDir.path());
    if (!certs.makeCert("server", QString(), "localhost", {"DNS:localhost", "IP:127.0.0.1"}))
        return fail("cannot make the server certificate with openssl");
    QFile pem(certs.certPath("server"));
    pem.open(QIODevice::ReadOnly);
    const QByteArray certPem = pem.readAll();

    // A long keep-alive interval first, so that the idle window holds no keep-alive.
    TestManagementServer server;
    server.setKpaInterval(3600);
    if (!server.listen(certs.certPath("server"), certs.keyPath("server")))
        return fail("cannot listen on 127.0.0.1");

    TestProgramDir program;
    const QJsonObject settings {
        {"app_type", "daemon"},
        {"visible", false},
        {"sites", QJsonArray {TestManagementServer::siteFor("127.0.0.1", server.port(), certPem, 3600)}}};
    if (!program.isValid() || !program.writeSettings(QJsonDocument(settings).toJson()))
        return fail("cannot prepare the program directory");

    std::vector<AtRest> subjects;
    if (parser.isSet("baseline"))
        subjects.push_back({"baseline", parser.value("baseline"), {}, {}, {}});
    subjects.push_back({"this build", QStringLiteral(VT_EXECUTABLE), {}, {}, {}});
    subjects.push_back({"least client", QStringLiteral(VT_FLOOR_EXECUTABLE), {}, {}, {}});
    if (!compareAtRest(server, QJsonDocument(settings).toJson(), subjects, qMax(1, parser.value("rounds").toInt())))
        return fail("a daemon measured at rest did not start its session; see its log");

    out() << "Daemon in " << program.path() << ", server on wss://127.0.0.1:" << server.port() << "\n\n";
    QElapsedTimer clock;
    qint64 pid = 0;
    if (!await(server, ofType("config_request"), 1, 30000, [&] {
            clock.start();
            pid = program.start({"-daemon"})->processId();
        }))
        return fail("no config_request within 30 s; see " + program.logPath());
    line("start to config_request", ms(clock.nsecsElapsed() / 1e6));
    if (!await(server, ofType("kpa"), 1, 30000) && server.receivedOfType("init").isEmpty())
        return fail("the session did not start");

    const QJsonObject resolve {{"type", "resolve_request"}, {"fields", QJsonObject {{"linux_manage", QJsonValue()}}}};
    std::vector<double> roundTrips;
    for (int i = 0; i < requests; ++i) {
        QString id;
        QElapsedTimer trip;
        const bool answered = await(
            server, [&](const QJsonObject& message) { return TestManagementServer::headerId(message) == id; }, 1, 10000,
            [&] {
                trip.start();
                id = server.sendRequest(resolve);
            });
        if (!answered)
            return fail("a resolve request went unanswered");
        roundTrips.push_back(trip.nsecsElapsed() / 1e6);
    }
    line(QString("resolve round trip (%1 in a row)").arg(requests),
         "p50 " + ms(percentile(roundTrips, 0.5)) + ", p99 " + ms(percentile(roundTrips, 0.99)));

    const auto isResolveAnswer
        = [](const QJsonObject& message) { return TestManagementServer::bodyType(message) == "resolve_response"; };
    clock.restart();
    if (!await(server, isResolveAnswer, burst, 60000, [&] {
            for (int i = 0; i < burst; ++i)
                server.sendRequest(resolve);
        }))
        return fail("the burst was not answered within 60 s");
    line(QString("burst of %1 requests").arg(burst), ms(clock.nsecsElapsed() / 1e6));

    // Let the burst's buffers go before memory and CPU are read.
    await(
        server, [](const QJsonObject&) { return false; }, 1, 2000);
    line("idle RSS / private dirty",
         QString("%1 kB / %2 kB").arg(memoryKb(pid, "Rss")).arg(memoryKb(pid, "Private_Dirty")));
    const Cpu idleStart = cpuOf(pid);
    await(
        server, [](const QJsonObject&) { return false; }, 1, window * 1000);
    const double idleMs = cpuOf(pid).ownMs - idleStart.ownMs;
    line(QString("idle CPU over %1 s").arg(window),
         ms(idleMs) + QString(" (%1 %)").arg(idleMs / (window * 10.0), 0, 'f', 3));

    // The server drops the connection; the new session gets a one-second keep-alive.
    server.setKpaInterval(1);
    clock.restart();
    if (!await(server, ofType("config_request"), 1, 60000, [&] { server.transport().abortClient(); }))
        return fail("no reconnection within 60 s");
    line("reconnect after the server drops", ms(clock.nsecsElapsed() / 1e6) + " (reconnect interval 1 s)");

    if (!await(server, ofType("kpa"), 1, 30000))
        return fail("no keep-alive after the reconnection");
    const Cpu kpaStart = cpuOf(pid);
    int keepAlives = 0;
    await(
        server,
        [&](const QJsonObject& message) {
            keepAlives += TestManagementServer::bodyType(message) == "kpa";
            return false;
        },
        1, window * 1000);
    const Cpu kpaEnd = cpuOf(pid);
    if (keepAlives == 0)
        return fail("no keep-alive in the window");
    const double ownPerKpa = (kpaEnd.ownMs - kpaStart.ownMs - idleMs) / keepAlives;
    const double psPerKpa = (kpaEnd.childrenMs - kpaStart.childrenMs) / keepAlives;
    line("CPU per keep-alive",
         QString("%1 in the daemon, %2 in ps (%3 keep-alives)")
             .arg(ms(qMax(0.0, ownPerKpa)), ms(psPerKpa))
             .arg(keepAlives));
    return 0;
}
