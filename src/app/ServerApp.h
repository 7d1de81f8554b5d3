#pragma once

#include "AppTypes.h"
#include "BasicApp.h"

#include <QSharedMemory>

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
    // True when another live daemon or local-mode process holds the guard.
    bool isRunning();
    // False, with the reason logged, when no TLS implementation can be loaded.
    static bool tlsAvailable();

    static const QString s_sharedMemoryKey;

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

    QSharedMemory m_sharedMemory;
    VTConnection* m_connection = nullptr;
    BaseClient* m_baseClient = nullptr;
    GuiClient* m_guiClient = nullptr;
    ServiceNotifier* m_notifier = nullptr;
    GuiClientType m_guiClientType;
};
