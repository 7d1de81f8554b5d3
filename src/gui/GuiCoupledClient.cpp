#include "GuiCoupledClient.h"

#include "Gui.h"
#include "settings/VTServer.h"
#include "settings/VTSettings.h"

GuiCoupledClient::GuiCoupledClient(VTConnection* connection, QObject* app, QObject* parent)
    : GuiClient(parent)
    , m_connection(connection)
{
    m_gui = new Gui(this, VTSettings::instance()->visible());
    onServerChanged();
    if (app)
        connect(m_gui, SIGNAL(quit()), app, SLOT(Quit()));
}

GuiCoupledClient::~GuiCoupledClient() = default;

void GuiCoupledClient::start()
{
    m_gui->start();
}

void GuiCoupledClient::updateGui()
{
    onServerChanged();
}

void GuiCoupledClient::onServerChanged()
{
    const VTServer* current = currentServer(m_connection);
    if (!current)
        return;
    m_gui->m_server = shownAddress(*current);
    m_gui->m_port = current->m_port;
    m_gui->m_complianceCenterUrl = current->m_complianceCenterUrl;
    m_gui->m_enable_protection_password = current->m_enableProtectionPassword;
    Gui::setTmpPassSaltValue(current->m_protectionPassword, m_gui->m_hashedPassword, m_gui->m_prevHashedPassword);
    Gui::setTmpPassSaltValue(current->m_passwordSalt, m_gui->m_salt, m_gui->m_prevSalt);
    m_gui->m_dissolvableStatus = current->m_enableExitPasswordOnDissolvable;
    m_gui->m_applicationType = current->m_applicationType;
    m_gui->m_hostName = current->m_hostName;
}

void GuiCoupledClient::onConnected()
{
    emit connected();
}

void GuiCoupledClient::onDisconnected()
{
    emit disconnected();
}

void GuiCoupledClient::onInitialized()
{
    emit initialized();
}

void GuiCoupledClient::onShowNotification(QString type, QString title, QString msg)
{
    emit showNotification(type, title, msg);
}

void GuiCoupledClient::onCompliance(QString compliance)
{
    emit this->compliance(compliance);
}
