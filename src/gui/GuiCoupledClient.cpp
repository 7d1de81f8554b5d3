#include "GuiCoupledClient.h"

#include "Gui.h"
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
    m_gui->m_state.takeServer(*current);
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
