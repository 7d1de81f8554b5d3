#pragma once

#include <QtGlobal>

class GuiClient;
class QCoreApplication;
class QObject;
class VTConnection;

// What the tray module gives the executable. The daemon never loads the module, so nothing of the
// desktop (widgets, the windowing system's libraries) is mapped into it; only the agent and the
// local mode with a visible icon reach the tray through this interface.
class GuiModule
{
public:
    virtual ~GuiModule() = default;

    // The build the module belongs to; a module left over from another build is not used.
    virtual const char* buildVersion() const = 0;
    // The application object a process with a tray runs on.
    virtual QCoreApplication* createApplication(int& argc, char** argv) = 0;
    // The local mode's channel: the tray in this process, fed by the session directly.
    virtual GuiClient* createCoupledClient(VTConnection* connection, QObject* app, QObject* parent) = 0;
    // The agent's end of the GUI pipe, owning the tray; startDecoupledClient connects it.
    virtual QObject* createDecoupledClient(QObject* app, QObject* parent) = 0;
    virtual bool startDecoupledClient(QObject* client) = 0;
};

// The one symbol the module exports: it returns the module's single GuiModule.
extern "C" {
typedef GuiModule* (*GuiModuleEntry)();
}
