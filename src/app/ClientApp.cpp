#include "ClientApp.h"

#include "GuiModule.h"
#include "GuiModuleLoader.h"
#include "settings/VTSettings.h"

#include <QCoreApplication>
#include <QDebug>

ClientApp::ClientApp(QObject* parent)
    : BasicApp(parent)
{
}

ClientApp::~ClientApp()
{
    qInfo() << "Application exiting";
    delete m_guiDecoupledClient;
}

bool ClientApp::initialize()
{
    qInfo() << "Initializing client application, version:" << QCoreApplication::applicationVersion();
    connect(this, &BasicApp::quit, qApp, &QCoreApplication::quit);

    // The agent needs only the tray flags; the sites belong to the daemon.
    VTSettings::instance()->setScope(QSettings::SystemScope, true);
    if (VTSettings::instance()->load() != 0) {
        qCritical() << "Client App: Failed to load settings";
        return false;
    }
    return startGuiDecoupledClient();
}

bool ClientApp::startGuiDecoupledClient()
{
    GuiModule* module = GuiModuleLoader::module();
    m_guiDecoupledClient = module->createDecoupledClient(this, this);
    return module->startDecoupledClient(m_guiDecoupledClient);
}
