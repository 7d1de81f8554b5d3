#include "TestCertificates.h"
#include "TestInstanceLock.h"
#include "TestProgramDir.h"

#include <QCryptographicHash>
#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

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
    m_xvfb.start("Xvfb", {m_display, "-screen", "0", "480x200x24", "-nolisten", "tcp"});
    QVERIFY(m_xvfb.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(QString("/tmp/.X11-unix/X%1").arg(number)), 10000);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    m_trayer.setProcessEnvironment(env);
    m_trayer.start("trayer",
                   {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "40", "--transparent",
                    "false", "--tint", "0xf0f0f0", "--SetDockType", "true"});
    QVERIFY(m_trayer.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(x11(m_display, "xdotool", {"search", "--name", "panel"}).size() > 0, 10000);
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
    // Nothing listens on the server's port, so the daemon keeps trying and the tray keeps waiting.
    TestCertificates certs(dir.path());
    QVERIFY(certs.makeCert("server", QString(), "loopback", {"IP:127.0.0.1"}));
    QFile pem(certs.certPath("server"));
    QVERIFY(pem.open(QIODevice::ReadOnly));
    const QByteArray cert = QJsonDocument(QJsonArray {QString::fromLatin1(pem.readAll())}).toJson().mid(1).chopped(2);
    const QByteArray hash = QCryptographicHash::hash("s3cretNaCl", QCryptographicHash::Sha256).toHex();
    QVERIFY(dir.writeSettings(R"({"app_type": "ws", "visible": true, "sites": [{"servers": [{"server": "127.0.0.1",
        "port": 9, "cert": )" + cert
                              + R"(, "reconnect_interval": 60, "enable_protection_password": "true",
        "password_salt": "NaCl", "protection_password": ")"
                              + hash + R"("}]}]})"));

    qputenv("DISPLAY", m_display.toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QProcess* daemon = dir.start({"-daemon"});
    QVERIFY(dir.waitForLog("Ready to run Vantorel", 10000));
    QProcess* agent = dir.start({"-agent"});

    // The waiting icon is docked in the tray.
    const QRgb waitingGrey = qRgb(0x8a, 0x94, 0xa0);
    QRect icon;
    QTRY_VERIFY_WITH_TIMEOUT((icon = areaOf(screenshot(m_display), waitingGrey)).width() > 8, 10000);

    // Hovering shows the tool tip; the picture of both is what the README shows.
    x11(m_display, "xdotool", {"mousemove", QString::number(icon.center().x()), QString::number(icon.center().y())});
    QTest::qWait(1500);
    const QImage shot = screenshot(m_display);
    QDir(VT_SOURCE_DIR).mkpath("docs");
    QVERIFY(shot.copy(QRect(shot.width() - 320, 0, 320, 110)).save(QString(VT_SOURCE_DIR) + "/docs/tray.png"));

    // Exit from the tray menu asks for the password; the right one, confirmed, ends the agent and,
    // through the pipe, the daemon.
    x11(m_display, "xdotool", {"click", "3"});
    QTest::qWait(500);
    x11(m_display, "xdotool", {"key", "Down", "Down", "Return"});
    QVERIFY(dir.waitForLog("Password is required to exit.", 10000));
    QByteArray dialog;
    QTRY_VERIFY((dialog = x11(m_display, "xdotool", {"search", "--name", "^Exit Vantorel$"}).trimmed()).size() > 0);
    x11(m_display, "xdotool", {"windowfocus", "--sync", QString::fromLatin1(dialog.split('\n').first())});
    x11(m_display, "xdotool", {"type", "s3cret"});
    x11(m_display, "xdotool", {"key", "Return"});
    QTest::qWait(700);
    QCOMPARE(agent->state(), QProcess::Running); // the confirmation is still open
    x11(m_display, "xdotool", {"key", "Return"});
    QVERIFY(dir.waitForLog("Password authenticated successfully! exiting...", 10000));
    QVERIFY(agent->waitForFinished(10000));
    QVERIFY(daemon->waitForFinished(10000));
}

QTEST_MAIN(tst_Desktop)
#include "tst_desktop.moc"
