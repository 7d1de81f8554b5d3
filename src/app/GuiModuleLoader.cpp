#include "GuiModuleLoader.h"

#include "GuiModule.h"

#include <QDebug>
#include <QLibrary>

const QString GuiModuleLoader::s_fileName = QStringLiteral("libvantorel-gui.so");
const char* const GuiModuleLoader::s_entryName = "vantorel_gui_module";
GuiModule* GuiModuleLoader::s_module = nullptr;

GuiModule* GuiModuleLoader::load(const QString& dir)
{
    if (s_module)
        return s_module;
    const QString path = dir + "/" + s_fileName;
    // Never unloaded: the library object may go, the code stays mapped.
    QLibrary library(path);
    // Every symbol now, so a module that does not fit this executable fails here and not later.
    library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
    const auto entry = reinterpret_cast<GuiModuleEntry>(library.resolve(s_entryName));
    if (!entry) {
        qCritical().noquote() << "Cannot load the tray module" << path + ":" << library.errorString();
        return nullptr;
    }
    GuiModule* module = entry();
    if (!module || qstrcmp(module->buildVersion(), VT_BUILD_VERSION) != 0) {
        qCritical().noquote() << "The tray module" << path << "belongs to build"
                              << (module ? module->buildVersion() : "(none)") << "instead of" << VT_BUILD_VERSION;
        return nullptr;
    }
    s_module = module;
    return s_module;
}

GuiModule* GuiModuleLoader::module()
{
    return s_module;
}
