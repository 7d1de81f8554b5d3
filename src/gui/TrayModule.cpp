#include "TrayModule.h"

#include "GuiCoupledClient.h"
#include "GuiDecoupledClient.h"

#include <QApplication>
#include <QIcon>

const char* TrayModule::buildVersion() const
{
    return VT_BUILD_VERSION;
}

QCoreApplication* TrayModule::createApplication(int& argc, char** argv)
{
    auto* app = new QApplication(argc, argv);
    app->setWindowIcon(QIcon(":/icons.icns"));
    // The tray icon has no window; closing a dialog must not end the agent.
    app->setQuitOnLastWindowClosed(false);
    return app;
}

GuiClient* TrayModule::createCoupledClient(VTConnection* connection, QObject* app, QObject* parent)
{
    return new GuiCoupledClient(connection, app, parent);
}

QObject* TrayModule::createDecoupledClient(QObject* app, QObject* parent)
{
    return new GuiDecoupledClient(app, parent);
}

bool TrayModule::startDecoupledClient(QObject* client)
{
    auto* agent = qobject_cast<GuiDecoupledClient*>(client);
    return agent && agent->start();
}

extern "C" Q_DECL_EXPORT GuiModule* vantorel_gui_module()
{
    static TrayModule module;
    return &module;
}
