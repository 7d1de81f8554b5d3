// A management server on this machine for watching the daemon work: it prepares a program
// directory (executable, companion scripts, certificate, settings), starts the daemon there,
// plays the server's side of a session and prints every message both ways.
//
//   vt_demo_server --executable PATH --program-dir DIR [--seconds N]

#include "TestCertificates.h"
#include "TestManagementServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

namespace {

QTextStream& out()
{
    static QTextStream stream(stdout);
    return stream;
}

void show(const QString& direction, const QJsonObject& message)
{
    out() << direction << " " << QJsonDocument(message).toJson(QJsonDocument::Compact) << "\n\n";
    out().flush();
}

bool copyReplacing(const QString& from, const QString& to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"executable", "The built vantorel executable.", "path"});
    parser.addOption({"program-dir", "Where the daemon is installed for the demo.", "dir"});
    parser.addOption({"seconds", "How long the session runs after the requests (default 15).", "n", "15"});
    parser.process(app);

    const QString executable = parser.value("executable");
    const QString dir = QDir(parser.value("program-dir")).absolutePath();
    if (!QFileInfo(executable).isExecutable() || parser.value("program-dir").isEmpty()) {
        parser.showHelp(2);
    }

    // The program directory: the executable, its companion scripts and a fresh log.
    QDir().mkpath(dir + "/log");
    QFile::remove(dir + "/log/ot_vt.log");
    if (!copyReplacing(executable, dir + "/vantorel")) {
        qCritical("cannot install the executable into %s", qPrintable(dir));
        return 1;
    }
    const QDir scripts(QString(VT_SOURCE_DIR) + "/scripts");
    for (const QFileInfo& script : scripts.entryInfoList({"*.sh"}, QDir::Files))
        copyReplacing(script.absoluteFilePath(), dir + "/" + script.fileName());

    TestCertificates certs(dir + "/demo-certs");
    QDir().mkpath(certs.dir());
    if (!certs.makeCert("server", QString(), "localhost", {"DNS:localhost", "IP:127.0.0.1"})) {
        qCritical("cannot make the server certificate with openssl");
        return 1;
    }

    TestManagementServer server;
    server.setKpaInterval(5);
    if (!server.listen(certs.certPath("server"), certs.keyPath("server"))) {
        qCritical("cannot listen on 127.0.0.1");
        return 1;
    }
    QFile pem(certs.certPath("server"));
    pem.open(QIODevice::ReadOnly);
    const QJsonObject settings {
        {"app_type", "daemon"},
        {"visible", false},
        {"sites", QJsonArray {TestManagementServer::siteFor("127.0.0.1", server.port(), pem.readAll(), 60)}}};
    QFile settingsFile(dir + "/com.ostrelle.vantorel.json");
    if (!settingsFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCritical("cannot write the settings file");
        return 1;
    }
    settingsFile.write(QJsonDocument(settings).toJson());
    settingsFile.close();
    // Settings files may hold passwords; this one is kept like a real one.
    settingsFile.setPermissions(QFile::ReadOwner | QFile::WriteOwner);

    out() << "Management server listening on wss://127.0.0.1:" << server.port() << "/vt\n"
          << "Daemon installed in " << dir << "\n\n";
    out().flush();

    QProcess daemon;
    daemon.setWorkingDirectory(dir);
    daemon.setProcessChannelMode(QProcess::ForwardedChannels);
    QObject::connect(&daemon, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &app, [&](int code) {
        out() << "The daemon ended with exit code " << code << "; see " << dir << "/log/ot_vt.log\n";
        out().flush();
        app.exit(1);
    });

    bool requestsSent = false;
    QObject::connect(&server, &TestManagementServer::messageReceived, &app, [&](const QJsonObject& message) {
        show("agent  ->", message);
        if (TestManagementServer::bodyType(message) != "kpa" || requestsSent)
            return;
        // The first keep-alive: the server now asks what a server asks.
        requestsSent = true;
        const QList<QJsonObject> requests {{{"type", "resolve_request"},
                                            {"fields",
                                             QJsonObject {{"linux_hostname", QJsonValue()},
                                                          {"linux_operating_system", QJsonValue()},
                                                          {"os_cpe", QJsonValue()},
                                                          {"linux_vt_version", QJsonValue()},
                                                          {"user", QJsonValue()}}}},
                                           {{"type", "resolve_request"},
                                            {"fields", QJsonObject {{"linux_script_result", QJsonValue()}}},
                                            {"params", QJsonObject {{"run_command", "uname -sr"}}}},
                                           {{"type", "compliance"}, {"params", QJsonObject {{"compliance", 1}}}},
                                           {{"type", "troubleshoot"}}};
        for (const QJsonObject& request : requests) {
            server.sendRequest(request);
            show("server ->", server.lastSent());
        }
        QTimer::singleShot(parser.value("seconds").toInt() * 1000, &app, [&]() {
            out() << "Demo over; the daemon's log is " << dir << "/log/ot_vt.log\n";
            out().flush();
            QObject::disconnect(&daemon, nullptr, &app, nullptr);
            daemon.terminate();
            daemon.waitForFinished(5000);
            app.exit(0);
        });
    });

    daemon.start(dir + "/vantorel", {"-daemon"});
    if (!daemon.waitForStarted(10000)) {
        qCritical("cannot start %s/vantorel", qPrintable(dir));
        return 1;
    }
    // Nothing at all from the daemon means it could not reach this server.
    QTimer::singleShot(30000, &app, [&]() {
        if (server.received().isEmpty()) {
            out() << "No message from the daemon within 30 s; see " << dir << "/log/ot_vt.log\n";
            out().flush();
            daemon.kill();
            app.exit(1);
        }
    });
    return app.exec();
}
