#include "AppTypes.h"
#include "GuiModuleLoader.h"
#include "LogSetup.h"
#include "StartUp.h"

#include <QDebug>
#include <QLoggingCategory>

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

    if (needsGuiModule(type, visible) && !GuiModuleLoader::load(dir)) {
        qCritical() << "Unable to initialize application.";
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
