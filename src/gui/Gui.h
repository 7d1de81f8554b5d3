#pragma once

#include "guichannel/GuiServerState.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
// Complete, not declared: Qt 6 registers the TrayIcon property's type when the class is compiled.
#include <QSystemTrayIcon>

#include <memory>

class AboutDialog;
class ExitDialog;
class QAction;
class QMenu;
class QMessageBox;

// Fixed to int so that any value a caller passes is well defined and simply ignored.
enum eIconState : int
{
    eIconRunning = 0,
    eIconWaiting = 1,
    eIconNotCompliance = 2,
};

// The tray icon, its menu and dialogs. The parent client feeds the server-derived fields directly
// and routes quit() onward; everything runs on the GUI thread.
class Gui : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QSystemTrayIcon* TrayIcon READ trayIcon)

public:
    Gui(QObject* parent, bool visible);
    ~Gui() override;

    void start();
    void trayIconInit(QObject* source);
    void updateToolTip();

    QSystemTrayIcon* trayIcon() const { return m_trayIcon.get(); }
    AboutDialog* aboutWindow() const { return m_aboutWindow.get(); }
    ExitDialog* exitDialog() const { return m_exitDialog.get(); }

    // In the agent the daemon holds the exit password and checks it itself: the dialog then
    // passes the typed text on (quitWithPassword) instead of comparing it here.
    void setExitCheckedByService(bool checkedByService) { m_exitCheckedByService = checkedByService; }

    bool runShellCmd(const QString& script, const QString& unused);
    static QString readFileData(const QString& path);

    // Before the first session event the icon may appear late on desktops that need time to
    // bring up their tray; tests shorten it.
    static int s_showDelayMs;

    bool m_visible;
    int m_complianceState = 2;
    bool m_connected = false;
    // Server-derived state, written by the parent client.
    GuiServerState m_state;

signals:
    void quit();
    void quitWithPassword(QString password);

public slots:
    void Quit();
    void onConnected();
    void onCompliance(QString compliance);
    void onDisconnected();
    void onInitialized();
    void onShowNotification(QString type, QString title, QString msg);
    void ShowAboutWindow();
    void OpenComplianceCenter();
    void ChangeIconState(eIconState state);
    void ShowExitWindow();
    void show();
    // The daemon did not obey the exit request: the user is told as for a wrong password.
    void onQuitRefused(QString reason);

private:
    void showAlert(const QString& title, const QString& msg);
    void openNotificationUrl(const QString& address);

    bool m_exitCheckedByService = false;

    // The menu outlives the tray icon that shows it, hence its place before the icon.
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
    std::unique_ptr<AboutDialog> m_aboutWindow;
    std::unique_ptr<ExitDialog> m_exitDialog;
    // Alerts are top-level boxes the user dismisses in their own time.
    QList<QPointer<QMessageBox>> m_alerts;
};
