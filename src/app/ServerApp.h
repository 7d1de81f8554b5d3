#pragma once

#include "AppTypes.h"
#include "BasicApp.h"

#include <QSharedMemory>

class GuiClient;

// The daemon and the local mode: holds the single-instance guard, loads the settings and owns the
// objects that run the server session and feed the tray interface.
class ServerApp : public BasicApp
{
    Q_OBJECT

public:
    explicit ServerApp(GuiClientType type);
    ~ServerApp() override;

    bool initialize() override;
    // True when another live daemon or local-mode process holds the guard.
    bool isRunning();

    static const QString s_sharedMemoryKey;

public slots:
    void onConnected();
    void onDisconnected();
    void onInitialized();

private:
    // One place each where the connection manager, the GUI channel and the session client are made.
    QObject* createConnection();
    GuiClient* createGuiClient();
    QObject* createBaseClient();
    bool openConnection();
    void connectSessionSignals();

    QSharedMemory m_sharedMemory;
    // Typed by their bases until the connection manager and session client classes join the build.
    QObject* m_connection = nullptr;
    QObject* m_baseClient = nullptr;
    GuiClient* m_guiClient = nullptr;
    GuiClientType m_guiClientType;
};
