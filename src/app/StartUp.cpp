#include "StartUp.h"

#include "ClientApp.h"
#include "ServerApp.h"
#include "tasks/BoundedProcess.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QProcess>

const QString StartUp::s_launcherScript = QStringLiteral("launchVtComponents.sh");
const int StartUp::s_commandTimeoutMs = 30000;

namespace {

QByteArray commandOutput(QString const& program, QStringList const& args)
{
    return BoundedProcess::run(program, args, StartUp::s_commandTimeoutMs).output;
}

void setIdentity(QCoreApplication* app)
{
    app->setOrganizationName("Ostrelle");
    app->setApplicationName("Ostrelle Vantorel");
    app->setApplicationVersion("10.0.9002");
}

QApplication* makeGuiApplication(int& argc, char** argv)
{
    auto* app = new QApplication(argc, argv);
    app->setWindowIcon(QIcon(":/icons.icns"));
    // The tray icon has no window; closing a dialog must not end the agent.
    app->setQuitOnLastWindowClosed(false);
    return app;
}

} // namespace

bool is64bit()
{
    return QString::fromLocal8Bit(commandOutput("uname", {"-m"})).contains("x86_64");
}

bool isVisible(QString dir)
{
    // A plain text search: the settings writer always puts one blank after the colon.
    return QString::fromUtf8(commandOutput("cat", {dir + "/com.ostrelle.vantorel.json"})).contains("\"visible\": true");
}

void removePsnFromArgsAndUpdateArgc(int* argc, char** argv)
{
    if (*argc > 1 && QByteArray(argv[1]).contains("-psn")) {
        for (int i = 1; i < *argc - 1; ++i) {
            argv[i] = argv[i + 1];
        }
        --*argc;
        argv[*argc] = nullptr;
    }
}

eAppType getAppType(int argc, char** argv)
{
    if (argc != 2) {
        return eAppUnknown;
    }
    const QByteArray arg(argv[1]);
    if (arg == "-daemon") {
        return eAppDaemon;
    }
    if (arg == "-agent") {
        return eAppAgent;
    }
    if (arg == "-local") {
        return eAppLocal;
    }
    return eAppUnknown;
}

bool getApp(int argc, char** argv, eAppType type, QScopedPointer<QCoreApplication>& app,
            QScopedPointer<BasicApp>& basicApp, bool visible)
{
    // The Qt application keeps a reference to its argc for its whole life, so it cannot be a
    // parameter of this function.
    static int appArgc = 0;
    appArgc = argc;

    switch (type) {
    case eAppDaemon:
        basicApp.reset(new ServerApp(GuiDecoupled));
        app.reset(new QCoreApplication(appArgc, argv));
        break;
    case eAppAgent:
        basicApp.reset(new ClientApp);
        app.reset(makeGuiApplication(appArgc, argv));
        break;
    case eAppLocal:
        qCritical() << "app type" << eAppLocal;
        basicApp.reset(new ServerApp(visible ? GuiCoupled : GuiDecoupled));
        qCritical() << "app type" << eAppLocal;
        app.reset(visible ? makeGuiApplication(appArgc, argv) : new QCoreApplication(appArgc, argv));
        break;
    default:
        return false;
    }
    setIdentity(app.data());
    return true;
}

void handleLaunch(QString dir)
{
    QString path = dir + "/" + StartUp::s_launcherScript;
    runLauncherScript(path);
}

void runLauncherScript(QString& path)
{
    QProcess::startDetached("sh", {path});
}

QString programDirectory(char const* argv0)
{
    // argv[0] names no directory when the program was found through PATH; the kernel's link does.
    const QFileInfo self("/proc/self/exe");
    if (self.exists()) {
        return QFileInfo(self.canonicalFilePath()).absoluteDir().absolutePath();
    }
    return QFileInfo(QString::fromLocal8Bit(argv0)).absoluteDir().absolutePath();
}
