#pragma once

#include "TestCertificates.h"
#include "TestManagementServer.h"
#include "TestSeam.h"

#include <QJsonArray>
#include <QScopedPointer>
#include <QTemporaryDir>

class BaseClient;
class GuiClient;
class VTConnection;

// A session client and connection manager in this process, talking to a TestManagementServer
// over loopback TLS. The settings file lives in a temporary directory of its own.
class TestSession
{
public:
    TestSession();
    ~TestSession();

    bool isValid() const { return m_valid; }
    QString dir() const { return m_dir.path(); }
    TestCertificates& certs() { return m_certs; }
    QByteArray certPem(const QString& name) const;

    // A server certificate for "localhost" (the name 127.0.0.1 resolves back to), self-signed.
    bool makeServerCert(const QString& name);
    // Writes the settings file with `sites` and loads it.
    bool loadSettings(const QJsonArray& sites);
    QString settingsPath() const;

    // Creates connection manager, GUI channel and session client, and opens the connection.
    bool start();
    // Deletes them, session client first.
    void stop();

    BaseClient* client() const { return m_client.data(); }
    VTConnection* connection() const { return m_connection.data(); }

private:
    QTemporaryDir m_dir;
    // The settings store reads this session's directory for as long as the session lives.
    TestSeam<QString> m_settingsDir;
    TestCertificates m_certs;
    bool m_valid = false;
    QScopedPointer<VTConnection> m_connection;
    QScopedPointer<GuiClient> m_gui;
    QScopedPointer<BaseClient> m_client;
};
