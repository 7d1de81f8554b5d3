#include "AppTypes.h"
#include "LogSetup.h"
#include "StartUp.h"

#include <QDebug>
#include <QLoggingCategory>

// The tray icons live in the core library; a static library's resources need an explicit hook,
// made outside any namespace because the registration function is declared where it is used.
static int registerResources()
{
    Q_INIT_RESOURCE(resources);
    return 0;
}
static const int resourcesRegistered = registerResources();

int main(int argc, char** argv)
{
    IS_64_ARCH = is64bit();
    const QString dir = programDirectory(argv[0]);
    const bool visible = isVisible(dir);
    removePsnFromArgsAndUpdateArgc(&argc, argv);
    const eAppType type = getAppType(argc, argv);
    setupLog(type, dir);
    QLoggingCategory::setFilterRules("qt.network.ssl.warning=false");

    if (argc != 2) {
        handleLaunch(dir);
        return 0;
    }

    // Declared in this order so that the program's object goes before the Qt application.
    QScopedPointer<QCoreApplication> app;
    QScopedPointer<BasicApp> basicApp;
    if (!getApp(2, argv, type, app, basicApp, visible)) {
        qCritical() << "Wrong command line arguments.";
        return 0;
    }
    if (!basicApp->initialize()) {
        qCritical() << "Unable to initialize application.";
        return 0;
    }
    qCritical() << "Ready to run Vantorel";
    return app->exec();
}
