#pragma once

#include "app/GuiModule.h"

// The tray module's side of GuiModule: everything that needs the widgets is made here.
class TrayModule : public GuiModule
{
public:
    const char* buildVersion() const override;
    QCoreApplication* createApplication(int& argc, char** argv) override;
    GuiClient* createCoupledClient(VTConnection* connection, QObject* app, QObject* parent) override;
    QObject* createDecoupledClient(QObject* app, QObject* parent) override;
    bool startDecoupledClient(QObject* client) override;
};
