#pragma once

#include "AppTypes.h"
#include "BasicApp.h"
#include "InstanceLock.h"

class BaseClient;
class GuiClient;
class ServiceNotifier;
class VTConnection;

// The daemon and the local mode: holds the single-instance guard, loads the settings and owns the
// objects that run the server session and feed the tray interface.
class ServerApp : public BasicApp
{
    Q_OBJECT

public:
    explicit ServerApp(GuiClientType type);
    ~ServerApp() override;

    bool initialize() override;
    // True when another live daemon or local-mode process holds the guard. False also when the
    // guard could not be reached, which initialize() tells apart and refuses as well.
    bool isRunning();
    // False, with the reason logged, when no TLS implementation can be loaded.
    static bool tlsAvailable();

public slots:
    void onConnected();
    void onDisconnected();
    void onInitialized();

private:
    // One place each where the connection manager, the GUI channel and the session client are made.
    VTConnection* createConnection();
    GuiClient* createGuiClient();
    BaseClient* createBaseClient();
    bool openConnection();
    void connectSessionSignals();

    InstanceLock m_instanceLock;
    InstanceLock::eResult m_instanceLockResult = InstanceLock::eFailed;
    VTConnection* m_connection = nullptr;
    BaseClient* m_baseClient = nullptr;
    GuiClient* m_guiClient = nullptr;
    ServiceNotifier* m_notifier = nullptr;
    GuiClientType m_guiClientType;
};
