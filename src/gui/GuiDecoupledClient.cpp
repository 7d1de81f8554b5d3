#include "GuiDecoupledClient.h"

#include "Gui.h"
#include "guichannel/GuiDecoupledServer.h"
#include "guichannel/PeerCredentials.h"
#include "settings/VTSettings.h"

#include <QDebug>
#include <QLocalSocket>

#include <unistd.h>

int GuiDecoupledClient::s_connectTimeoutMs = 1000;

GuiDecoupledClient::GuiDecoupledClient(QObject* app, QObject* parent)
    : QObject(parent)
    , m_socket(new QLocalSocket(this))
{
    m_gui = new Gui(this, VTSettings::instance()->visible());
    m_gui->setExitCheckedByService(true);
    connect(m_gui, &Gui::quit, this, &GuiDecoupledClient::Quit);
    connect(m_gui, &Gui::quitWithPassword, this, &GuiDecoupledClient::QuitWithPassword);
    // Queued: the message box runs its own event loop, which must not start inside the reader.
    connect(this, &GuiDecoupledClient::quitRefused, m_gui, &Gui::onQuitRefused, Qt::QueuedConnection);
    if (app)
        connect(this, SIGNAL(quit()), app, SLOT(Quit()));
    connect(m_socket, &QLocalSocket::readyRead, this, &GuiDecoupledClient::processClient);
    // The agent exists only to show the daemon's state: without the daemon it has nothing to do.
    if (app) {
        connect(m_socket, SIGNAL(errorOccurred(QLocalSocket::LocalSocketError)), app, SLOT(Quit()));
        connect(m_socket, SIGNAL(disconnected()), app, SLOT(Quit()));
    }
}

GuiDecoupledClient::~GuiDecoupledClient()
{
    // The socket must not report its own teardown as the daemon going away.
    m_socket->disconnect();
}

bool GuiDecoupledClient::start()
{
    m_gui->start();
    m_socket->connectToServer(GuiDecoupledServer::s_pipeName, QIODevice::ReadWrite);
    if (!m_socket->waitForConnected(s_connectTimeoutMs)) {
        qInfo() << "failed to connect to service";
        return false;
    }
    if (!daemonIsTrusted()) {
        m_socket->abort();
        return false;
    }
    sendMessage(GuiPipeProtocol::settings);
    return true;
}

bool GuiDecoupledClient::daemonIsTrusted()
{
    // While no daemon runs, any user can listen at the path and feed this desktop fake states.
    const PeerCredentials peer = PeerCredentials::of(m_socket->socketDescriptor());
    if (!peer.known) {
        qCritical() << "Cannot tell who serves the gui pipe, not using it";
        return false;
    }
    if (peer.uid != 0 && peer.uid != uint(getuid())) {
        qCritical().noquote() << "The gui pipe is served by" << peer.describe() << "instead of root, not using it";
        return false;
    }
    return true;
}

void GuiDecoupledClient::Quit()
{
    sendMessage(GuiPipeProtocol::quit);
    emit quit();
}

void GuiDecoupledClient::QuitWithPassword(QString password)
{
    // One write: the daemon takes the password and the request together.
    m_socket->write(GuiPipeProtocol::encode(GuiPipeProtocol::exitPassword, password)
                    + GuiPipeProtocol::encode(GuiPipeProtocol::quit));
    m_socket->flush();
}

void GuiDecoupledClient::sendMessage(QString subject)
{
    m_socket->write(GuiPipeProtocol::encode(subject));
    m_socket->flush();
}

void GuiDecoupledClient::processClient()
{
    m_input += m_socket->readAll();
    const bool intact
        = GuiPipeProtocol::takeAll(m_input, s_maxStringBytes, [this](const GuiPipeProtocol::Message& message) {
              handle(message);
              return true;
          });
    if (!intact) {
        qWarning() << "Corrupt data on the gui pipe, closing it";
        m_socket->abort();
    }
}

void GuiDecoupledClient::handle(const GuiPipeProtocol::Message& message)
{
    const QString& key = message.key;
    const QString value = message.texts.value(0);
    qInfo() << "got msg from server:" << key;
    if (key == GuiPipeProtocol::hashedPassword || key == GuiPipeProtocol::salt) {
        // Not logged: an older daemon sends the real digest and salt here.
    } else if (key == GuiPipeProtocol::enableProtectionPassword) {
        qInfo() << "got second parameter from server: enable_password" << value;
    } else if (key == GuiPipeProtocol::dissolvableStatus) {
        qInfo() << "got second parameter from server: dissolvable_status: " << value;
    } else if (key == GuiPipeProtocol::applicationType) {
        qInfo() << "got second parameter from server: application_type: " << value;
    } else if (key == GuiPipeProtocol::port) {
        qInfo() << "got second parameter from server:" << message.number;
    } else if (key == GuiPipeProtocol::notification) {
        qInfo() << "got second parameter from server:" << value << message.texts.value(1) << message.texts.value(2);
    } else if (GuiPipeProtocol::valuesOf(key) != GuiPipeProtocol::Values::None) {
        qInfo() << "got second parameter from server:" << value;
    }

    if (GuiPipeProtocol::applyToState(message, m_gui->m_state))
        return;
    if (key == GuiPipeProtocol::conn) {
        if (value == QLatin1String("connected"))
            emit connected();
        else if (value == QLatin1String("disconnected"))
            emit disconnected();
        else if (value == QLatin1String("initialized"))
            emit initialized();
    } else if (key == GuiPipeProtocol::compliance) {
        emit compliance(value);
    } else if (key == GuiPipeProtocol::notification) {
        emit showNotification(value, message.texts.value(1), message.texts.value(2));
    } else if (key == GuiPipeProtocol::quitRefused) {
        emit quitRefused(value);
    }
}
