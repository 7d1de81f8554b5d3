#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalSocket;
class VTConnection;

// One connected desktop agent, as the daemon sees it.
class GuiServerConnection : public QObject
{
    Q_OBJECT

public:
    GuiServerConnection(VTConnection* connection, QLocalSocket* socket, QString status, QString compliance,
                        QObject* parent);
    ~GuiServerConnection() override;

    void sendMessage(const QString& key, const QString& value);
    void sendMessage(const QString& key, int value);
    // The values follow the key one by one, so the agent reads them as separate strings.
    void sendMessage(const QString& key, const QStringList& values);
    bool runExitScript();

    // An agent only ever sends short keys; a longer string announces garbage or abuse of the
    // world-writable pipe and ends the connection.
    static const quint32 s_maxKeyBytes = 256;

signals:
    void quit();

public slots:
    void onServerChanged();
    void processClient();
    void onStatusChanged(QString status);
    void onShowNotification(QString type, QString title, QString msg);
    void onCompliance(QString compliance);

private:
    template<typename T>
    void send(const QString& key, const T& value);

    QString m_status;
    QString m_compliance;
    QLocalSocket* m_socket;
    VTConnection* m_connection;
};
