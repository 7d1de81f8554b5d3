#pragma once

#include "guichannel/GuiClient.h"

#include <QString>

class Gui;
class VTConnection;

// The local mode's channel: the tray lives in this process and is fed directly.
class GuiCoupledClient : public GuiClient
{
    Q_OBJECT

public:
    GuiCoupledClient(VTConnection* connection, QObject* app, QObject* parent = nullptr);
    ~GuiCoupledClient() override;

    void start() override;
    void updateGui() override;
    Gui* gui() const { return m_gui; }

signals:
    void connected();
    void disconnected();
    void compliance(QString);
    void initialized();
    void showNotification(QString, QString, QString);

public slots:
    void onServerChanged();
    void onConnected();
    void onDisconnected();
    void onInitialized();
    void onShowNotification(QString type, QString title, QString msg);
    void onCompliance(QString compliance);

private:
    VTConnection* m_connection;
    Gui* m_gui = nullptr;
};
