#include "TestFiles.h"
#include "TestSeam.h"
#include "app/AppTypes.h"
#include "gui/AboutDialog.h"
#include "gui/ExitDialog.h"
#include "gui/Gui.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <utility>

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

QImage image(const QIcon& icon)
{
    return icon.pixmap(64, 64).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Calls `answer` with each modal window from the event loop, as a user would meet it, until none
// is left; after 5 s every window is hidden so that a flow that never ends fails instead of hanging.
void answerModals(QObject* context, std::function<void(QWidget*)> answer, QElapsedTimer started = {})
{
    if (!started.isValid())
        started.start();
    QTimer::singleShot(20, context, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        if (started.hasExpired(5000))
            modal->hide();
        else
            answer(modal);
        answerModals(context, answer, started);
    });
}

void clickLater(QAbstractButton* button)
{
    QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
}

} // namespace

class tst_Gui : public QObject
{
    Q_OBJECT

private slots:
    void init() { IS_64_ARCH = true; }

    void stateFollowsSessionEvents_data()
    {
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QString>("icon");

        const QString running = ":/ostrelle_TrayRunning.png";
        const QString notCompliant = ":/ostrelle_NotCompliance.png";
        const QString connecting = "Ostrelle Vantorel\nConnecting to: 10.0.0.5:443";
        const QString connected = "Ostrelle Vantorel\nConnected to: 10.0.0.5:443";
        const QString notCompliantTip = connected + "\nCompliance Status: Not Compliant";

        QTest::newRow("before any event") << QStringList() << connecting << ":/ostrelle_Tray_Waiting.png";
        QTest::newRow("connected") << QStringList {"connected"} << connected << running;
        QTest::newRow("not compliant") << QStringList {"connected", "not_compliant"} << notCompliantTip << notCompliant;
        QTest::newRow("compliant") << QStringList {"connected", "not_compliant", "compliant"}
                                   << connected + "\nCompliance Status: Compliant" << running;
        QTest::newRow("unset drops the line")
            << QStringList {"connected", "not_compliant", "unset"} << connected << running;
        QTest::newRow("empty text") << QStringList {"connected", "not_compliant", ""} << notCompliantTip
                                    << notCompliant;
        QTest::newRow("unknown text") << QStringList {"connected", "not_compliant", "Compliant"} << notCompliantTip
                                      << notCompliant;
        QTest::newRow("disconnect forgets compliance") << QStringList {"connected", "not_compliant", "disconnected"}
                                                       << connecting << ":/ostrelle_Tray_Waiting.png";
        QTest::newRow("initialized forgets compliance")
            << QStringList {"connected", "not_compliant", "initialized"} << connected << running;
    }

    void stateFollowsSessionEvents()
    {
        QFETCH(QStringList, events);
        QFETCH(QString, toolTip);
        QFETCH(QString, icon);

        Source source;
        Gui gui(&source, true);
        gui.m_state.m_server = "10.0.0.5";
        gui.m_state.m_port = 443;
        gui.start();
        QVERIFY(gui.trayIcon()->isVisible());
        for (const QString& event : events) {
            if (!QMetaObject::invokeMethod(&source, event.toLatin1().constData()))
                emit source.compliance(event);
        }
        QCOMPARE(gui.trayIcon()->toolTip(), toolTip);
        QCOMPARE(image(gui.trayIcon()->icon()), image(QIcon(icon)));
    }

    void trayIconVisibility()
    {
        Source source;
        Gui hidden(&source, false);
        hidden.start();
        QVERIFY(!hidden.trayIcon() && !hidden.exitDialog() && !hidden.aboutWindow());

        // Without the 64-bit flag the icon waits for the delay, or for the first session event.
        IS_64_ARCH = false;
        Gui delayed(&source, true);
        {
            TestSeam shortDelay(Gui::s_showDelayMs, 50);
            delayed.start();
        }
        Gui early(&source, true);
        {
            TestSeam longDelay(Gui::s_showDelayMs, 60000);
            early.start();
        }
        QVERIFY(!delayed.trayIcon()->isVisible());
        QTRY_VERIFY(delayed.trayIcon()->isVisible());
        QVERIFY(!early.trayIcon()->isVisible());
        emit source.disconnected();
        QVERIFY(early.trayIcon()->isVisible());
    }

    void exitFlow_data()
    {
        QTest::addColumn<QString>("enable");
        QTest::addColumn<QString>("hash");
        QTest::addColumn<QString>("salt");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("answer"); // to the confirmation box: Yes or No
        QTest::addColumn<QString>("outcome"); // what the user met, then whether the agent quit
        QTest::addColumn<bool>("byService"); // the agent's case: the daemon checks the password

        const QString hash = QCryptographicHash::hash("s3cretNaCl", QCryptographicHash::Sha256).toHex();
        const auto row
            = [](const char* name, const QString& enable, const QString& hash, const QString& salt,
                 const QString& typed, const QString& answer, const QString& outcome, bool byService = false) {
                  QTest::newRow(name) << enable << hash << salt << typed << answer << outcome << byService;
              };
        row("no protection", "", hash, "NaCl", "", "", "quit");
        row("no salt", "true", hash, "", "", "", "quit");
        row("no hash", "true", "", "NaCl", "", "", "quit");
        row("not exactly true", "True", hash, "NaCl", "", "", "quit");
        row("right, Yes", "true", hash, "NaCl", "s3cret", "Yes", "dialog,confirm,quit");
        row("right, No", "true", hash, "NaCl", "s3cret", "No", "dialog,confirm,stays");
        row("wrong", "true", hash, "NaCl", "s3cret!", "", "dialog,incorrect,stays");
        row("salt before text", "true", hash, "NaCl", "NaCls3cret", "", "dialog,incorrect,stays");
        row("upper-case digest", "true", hash.toUpper(), "NaCl", "s3cret", "", "dialog,incorrect,stays");
        // Only stand-ins reach the agent; whatever is typed goes to the daemon once confirmed.
        row("daemon checks, Yes", "true", "***", "***", "typed", "Yes", "dialog,confirm,sent typed", true);
        row("daemon checks, No", "true", "***", "***", "typed", "No", "dialog,confirm,stays", true);
    }

    void exitFlow()
    {
        QFETCH(QString, enable);
        QFETCH(QString, hash);
        QFETCH(QString, salt);
        QFETCH(QString, typed);
        QFETCH(QString, answer);
        QFETCH(QString, outcome);
        QFETCH(bool, byService);

        Source source;
        Gui gui(&source, true);
        gui.start();
        gui.setExitCheckedByService(byService);
        gui.m_state.m_enable_protection_password = enable;
        gui.m_state.m_hashedPassword = hash;
        gui.m_state.m_salt = salt;
        // Neither the dissolvable settings lift the requirement once the password is enabled.
        gui.m_state.m_applicationType = "Dissolvable";
        QSignalSpy quitSpy(&gui, &Gui::quit);
        QSignalSpy sentSpy(&gui, &Gui::quitWithPassword);
        ExitDialog* dialog = gui.exitDialog();
        dialog->passwordField()->setText("left from an earlier attempt");

        QStringList met;
        QString textAfterAnswer;
        QPointer<QWidget> answered;
        answerModals(this, [&](QWidget* modal) {
            // An answer takes effect from the event loop; until then the same window is still on top.
            if (modal == answered)
                return;
            answered = modal;
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (modal == dialog && met.isEmpty()) {
                met << (dialog->passwordField()->text().isEmpty() ? "dialog" : "dialog with old text");
                dialog->passwordField()->setText(typed);
                clickLater(dialog->findChildren<QPushButton*>().value(0));
            } else if (modal == dialog) {
                // The dialog stays open with what was typed; the user then closes the window.
                textAfterAnswer = dialog->passwordField()->text();
                QMetaObject::invokeMethod(dialog, "close", Qt::QueuedConnection);
            } else if (box && box->windowTitle() == "Password incorrect"
                       && box->text() == "Enter the correct password to exit Vantorel.") {
                met << "incorrect";
                clickLater(box->buttons().value(0));
            } else if (box && box->windowTitle() == "Exit Vantorel") {
                met << "confirm";
                clickLater(box->button(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No));
            }
        });
        gui.ShowExitWindow();

        if (quitSpy.count() == 1)
            met << "quit";
        else if (sentSpy.count() == 1)
            met << "sent " + sentSpy.first().first().toString();
        else
            met << "stays";
        QCOMPARE(quitSpy.count() + sentSpy.count(), met.last() == "stays" ? 0 : 1);
        QCOMPARE(met.join(','), outcome);
        QVERIFY(!dialog->isVisible());
        if (outcome.endsWith("stays")) {
            QCOMPARE(textAfterAnswer, typed);
            QCOMPARE(dialog->passwordField()->text(), QString());
        }
    }

    void passSaltUpdate_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("previous");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expectedCurrent");
        QTest::addColumn<QString>("expectedPrevious");

        const auto row = [](const char* name, const QString& current, const QString& previous, const QString& value,
                            const QString& expectedCurrent, const QString& expectedPrevious) {
            QTest::newRow(name) << current << previous << value << expectedCurrent << expectedPrevious;
        };
        row("first value", "", QString(), "abc", "abc", "");
        row("replaced", "abc", "", "def", "def", "abc");
        row("empty keeps the known value", "abc", "old", "", "abc", "abc");
        row("null keeps the known value", "abc", "old", QString(), "abc", "abc");
        row("nothing known, nothing given", "", "old", QString(), QString(), "old");
    }

    void passSaltUpdate()
    {
        QFETCH(QString, current);
        QFETCH(QString, previous);
        QFETCH(QString, value);
        QFETCH(QString, expectedCurrent);
        QFETCH(QString, expectedPrevious);

        GuiServerState::setTmpPassSaltValue(value, current, previous);
        QCOMPARE(current, expectedCurrent);
        QCOMPARE(current.isNull(), expectedCurrent.isNull());
        QCOMPARE(previous, expectedPrevious);
    }

    void aboutVersion_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("text");
        QTest::newRow("two parts") << QString("1.2") << QString("Version: 1.2");
        QTest::newRow("three parts") << QString("10.0.9002") << QString("Version: 10.0 (build 9002)");
        QTest::newRow("four parts") << QString("11.0.2.1234") << QString("Version: 11.0 (build 2)");
    }

    void aboutVersion()
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
        QCOMPARE(about->findChild<QLabel*>("label_version")->text(), text);
        // Closing only hides: the window is kept for the next time.
        about->close();
        QVERIFY(!about->isVisible());
        QCOMPARE(gui.aboutWindow(), about);
    }

    void notifications_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("effect");

        const QString web = "https://cc.test/x";
        const QString quoted = "\"https://cc.test/x\" : \"it's \\\"done\\\"\"";
        QTest::newRow("banner") << "banner" << web << int(QtInfoMsg) << "banner!  " + quoted << "";
        QTest::newRow("alert") << "alert" << web << int(QtInfoMsg) << "alert!  " + quoted << "box: it's \"done\"";
        QTest::newRow("http") << "http" << web << int(QtInfoMsg) << "http notification!  \"https://cc.test/x\""
                              << "url: https://cc.test/x";
        QTest::newRow("http with a file address")
            << "http"
            << "file:///etc/passwd" << int(QtWarningMsg)
            << "Not opening a notification address that is not http or https: \"file:///etc/passwd\""
            << "";
        QTest::newRow("type compared exactly")
            << "Banner" << web << int(QtCriticalMsg) << "unknown notification type  \"Banner\""
            << "";
    }

    void notifications()
    {
        QFETCH(QString, type);
        QFETCH(QString, title);
        QFETCH(int, level);
        QFETCH(QString, log);
        QFETCH(QString, effect);

        UrlReceiver receiver;
        QDesktopServices::setUrlHandler("https", &receiver, "handle");
        QDesktopServices::setUrlHandler("file", &receiver, "handle");
        Source source;
        Gui gui(&source, true);
        gui.start();
        QTest::ignoreMessage(QtMsgType(level), log.toUtf8().constData());
        if (type == "alert")
            QTest::ignoreMessage(QtInfoMsg, "finished alert");
        emit source.showNotification(type, title, "it's \"done\"");
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("file");

        QStringList effects;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box && box->isVisible() && !box->isModal() && box->windowTitle() == "https://cc.test/x")
                effects << "box: " + box->text();
        }
        for (const QUrl& url : std::as_const(receiver.urls))
            effects << "url: " + url.toString();
        QCOMPARE(effects.join('|'), effect);
    }

    void complianceCenterGetsUrl()
    {
        QTemporaryDir dir;
        const QString scriptPath = QCoreApplication::applicationDirPath() + "/open_browser.sh";
        QVERIFY(TestFiles::write(scriptPath, QString("printf '%s' \"$1\" > '%1/url'\n").arg(dir.path()).toUtf8()));

        Source source;
        Gui gui(&source, true);
        gui.m_state.m_complianceCenterUrl = "https://cc.test/status?a=1&b='$(touch x)'";
        gui.OpenComplianceCenter();
        QFile::remove(scriptPath);

        QTRY_VERIFY(QFileInfo(dir.filePath("url")).size() > 0);
        QCOMPARE(QString::fromUtf8(TestFiles::read(dir.filePath("url"))), gui.m_state.m_complianceCenterUrl);
    }
};

QTEST_MAIN(tst_Gui)
#include "tst_gui.moc"
