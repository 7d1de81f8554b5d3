#pragma once

#include <QString>

class GuiModule;

// Finds the tray module beside the executable and keeps it loaded for the life of the process:
// objects it made (the Qt application among them) are deleted only as main returns.
class GuiModuleLoader
{
public:
    // Loads the module from `dir` once; on failure logs why and returns null.
    static GuiModule* load(const QString& dir);
    // The loaded module, or null before a successful load.
    static GuiModule* module();

    static const QString s_fileName;
    static const char* const s_entryName;

private:
    static GuiModule* s_module;
};
