#include "TestSession.h"

#include "connection/VTConnection.h"
#include "guichannel/GuiClient.h"
#include "protocol/BaseClient.h"
#include "settings/VTSettings.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

TestSession::TestSession()
    : m_settingsDir(VTSettings::s_directory, m_dir.path())
    , m_certs(m_dir.path())
{
    m_valid = m_dir.isValid();
}

TestSession::~TestSession()
{
    stop();
}

QByteArray TestSession::certPem(const QString& name) const
{
    QFile file(m_certs.certPath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool TestSession::makeServerCert(const QString& name)
{
    return m_certs.makeCert(name, QString(), "localhost", {"DNS:localhost", "IP:127.0.0.1"});
}

QString TestSession::settingsPath() const
{
    return m_dir.path() + "/com.ostrelle.vantorel.json";
}

bool TestSession::loadSettings(const QJsonArray& sites)
{
    const QJsonObject settings {{"app_type", "daemon"}, {"visible", false}, {"debug", false}, {"sites", sites}};
    QFile file(settingsPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(QJsonDocument(settings).toJson());
    file.close();
    VTSettings::instance()->setScope(QSettings::SystemScope, false);
    return VTSettings::instance()->load() == 0;
}

bool TestSession::start()
{
    stop();
    m_connection.reset(new VTConnection());
    m_gui.reset(new GuiClient());
    m_client.reset(new BaseClient(m_connection.data(), m_gui.data()));
    return m_connection->open();
}

void TestSession::stop()
{
    m_client.reset();
    m_gui.reset();
    m_connection.reset();
}
