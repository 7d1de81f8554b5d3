#include "GuiDecoupledClient.h"

#include "Gui.h"
#include "GuiDecoupledServer.h"
#include "settings/VTSettings.h"

#include <QDataStream>
#include <QDebug>
#include <QLocalSocket>

int GuiDecoupledClient::s_connectTimeoutMs = 1000;

GuiDecoupledClient::GuiDecoupledClient(QObject* app, QObject* parent)
    : QObject(parent)
    , m_socket(new QLocalSocket(this))
{
    m_gui = new Gui(this, VTSettings::instance()->visible());
    connect(m_gui, &Gui::quit, this, &GuiDecoupledClient::Quit);
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
    sendMessage(QStringLiteral("settings"));
    return true;
}

void GuiDecoupledClient::Quit()
{
    sendMessage(QStringLiteral("quit"));
    emit quit();
}

void GuiDecoupledClient::sendMessage(QString subject)
{
    QByteArray buffer;
    QDataStream out(&buffer, QIODevice::WriteOnly);
    out << subject;
    m_socket->write(buffer);
    m_socket->flush();
}

void GuiDecoupledClient::processClient()
{
    while (m_socket->bytesAvailable() >= 2) {
        if (!readMessage())
            return;
    }
}

bool GuiDecoupledClient::readMessage()
{
    QDataStream in(m_socket);
    in.startTransaction();

    QString key;
    in >> key;
    QString value;
    qint32 number = 0;
    QString title;
    QString msg;
    if (key == QLatin1String("port")) {
        in >> number;
    } else if (key == QLatin1String("notification")) {
        in >> value >> title >> msg;
    } else if (key == QLatin1String("conn") || key == QLatin1String("compliance") || key == QLatin1String("server")
               || key == QLatin1String("compliance_url") || key == QLatin1String("hashed_password")
               || key == QLatin1String("salt") || key == QLatin1String("dissolvable_status")
               || key == QLatin1String("application_type") || key == QLatin1String("enable_protection_password")
               || key == QLatin1String("hostname")) {
        // Every key the daemon sends is read with its value, used or not, so the next key starts in step.
        in >> value;
    }

    if (!in.commitTransaction()) {
        if (in.status() == QDataStream::ReadCorruptData) {
            // Nothing marks where the next message starts, so a damaged stream cannot be resumed.
            qWarning() << "Corrupt data on the gui pipe, closing it";
            m_socket->abort();
        }
        return false;
    }

    qInfo() << "got msg from server:" << key;
    if (key == QLatin1String("conn")) {
        qInfo() << "got second parameter from server:" << value;
        if (value == QLatin1String("connected"))
            emit connected();
        else if (value == QLatin1String("disconnected"))
            emit disconnected();
        else if (value == QLatin1String("initialized"))
            emit initialized();
    } else if (key == QLatin1String("compliance")) {
        qInfo() << "got second parameter from server:" << value;
        emit compliance(value);
    } else if (key == QLatin1String("server")) {
        qInfo() << "got second parameter from server:" << value;
        m_gui->m_server = value;
    } else if (key == QLatin1String("port")) {
        qInfo() << "got second parameter from server:" << number;
        m_gui->m_port = number;
    } else if (key == QLatin1String("compliance_url")) {
        qInfo() << "got second parameter from server:" << value;
        m_gui->m_complianceCenterUrl = value;
    } else if (key == QLatin1String("hashed_password")) {
        Gui::setTmpPassSaltValue(value, m_gui->m_hashedPassword, m_gui->m_prevHashedPassword);
    } else if (key == QLatin1String("salt")) {
        Gui::setTmpPassSaltValue(value, m_gui->m_salt, m_gui->m_prevSalt);
    } else if (key == QLatin1String("dissolvable_status")) {
        qInfo() << "got second parameter from server: dissolvable_status: " << value;
        m_gui->m_dissolvableStatus = value;
    } else if (key == QLatin1String("application_type")) {
        qInfo() << "got second parameter from server: application_type: " << value;
        m_gui->m_applicationType = value;
    } else if (key == QLatin1String("enable_protection_password")) {
        qInfo() << "got second parameter from server: enable_password" << value;
        m_gui->m_enable_protection_password = value;
    } else if (key == QLatin1String("hostname")) {
        qInfo() << "got second parameter from server:" << value;
    } else if (key == QLatin1String("notification")) {
        qInfo() << "got second parameter from server:" << value << title << msg;
        emit showNotification(value, title, msg);
    }
    return true;
}
