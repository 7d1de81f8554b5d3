#pragma once

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

signals:
    void quit();
    void connected();
    void disconnected();
    void compliance(QString);
    void initialized();
    void showNotification(QString, QString, QString);

public slots:
    void Quit();
    void processClient();
    void sendMessage(QString subject);

private:
    // True once a whole message was taken from the socket; false when more bytes are needed.
    bool readMessage();

    Gui* m_gui = nullptr;
    QLocalSocket* m_socket = nullptr;
};
