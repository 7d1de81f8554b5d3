#include "app/AppTypes.h"
#include "gui/AboutDialog.h"
#include "gui/ExitDialog.h"
#include "gui/Gui.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>

namespace {

// Stands in for the GUI client: the Gui listens to these signals of its parent.
class Source : public QObject
{
    Q_OBJECT
signals:
    void connected();
    void disconnected();
    void initialized();
    void compliance(QString);
    void showNotification(QString, QString, QString);
};

class UrlReceiver : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void handle(const QUrl& url) { urls.append(url); }
};

QImage iconImage(const QIcon& icon)
{
    return icon.pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage resourceImage(const QString& resource)
{
    return iconImage(QIcon(resource));
}

// Answers the modal windows of the exit flow, one step per window, from the event loop so that
// the nested modal runs of the code under test proceed as they would for a user.
class ModalDriver : public QObject
{
public:
    using Step = std::function<bool(QWidget*)>;
    QList<Step> steps;

    void begin()
    {
        m_deadline.start();
        schedule();
    }

private:
    void schedule()
    {
        QTimer::singleShot(10, this, [this] { tick(); });
    }

    void tick()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (m_deadline.hasExpired(5000)) {
            // A flow that never ends would hang the test; closing every window lets it fail instead.
            if (modal)
                QMetaObject::invokeMethod(modal, "hide", Qt::QueuedConnection);
            if (!modal)
                return;
        } else if (modal && !steps.isEmpty() && steps.first()(modal)) {
            steps.removeFirst();
        }
        if (!steps.isEmpty() || modal)
            schedule();
    }

    QElapsedTimer m_deadline;
};

void clickLater(QAbstractButton* button)
{
    QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
}

QPushButton* buttonNamed(QWidget* window, const QString& text)
{
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

} // namespace

class tst_Gui : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        IS_64_ARCH = true;
        Gui::s_showDelayMs = 10000;
    }

    void stateFollowsSessionEvents_data();
    void stateFollowsSessionEvents();
    void trayIconAppearsLateOn32Bit();
    void invisibleGuiBuildsNoWidgets();
    void exitFlow_data();
    void exitFlow();
    void passSaltUpdate_data();
    void passSaltUpdate();
    void aboutVersion_data();
    void aboutVersion();
    void notifications_data();
    void notifications();
    void complianceCenterGetsUrl();
};

void tst_Gui::stateFollowsSessionEvents_data()
{
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("icon");

    const QString running = ":/ostrelle_TrayRunning.png";
    const QString waiting = ":/ostrelle_Tray_Waiting.png";
    const QString notCompliant = ":/ostrelle_NotCompliance.png";
    const QString connected = "Ostrelle Vantorel\nConnected to: 10.0.0.5:443";

    QTest::newRow("before any event") << QStringList() << "Ostrelle Vantorel\nConnecting to: 10.0.0.5:443" << waiting;
    QTest::newRow("connected") << QStringList {"connected"} << connected << running;
    QTest::newRow("not compliant") << QStringList {"connected", "not_compliant"}
                                   << connected + "\nCompliance Status: Not Compliant" << notCompliant;
    QTest::newRow("compliant") << QStringList {"connected", "not_compliant", "compliant"}
                               << connected + "\nCompliance Status: Compliant" << running;
    QTest::newRow("unset drops the line")
        << QStringList {"connected", "not_compliant", "unset"} << connected << running;
    QTest::newRow("empty text keeps state") << QStringList {"connected", "not_compliant", ""}
                                            << connected + "\nCompliance Status: Not Compliant" << notCompliant;
    QTest::newRow("unknown text keeps state") << QStringList {"connected", "compliant", "Not_Compliant"}
                                              << connected + "\nCompliance Status: Compliant" << running;
    QTest::newRow("disconnect forgets compliance") << QStringList {"connected", "not_compliant", "disconnected"}
                                                   << "Ostrelle Vantorel\nConnecting to: 10.0.0.5:443" << waiting;
    QTest::newRow("initialized forgets compliance")
        << QStringList {"connected", "not_compliant", "initialized"} << connected << running;
}

void tst_Gui::stateFollowsSessionEvents()
{
    QFETCH(QStringList, events);
    QFETCH(QString, toolTip);
    QFETCH(QString, icon);

    Source source;
    Gui gui(&source, true);
    gui.m_server = "10.0.0.5";
    gui.m_port = 443;
    gui.start();
    QVERIFY(gui.trayIcon());
    QVERIFY(gui.trayIcon()->isVisible());

    for (const QString& event : events) {
        if (event == "connected")
            emit source.connected();
        else if (event == "disconnected")
            emit source.disconnected();
        else if (event == "initialized")
            emit source.initialized();
        else
            emit source.compliance(event);
    }

    QCOMPARE(gui.trayIcon()->toolTip(), toolTip);
    QCOMPARE(iconImage(gui.trayIcon()->icon()), resourceImage(icon));
}

void tst_Gui::trayIconAppearsLateOn32Bit()
{
    IS_64_ARCH = false;
    Gui::s_showDelayMs = 50;
    Source source;
    Gui gui(&source, true);
    gui.start();
    QVERIFY(!gui.trayIcon()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(gui.trayIcon()->isVisible(), 2000);

    // A session event shows it at once, without waiting for the timer.
    Gui early(&source, true);
    Gui::s_showDelayMs = 60000;
    early.start();
    emit source.connected();
    QVERIFY(early.trayIcon()->isVisible());
}

void tst_Gui::invisibleGuiBuildsNoWidgets()
{
    Source source;
    Gui gui(&source, false);
    gui.start();
    QVERIFY(!gui.trayIcon());
    QVERIFY(!gui.exitDialog());
    QVERIFY(!gui.aboutWindow());
    emit source.connected();
    emit source.compliance("not_compliant");
    QCOMPARE(gui.m_complianceState, 2);
}

void tst_Gui::exitFlow_data()
{
    QTest::addColumn<QString>("enable");
    QTest::addColumn<QString>("hash");
    QTest::addColumn<QString>("salt");
    QTest::addColumn<QString>("applicationType");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("answer"); // Yes, No, or close (the window's close button)
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("rejected");
    QTest::addColumn<bool>("quits");

    const QString salt = "NaCl";
    const QString hash
        = QCryptographicHash::hash(QString("s3cret" + salt).toUtf8(), QCryptographicHash::Sha256).toHex();

    QTest::newRow("no protection") << "" << hash << salt << ""
                                   << ""
                                   << "" << false << false << true;
    QTest::newRow("protection without salt") << "true" << hash << ""
                                             << ""
                                             << ""
                                             << "" << false << false << true;
    QTest::newRow("protection without hash") << "true"
                                             << "" << salt << ""
                                             << ""
                                             << "" << false << false << true;
    QTest::newRow("protection not exactly true") << "True" << hash << salt << ""
                                                 << ""
                                                 << "" << false << false << true;
    QTest::newRow("right password, Yes") << "true" << hash << salt << ""
                                         << "s3cret"
                                         << "Yes" << true << false << true;
    QTest::newRow("right password, No, then close") << "true" << hash << salt << ""
                                                    << "s3cret"
                                                    << "No" << true << false << false;
    QTest::newRow("wrong password, then close") << "true" << hash << salt << ""
                                                << "s3cret!"
                                                << "close" << true << true << false;
    QTest::newRow("salt must follow the password") << "true" << hash << salt << ""
                                                   << "NaCls3cret"
                                                   << "close" << true << true << false;
    QTest::newRow("digest compared in lower case") << "true" << hash.toUpper() << salt << ""
                                                   << "s3cret"
                                                   << "close" << true << true << false;
    QTest::newRow("dissolvable still asks") << "true" << hash << salt << "Dissolvable"
                                            << "s3cret"
                                            << "Yes" << true << false << true;
}

void tst_Gui::exitFlow()
{
    QFETCH(QString, enable);
    QFETCH(QString, hash);
    QFETCH(QString, salt);
    QFETCH(QString, applicationType);
    QFETCH(QString, typed);
    QFETCH(QString, answer);
    QFETCH(bool, asked);
    QFETCH(bool, rejected);
    QFETCH(bool, quits);

    Source source;
    Gui gui(&source, true);
    gui.start();
    gui.m_enable_protection_password = enable;
    Gui::setTmpPassSaltValue(hash, gui.m_hashedPassword, gui.m_prevHashedPassword);
    Gui::setTmpPassSaltValue(salt, gui.m_salt, gui.m_prevSalt);
    gui.m_applicationType = applicationType;
    QSignalSpy quitSpy(&gui, &Gui::quit);

    // A previous attempt's text must not survive into the next one.
    gui.exitDialog()->passwordField()->setText("left over");

    bool sawDialog = false;
    bool sawRejection = false;
    QString textOnShow = "not shown";
    QString textAfterAnswer;
    ExitDialog* dialog = gui.exitDialog();
    ModalDriver driver;
    driver.steps << [&](QWidget* w) {
        if (w != dialog)
            return false;
        sawDialog = true;
        textOnShow = dialog->passwordField()->text();
        dialog->passwordField()->setText(typed);
        clickLater(buttonNamed(dialog, "OK"));
        return true;
    };
    driver.steps << [&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return false;
        if (box->windowTitle() == "Password incorrect") {
            sawRejection = box->text() == "Enter the correct password to exit Vantorel.";
            clickLater(box->buttons().value(0));
        } else if (box->windowTitle() == "Exit Vantorel") {
            clickLater(box->button(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No));
        } else {
            return false;
        }
        return true;
    };
    if (answer != "Yes") {
        // The dialog stays open with what was typed; the user then closes it.
        driver.steps << [&](QWidget* w) {
            if (w != dialog)
                return false;
            textAfterAnswer = dialog->passwordField()->text();
            QMetaObject::invokeMethod(dialog, "close", Qt::QueuedConnection);
            return true;
        };
    }
    if (asked)
        driver.begin();

    gui.ShowExitWindow();

    QCOMPARE(sawDialog, asked);
    if (asked)
        QCOMPARE(textOnShow, QString(""));
    QCOMPARE(sawRejection, rejected);
    QCOMPARE(quitSpy.count(), quits ? 1 : 0);
    QVERIFY(!dialog->isVisible());
    if (asked && answer != "Yes") {
        QCOMPARE(textAfterAnswer, typed);
        QCOMPARE(dialog->passwordField()->text(), QString());
    }
}

void tst_Gui::passSaltUpdate_data()
{
    QTest::addColumn<QString>("current");
    QTest::addColumn<QString>("previous");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("expectedCurrent");
    QTest::addColumn<QString>("expectedPrevious");

    QTest::newRow("first value") << "" << QString() << "abc"
                                 << "abc"
                                 << "";
    QTest::newRow("replaced") << "abc"
                              << ""
                              << "def"
                              << "def"
                              << "abc";
    QTest::newRow("empty keeps the known value") << "abc"
                                                 << "old"
                                                 << ""
                                                 << "abc"
                                                 << "abc";
    QTest::newRow("null keeps the known value") << "abc"
                                                << "old" << QString() << "abc"
                                                << "abc";
    QTest::newRow("nothing known, nothing given") << ""
                                                  << "old" << QString() << QString() << "old";
}

void tst_Gui::passSaltUpdate()
{
    QFETCH(QString, current);
    QFETCH(QString, previous);
    QFETCH(QString, value);
    QFETCH(QString, expectedCurrent);
    QFETCH(QString, expectedPrevious);

    Gui::setTmpPassSaltValue(value, current, previous);
    QCOMPARE(current, expectedCurrent);
    QCOMPARE(current.isNull(), expectedCurrent.isNull());
    QCOMPARE(previous, expectedPrevious);
}

void tst_Gui::aboutVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("text");

    QTest::newRow("two parts") << "1.2"
                               << "Version: 1.2";
    QTest::newRow("three parts") << "10.0.9002"
                                 << "Version: 10.0 (build 9002)";
    QTest::newRow("four parts") << "11.0.2.1234"
                                << "Version: 11.0 (build 2)";
    QTest::newRow("empty") << ""
                           << "Version: ";
}

void tst_Gui::aboutVersion()
{
    QFETCH(QString, version);
    QFETCH(QString, text);

    const QString saved = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationVersion(version);
    Source source;
    Gui gui(&source, true);
    gui.start();
    gui.ShowAboutWindow();
    QCoreApplication::setApplicationVersion(saved);

    AboutDialog* about = gui.aboutWindow();
    QVERIFY(about->isVisible());
    QCOMPARE(about->windowTitle(), QString("About"));
    QCOMPARE(about->findChild<QLabel*>("label_version")->text(), text);

    // Closing only hides: the window is kept for the next time.
    about->close();
    QVERIFY(!about->isVisible());
    QCOMPARE(gui.aboutWindow(), about);
}

void tst_Gui::notifications_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("alertShown");
    QTest::addColumn<QString>("urlOpened");

    QTest::newRow("banner") << "banner" << int(QtInfoMsg) << "banner!  \"https://cc.test/x\" : \"it's \\\"done\\\"\""
                            << ""
                            << "";
    QTest::newRow("alert") << "alert" << int(QtInfoMsg) << "alert!  \"https://cc.test/x\" : \"it's \\\"done\\\"\""
                           << "it's \"done\""
                           << "";
    QTest::newRow("http") << "http" << int(QtInfoMsg) << "http notification!  \"https://cc.test/x\""
                          << ""
                          << "https://cc.test/x";
    QTest::newRow("type compared exactly") << "Banner" << int(QtCriticalMsg) << "unknown notification type  \"Banner\""
                                           << ""
                                           << "";
}

void tst_Gui::notifications()
{
    QFETCH(QString, type);
    QFETCH(int, level);
    QFETCH(QString, log);
    QFETCH(QString, alertShown);
    QFETCH(QString, urlOpened);

    UrlReceiver receiver;
    QDesktopServices::setUrlHandler("https", &receiver, "handle");
    Source source;
    Gui gui(&source, true);
    gui.start();

    QTest::ignoreMessage(QtMsgType(level), log.toUtf8().constData());
    if (type == "alert")
        QTest::ignoreMessage(QtInfoMsg, "finished alert");
    emit source.showNotification(type, "https://cc.test/x", "it's \"done\"");
    QDesktopServices::unsetUrlHandler("https");

    QMessageBox* shown = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible())
            shown = box;
    }
    QCOMPARE(shown ? shown->text() : QString(), alertShown);
    if (shown) {
        QCOMPARE(shown->windowTitle(), QString("https://cc.test/x"));
        QVERIFY(!shown->isModal());
    }
    QCOMPARE(receiver.urls.isEmpty() ? QString() : receiver.urls.first().toString(), urlOpened);
}

void tst_Gui::complianceCenterGetsUrl()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString out = dir.filePath("url.txt");
    const QString scriptPath = QCoreApplication::applicationDirPath() + "/open_browser.sh";
    QFile script(scriptPath);
    QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    script.write(QString("printf '%s' \"$1\" > '%1'\n").arg(out).toUtf8());
    script.close();

    Source source;
    Gui gui(&source, true);
    gui.start();
    gui.m_complianceCenterUrl = "https://cc.test/status?a=1&b='$(touch x)'";
    gui.OpenComplianceCenter();
    QFile::remove(scriptPath);

    QFile result(out);
    QTRY_VERIFY_WITH_TIMEOUT(result.exists() && result.size() > 0, 5000);
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(result.readAll()), gui.m_complianceCenterUrl);
}

QTEST_MAIN(tst_Gui)
#include "tst_gui.moc"
