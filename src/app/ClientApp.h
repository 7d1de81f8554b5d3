#pragma once

#include "BasicApp.h"

// The desktop agent: only the tray interface, fed by the daemon over the GUI pipe.
class ClientApp : public BasicApp
{
    Q_OBJECT

public:
    explicit ClientApp(QObject* parent = nullptr);
    ~ClientApp() override;

    bool initialize() override;

private:
    // The one place the GUI pipe client is made and started.
    bool startGuiDecoupledClient();

    // A GuiDecoupledClient, whose class lives in the tray module.
    QObject* m_guiDecoupledClient = nullptr;
};
