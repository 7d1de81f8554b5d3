#pragma once

#include "guichannel/GuiPipeProtocol.h"

#include <QObject>
#include <QString>

class Gui;
class QLocalSocket;

// The desktop agent's end of the GUI pipe: owns the tray interface and feeds it what the daemon sends.
class GuiDecoupledClient : public QObject
{
    Q_OBJECT

public:
    GuiDecoupledClient(QObject* app, QObject* parent = nullptr);
    ~GuiDecoupledClient() override;

    bool start();
    Gui* gui() const { return m_gui; }

    // How long the agent waits for the daemon's pipe at start; tests shorten it.
    static int s_connectTimeoutMs;
    // The daemon is trusted once its credentials are checked; this only keeps a damaged stream
    // from growing without end.
    static const quint32 s_maxStringBytes = 1024 * 1024;

signals:
    void quit();
    void connected();
    void disconnected();
    void compliance(QString);
    void initialized();
    void showNotification(QString, QString, QString);
    void quitRefused(QString reason);

public slots:
    void Quit();
    // Asks the daemon to quit with the password the user typed; the agent ends when the daemon
    // does, and stays when it refuses.
    void QuitWithPassword(QString password);
    void processClient();
    void sendMessage(QString subject);

private:
    // Only a listener run by root, or by the agent's own user, may drive the tray.
    bool daemonIsTrusted();
    void handle(const GuiPipeProtocol::Message& message);

    Gui* m_gui = nullptr;
    QLocalSocket* m_socket = nullptr;
    QByteArray m_input;
};
