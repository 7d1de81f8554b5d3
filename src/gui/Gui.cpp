#include "Gui.h"

#include "AboutDialog.h"
#include "ExitDialog.h"
#include "tasks/DetachedScript.h"

#include <QAction>
#include <QCoreApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <utility>

#include "app/AppTypes.h"

int Gui::s_showDelayMs = 10000;

namespace {

const Qt::WindowFlags kWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
    | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

QString iconResource(eIconState state)
{
    switch (state) {
    case eIconRunning:
        return QStringLiteral(":/ostrelle_TrayRunning.png");
    case eIconWaiting:
        return QStringLiteral(":/ostrelle_Tray_Waiting.png");
    case eIconNotCompliance:
        return QStringLiteral(":/ostrelle_NotCompliance.png");
    }
    return QString();
}

QString shellQuoted(QString text)
{
    return QLatin1Char('\'') + text.replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

} // namespace

Gui::Gui(QObject* parent, bool visible)
    : QObject(parent)
    , m_visible(visible)
{
    if (parent) {
        connect(parent, SIGNAL(showNotification(QString, QString, QString)), this,
                SLOT(onShowNotification(QString, QString, QString)));
    }
    qInfo() << "Done initializing gui";
}

Gui::~Gui()
{
    for (const QPointer<QMessageBox>& alert : std::as_const(m_alerts))
        delete alert.data();
}

void Gui::start()
{
    if (m_visible)
        trayIconInit(parent());
}

void Gui::trayIconInit(QObject* source)
{
    qInfo() << "Initializing tray icon and menu";

    auto* exitAction = new QAction(QStringLiteral("Exit"), this);
    connect(exitAction, &QAction::triggered, this, &Gui::ShowExitWindow);
    auto* aboutAction = new QAction(QStringLiteral("About"), this);
    connect(aboutAction, &QAction::triggered, this, &Gui::ShowAboutWindow);
    auto* complianceAction = new QAction(QStringLiteral("Compliance Center"), this);
    connect(complianceAction, &QAction::triggered, this, &Gui::OpenComplianceCenter);

    m_menu.reset(new QMenu(QStringLiteral("tray menu")));
    m_menu->addAction(aboutAction);
    m_menu->addAction(exitAction);

    m_trayIcon.reset(new QSystemTrayIcon());
    updateToolTip();

    m_exitDialog.reset(new ExitDialog(nullptr, kWindowFlags));
    m_aboutWindow.reset(new AboutDialog(nullptr, kWindowFlags));

    ChangeIconState(eIconWaiting);
    m_trayIcon->setContextMenu(m_menu.get());

    if (IS_64_ARCH)
        m_trayIcon->setVisible(true);
    else
        QTimer::singleShot(s_showDelayMs, this, &Gui::show);

    if (source) {
        connect(source, SIGNAL(compliance(QString)), this, SLOT(onCompliance(QString)));
        connect(source, SIGNAL(connected()), this, SLOT(onConnected()));
        connect(source, SIGNAL(disconnected()), this, SLOT(onDisconnected()));
        connect(source, SIGNAL(initialized()), this, SLOT(onInitialized()));
    }
}

void Gui::updateToolTip()
{
    if (!m_trayIcon)
        return;
    QString tip = QStringLiteral("Ostrelle Vantorel\n");
    tip += m_connected ? QStringLiteral("Connected to: ") : QStringLiteral("Connecting to: ");
    tip += m_state.m_server + QLatin1Char(':') + QString::number(m_state.m_port);
    if (m_complianceState != 2) {
        tip += QStringLiteral("\nCompliance Status: ");
        tip += m_complianceState == 0 ? QStringLiteral("Compliant") : QStringLiteral("Not Compliant");
    }
    m_trayIcon->setToolTip(tip);
}

void Gui::ChangeIconState(eIconState state)
{
    const QString resource = iconResource(state);
    if (!resource.isEmpty() && m_trayIcon)
        m_trayIcon->setIcon(QIcon(resource));
    updateToolTip();
}

void Gui::Quit()
{
    emit quit();
}

void Gui::show()
{
    if (m_trayIcon)
        m_trayIcon->setVisible(true);
}

void Gui::onConnected()
{
    m_connected = true;
    updateToolTip();
    ChangeIconState(eIconRunning);
    if (!IS_64_ARCH)
        show();
}

void Gui::onDisconnected()
{
    m_connected = false;
    m_complianceState = 2;
    updateToolTip();
    ChangeIconState(eIconWaiting);
    if (!IS_64_ARCH)
        show();
}

void Gui::onInitialized()
{
    m_complianceState = 2;
    updateToolTip();
    ChangeIconState(eIconRunning);
}

void Gui::onCompliance(QString compliance)
{
    if (!compliance.isEmpty()) {
        if (compliance == QLatin1String("compliant")) {
            ChangeIconState(eIconRunning);
            m_complianceState = 0;
        } else if (compliance == QLatin1String("not_compliant")) {
            ChangeIconState(eIconNotCompliance);
            m_complianceState = 1;
        } else if (compliance == QLatin1String("unset")) {
            ChangeIconState(eIconRunning);
            m_complianceState = 2;
        }
    }
    updateToolTip();
}

void Gui::onShowNotification(QString type, QString title, QString msg)
{
    if (type == QLatin1String("banner")) {
        qInfo() << "banner! " << title << ":" << msg;
    } else if (type == QLatin1String("alert")) {
        qInfo() << "alert! " << title << ":" << msg;
        showAlert(title, msg);
        qInfo() << "finished alert";
    } else if (type == QLatin1String("http")) {
        qInfo() << "http notification! " << title;
        openNotificationUrl(title);
    } else {
        qCritical() << "unknown notification type " << type;
    }
}

void Gui::showAlert(const QString& title, const QString& msg)
{
    // Shown in-process rather than through a shell command, so the server's text never reaches a shell.
    auto* box = new QMessageBox(QMessageBox::Warning, title, msg, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    m_alerts.removeAll(QPointer<QMessageBox>());
    m_alerts.append(box);
    box->show();
    box->raise();
    box->activateWindow();
}

void Gui::openNotificationUrl(const QString& address)
{
    // The desktop would open any scheme it has a handler for (files, other programs); a
    // notification may only lead to a web page.
    const QUrl url(address);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        qWarning() << "Not opening a notification address that is not http or https:" << address;
        return;
    }
    QDesktopServices::openUrl(url);
}

void Gui::ShowAboutWindow()
{
    if (!m_aboutWindow)
        return;
    m_aboutWindow->setVersion();
    if (m_aboutWindow->isMinimized())
        m_aboutWindow->showNormal();
    m_aboutWindow->show();
    m_aboutWindow->raise();
    m_aboutWindow->activateWindow();
}

void Gui::OpenComplianceCenter()
{
    const QString script = readFileData(QCoreApplication::applicationDirPath() + QStringLiteral("/open_browser.sh"));
    // The script runs from a temporary copy without arguments, so it is handed the address as its $1 here.
    const QString withUrl
        = QStringLiteral("set -- ") + shellQuoted(m_state.m_complianceCenterUrl) + QLatin1Char('\n') + script;
    if (!runShellCmd(withUrl, m_state.m_complianceCenterUrl))
        qCritical() << "Unable to start/run open browser script.";
}

void Gui::ShowExitWindow()
{
    if (!m_state.exitNeedsPassword()) {
        qDebug() << "Exiting application: no password needed to exit Vantorel";
        Quit();
        return;
    }

    qDebug() << "Password is required to exit.";
    if (!m_exitDialog)
        return;
    m_exitDialog->setCheckedByService(m_exitCheckedByService);
    m_exitDialog->setHashedPassword(m_exitCheckedByService ? QString() : m_state.m_hashedPassword);
    m_exitDialog->setSalt(m_exitCheckedByService ? QString() : m_state.m_salt);
    m_exitDialog->resetPasswordField();
    if (m_exitDialog->isMinimized())
        m_exitDialog->showNormal();
    m_exitDialog->show();
    m_exitDialog->exec();
    if (!m_exitDialog->isApproved())
        return;
    const QString typed = m_exitDialog->password();
    m_exitDialog->resetPasswordField();
    if (m_exitCheckedByService) {
        qDebug() << "Exit password handed to the service for checking";
        emit quitWithPassword(typed);
    } else {
        qDebug() << "Password authenticated successfully! exiting...";
        Quit();
    }
}

void Gui::onQuitRefused(QString reason)
{
    qWarning() << "The service refused to quit:" << reason;
    if (m_exitDialog)
        ExitDialog::showPasswordIncorrect(nullptr);
}

bool Gui::runShellCmd(const QString& script, const QString& unused)
{
    Q_UNUSED(unused)
    return DetachedScript::launch(QDir::tempPath() + QStringLiteral("/ot_XXXXXX.sh"), script.toLocal8Bit(),
                                  QStringLiteral("sh"));
}

QString Gui::readFileData(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromLocal8Bit(file.readAll());
}
