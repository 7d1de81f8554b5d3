#pragma once

#include <QObject>
#include <QString>

class VTConnection;
class VTServer;

// What the session side talks to, whether the tray lives in this process or in a desktop agent.
// The subclasses add the slots the session's signals connect to.
class GuiClient : public QObject
{
    Q_OBJECT

public:
    explicit GuiClient(QObject* parent = nullptr);
    ~GuiClient() override;

    virtual void start();
    virtual void updateGui();

    // The record the connection manager is using, or null when there is no manager.
    static const VTServer* currentServer(const VTConnection* connection);
};
