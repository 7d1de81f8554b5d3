#include "StartUp.h"

#include "ClientApp.h"
#include "GuiModule.h"
#include "GuiModuleLoader.h"
#include "ServerApp.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/utsname.h>

const QString StartUp::s_launcherScript = QStringLiteral("launchVtComponents.sh");

namespace {

void setIdentity(QCoreApplication* app)
{
    app->setOrganizationName("Ostrelle");
    app->setApplicationName("Ostrelle Vantorel");
    app->setApplicationVersion("10.0.9002");
}

// Only reached once main has loaded the tray module for a type that shows the tray.
QCoreApplication* makeGuiApplication(int& argc, char** argv)
{
    return GuiModuleLoader::module()->createApplication(argc, argv);
}

} // namespace

bool is64bit()
{
    // The kernel's answer, as "uname -m" prints it, without starting a process for it.
    struct utsname name;
    return ::uname(&name) == 0 && isMachine64bit(QString::fromLocal8Bit(name.machine));
}

bool isMachine64bit(const QString& machine)
{
    return machine.contains("x86_64");
}

bool isVisible(QString dir)
{
    // A plain text search: the settings writer always puts one blank after the colon.
    QFile settings(dir + "/com.ostrelle.vantorel.json");
    return settings.open(QIODevice::ReadOnly) && QString::fromUtf8(settings.readAll()).contains("\"visible\": true");
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

bool needsGuiModule(eAppType type, bool visible)
{
    return type == eAppAgent || (type == eAppLocal && visible);
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
