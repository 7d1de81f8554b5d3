#include "TestCertificates.h"
#include "TestFiles.h"
#include "TestInstanceLock.h"
#include "TestManagementServer.h"
#include "TestProgramDir.h"

#include <QCryptographicHash>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <functional>

namespace {

// Runs an X tool against the test's display and returns its standard output.
QByteArray x11(const QString& display, const QString& program, const QStringList& args)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    process.setProcessEnvironment(env);
    process.start(program, args);
    process.waitForFinished(10000);
    return process.readAllStandardOutput();
}

QImage screenshot(const QString& display)
{
    return QImage::fromData(x11(display, "import", {"-window", "root", "png:-"}), "PNG");
}

// The bounding box of the pixels close to `colour`: where a tray icon of that colour is drawn.
QRect areaOf(const QImage& image, QRgb colour)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAbs(qRed(p) - qRed(colour)) + qAbs(qGreen(p) - qGreen(colour)) + qAbs(qBlue(p) - qBlue(colour)) < 24)
                area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}

// Runs `action` and waits for a window that `search` did not list before it; its id, or empty.
QByteArray newWindow(const QString& display, const QStringList& search, const std::function<void()>& action)
{
    const QList<QByteArray> before = x11(display, "xdotool", search).trimmed().split('\n');
    action();
    QByteArray found;
    const bool appeared = QTest::qWaitFor(
        [&] {
            for (const QByteArray& id : x11(display, "xdotool", search).trimmed().split('\n')) {
                if (!id.isEmpty() && !before.contains(id))
                    found = id;
            }
            return !found.isEmpty();
        },
        10000);
    return appeared ? found : QByteArray();
}

} // namespace

// The agent and the daemon on a real X display with a real system tray.
class tst_Desktop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void trayShowsAndExitEndsBoth();

private:
    TestInstanceLock m_lock;
    QString m_display;
    QProcess m_xvfb;
    QProcess m_trayer;
};

void tst_Desktop::initTestCase()
{
    QVERIFY(m_lock.isLocked());
    for (const char* tool : {"Xvfb", "trayer", "xdotool", "import"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty())
            QSKIP(qPrintable(QString("%1 is not installed").arg(tool)));
    }
    int number = 90;
    while (QFile::exists(QString("/tmp/.X11-unix/X%1").arg(number))
           || QFile::exists(QString("/tmp/.X%1-lock").arg(number)))
        ++number;
    m_display = QString(":%1").arg(number);
    // Without -noreset the server restarts whenever its last client leaves, as each X tool run
    // here does, and refuses whoever connects meanwhile.
    m_xvfb.start("Xvfb", {m_display, "-screen", "0", "480x200x24", "-nolisten", "tcp", "-noreset"});
    QVERIFY(m_xvfb.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QString("/tmp/.X11-unix/X%1").arg(number)), 10000);
    // The socket is there before the server takes clients; one started earlier finds no display.
    QTRY_VERIFY_WITH_TIMEOUT(!x11(m_display, "xdotool", {"getdisplaygeometry"}).isEmpty(), 10000);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    m_trayer.setProcessEnvironment(env);
    m_trayer.start("trayer",
                   {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "40", "--transparent",
                    "false", "--tint", "0xf0f0f0", "--SetDockType", "true"});
    QVERIFY(m_trayer.waitForStarted());
    QTRY_VERIFY2_WITH_TIMEOUT(x11(m_display, "xdotool", {"search", "--name", "panel"}).size() > 0,
                              qPrintable(QString("trayer %1: %2, Xvfb %3: %4")
                                             .arg(m_trayer.state())
                                             .arg(QString(m_trayer.readAllStandardError()))
                                             .arg(m_xvfb.state())
                                             .arg(QString(m_xvfb.readAllStandardError()))),
                              10000);
}

void tst_Desktop::cleanupTestCase()
{
    for (QProcess* process : {&m_trayer, &m_xvfb}) {
        process->terminate();
        if (!process->waitForFinished(5000))
            process->kill();
    }
}

void tst_Desktop::trayShowsAndExitEndsBoth()
{
    TestProgramDir dir;
    QVERIFY(dir.isValid());
    TestCertificates certs(dir.path());
    QVERIFY(certs.makeCert("server", QString(), "localhost", {"DNS:localhost", "IP:127.0.0.1"}));
    const QByteArray cert = TestFiles::read(certs.certPath("server"));
    QVERIFY(!cert.isEmpty());

    // The server's port is taken now and given up again, so the daemon knows the address but finds
    // nobody there until the waiting icon has been seen.
    TestManagementServer server;
    QVERIFY(server.listen(certs.certPath("server"), certs.keyPath("server")));
    const quint16 port = server.port();
    server.transport().stop();

    // The site the server hands back in config_response is the file's own, password included, so
    // the session keeps its server and the exit stays guarded.
    const QByteArray hash = QCryptographicHash::hash("s3cretNaCl", QCryptographicHash::Sha256).toHex();
    const QJsonObject site = TestManagementServer::siteFor(
        "127.0.0.1", port, cert, 60,
        {{"enable_protection_password", "true"}, {"password_salt", "NaCl"}, {"protection_password", QString(hash)}});
    server.setConfigSites({site});
    // Info lines are where the agent reports what came through the pipe.
    QVERIFY(TestFiles::write(dir.path() + "/log4cxx.properties", "log4j.logger.Qt=TRACE\n"));
    QVERIFY(dir.writeSettings(
        QJsonDocument(QJsonObject {{"app_type", "ws"}, {"visible", true}, {"sites", QJsonArray {site}}}).toJson()));

    qputenv("DISPLAY", m_display.toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QProcess* daemon = dir.start({"-daemon"});
    QVERIFY(dir.waitForLog("Ready to run Vantorel", 10000));
    QProcess* agent = dir.start({"-agent"});

    // While the daemon has no session the waiting icon is docked in the tray.
    const QRgb waitingGrey = qRgb(0x8a, 0x94, 0xa0);
    const QRgb runningGreen = qRgb(0x2e, 0x9d, 0x4f);
    const QRgb notCompliantRed = qRgb(0xd2, 0x3a, 0x2f);
    QRect icon;
    QTRY_VERIFY_WITH_TIMEOUT((icon = areaOf(screenshot(m_display), waitingGrey)).width() > 8, 10000);
    QVERIFY2(dir.waitForLog("got msg from server: \"conn\"", 10000), qPrintable(dir.log().right(4000)));
    QVERIFY(areaOf(screenshot(m_display), runningGreen).width() <= 8);

    // The server comes up; once the session is initialised the agent hears so through the pipe and
    // shows the running icon in the waiting icon's place.
    QVERIFY(server.listen(certs.certPath("server"), certs.keyPath("server"), port));
    QVERIFY2(server.waitForType("init", 20000), qPrintable(dir.log().right(3000)));
    QVERIFY(dir.waitForLog("VTConnection initialized", 10000));
    QVERIFY(dir.waitForLog("got second parameter from server: \"initialized\"", 10000));
    QImage shot;
    QTRY_VERIFY_WITH_TIMEOUT(areaOf(shot = screenshot(m_display), runningGreen).width() > 8, 10000);
    QVERIFY(areaOf(shot, runningGreen).intersects(icon));
    QVERIFY(areaOf(shot, waitingGrey).width() <= 8);

    // The server's compliance verdicts reach the tray the same way.
    server.sendRequest({{"type", "compliance"}, {"params", QJsonObject {{"compliance", 0}}}});
    QTRY_VERIFY_WITH_TIMEOUT(areaOf(shot = screenshot(m_display), notCompliantRed).width() > 8, 10000);
    QVERIFY(areaOf(shot, runningGreen).width() <= 8);
    server.sendRequest({{"type", "compliance"}, {"params", QJsonObject {{"compliance", 1}}}});
    QTRY_VERIFY_WITH_TIMEOUT(areaOf(shot = screenshot(m_display), runningGreen).width() > 8, 10000);
    QVERIFY(areaOf(shot, notCompliantRed).width() <= 8);

    // Hovering shows the tool tip; the picture of both is what the README shows.
    const QRgb tipYellow = qRgb(0xff, 0xff, 0xdc);
    x11(m_display, "xdotool", {"mousemove", QString::number(icon.center().x()), QString::number(icon.center().y())});
    QTRY_VERIFY_WITH_TIMEOUT(areaOf(shot = screenshot(m_display), tipYellow).width() > 100, 10000);
    QVERIFY(areaOf(shot, runningGreen).width() > 8);
    // Saved beside the test, not in the source tree, so a test run never leaves the checkout
    // modified; docs/tray.png in the repository is a copy of it.
    const QString trayPicture = QDir::current().absoluteFilePath("tray.png");
    QVERIFY(shot.copy(QRect(shot.width() - 320, 0, 320, 110)).save(trayPicture));
    qInfo().noquote() << "tray picture:" << trayPicture;

    // Exit from the tray menu asks for the password; the right one, confirmed, goes through the pipe
    // to the daemon, which checks it and ends, and the agent with it.
    // Keys go out only once their window is mapped: straight to the menu, which takes the agent's
    // keys whichever of its windows they reach, and to each dialog through the keyboard focus, set
    // and awaited first.
    const QStringList agentWindows {"search", "--onlyvisible", "--pid", QString::number(agent->processId())};
    const QByteArray menu = newWindow(m_display, agentWindows, [&] { x11(m_display, "xdotool", {"click", "3"}); });
    QVERIFY(!menu.isEmpty());
    x11(m_display, "xdotool", {"key", "--window", menu, "Down", "Down", "Return"});
    QVERIFY2(dir.waitForLog("Password is required to exit.", 10000), qPrintable(dir.log().right(3000)));
    const QStringList exitWindows {"search", "--onlyvisible", "--name", "^Exit Vantorel$"};
    QByteArray dialog;
    QTRY_VERIFY_WITH_TIMEOUT((dialog = x11(m_display, "xdotool", exitWindows).trimmed().split('\n').first()).size() > 0,
                             10000);
    x11(m_display, "xdotool", {"windowfocus", "--sync", dialog});
    x11(m_display, "xdotool", {"type", "s3cret"});
    // The password alone does not end anything: the confirmation shows, and only its answer does.
    const QByteArray confirmation = newWindow(m_display, exitWindows, [&] {
        x11(m_display, "xdotool", {"key", "Return"});
    });
    QVERIFY(!confirmation.isEmpty());
    QCOMPARE(agent->state(), QProcess::Running);
    x11(m_display, "xdotool", {"windowfocus", "--sync", confirmation});
    x11(m_display, "xdotool", {"key", "Return"});
    QVERIFY2(dir.waitForLog("Exit password accepted, quitting", 10000), qPrintable(dir.log().right(3000)));
    QVERIFY(agent->waitForFinished(10000));
    QVERIFY(daemon->waitForFinished(10000));
}

QTEST_MAIN(tst_Desktop)
#include "tst_desktop.moc"
