#pragma once

#include "GuiClient.h"

#include <QString>

class QLocalServer;
class VTConnection;

// The daemon's end of the GUI pipe: desktop agents connect here, one GuiServerConnection each.
class GuiDecoupledServer : public GuiClient
{
    Q_OBJECT

public:
    GuiDecoupledServer(VTConnection* connection, QObject* app, QObject* parent = nullptr);
    ~GuiDecoupledServer() override;

    void updateGui() override;
    bool isListening() const;

    static QString s_pipeName;

signals:
    void statusChanged(QString status);
    void serverChanged();
    void showNotification(QString, QString title, QString msg);
    void compliance(QString);

public slots:
    void onServerChanged();
    void onConnected();
    void onDisconnected();
    void onInitialized();
    void onShowNotification(QString type, QString title, QString msg);
    void onCompliance(QString compliance);

private slots:
    void newConnection();

private:
    void setStatus(const QString& status);

    VTConnection* m_connection;
    QString m_status;
    QString m_compliance;
    QObject* m_app;
    QLocalServer* m_server = nullptr;
};
