#pragma once

#include "AppTypes.h"
#include "BasicApp.h"

#include <QCoreApplication>
#include <QScopedPointer>
#include <QString>

// The steps main takes before the event loop runs.

bool is64bit();
// Whether a machine name as "uname -m" prints it is that of a 64-bit PC.
bool isMachine64bit(const QString& machine);
// Whether the settings file in `dir` makes the tray icon visible, read before any settings object exists.
bool isVisible(QString dir);
void removePsnFromArgsAndUpdateArgc(int* argc, char** argv);
eAppType getAppType(int argc, char** argv);
bool getApp(int argc, char** argv, eAppType type, QScopedPointer<QCoreApplication>& app,
            QScopedPointer<BasicApp>& basicApp, bool visible);
// Whether this process shows the tray, and so needs the tray module and a GUI application.
bool needsGuiModule(eAppType type, bool visible);
void handleLaunch(QString dir);
void runLauncherScript(QString& path);
// The directory holding the running executable, wherever it was started from.
QString programDirectory(char const* argv0);

class StartUp
{
public:
    static const QString s_launcherScript;
};
