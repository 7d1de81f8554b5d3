#include "TestFiles.h"
#include "TestSeam.h"
#include "app/LogSetup.h"
#include "settings/VTSettings.h"

#include <QtTest>

#include <clocale>
#include <grp.h>
#include <sys/stat.h>

namespace {

QString readAll(const QString& path)
{
    return QString::fromUtf8(TestFiles::read(path));
}

QPair<unsigned, unsigned> modeAndGroup(const QString& path)
{
    struct stat status = {};
    if (stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return {status.st_mode & 07777u, status.st_gid};
}

} // namespace

class TestLogSetup : public QObject
{
    Q_OBJECT

private slots:
    void messageText_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<int>("line");
        QTest::addColumn<QByteArray>("function");
        QTest::addColumn<QString>("text");

        QTest::newRow("no location") << QByteArray() << 0 << QByteArray() << "(0) : hello";
        QTest::newRow("member function") << QByteArray("/src/app/ServerApp.cpp") << 42
                                         << QByteArray("bool ServerApp::initialize()")
                                         << "ServerApp.cpp(42) ServerApp::initialize: hello";
        QTest::newRow("arguments and qualifiers")
            << QByteArray("Relative.cpp") << 7 << QByteArray("static void ns::Klass::run(int, const QString&) const")
            << "Relative.cpp(7) ns::Klass::run: hello";
    }

    void messageText()
    {
        QFETCH(QByteArray, file);
        QFETCH(int, line);
        QFETCH(QByteArray, function);
        QFETCH(QString, text);

        const QMessageLogContext context(file.isEmpty() ? nullptr : file.constData(), line,
                                         function.isEmpty() ? nullptr : function.constData(), nullptr);
        QCOMPARE(LogSetup::formatMessage(context, "hello"), text);
    }

    void levels_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("level");

        QTest::newRow("debug") << int(QtDebugMsg) << "[DEBUG]";
        QTest::newRow("warning") << int(QtWarningMsg) << "[WARN]";
        QTest::newRow("critical") << int(QtCriticalMsg) << "[ERROR]";
        // Info maps below the default threshold and is not written.
        QTest::newRow("info") << int(QtInfoMsg) << QString();
    }

    void levels()
    {
        QFETCH(int, type);
        QFETCH(QString, level);

        const QString dir = m_dir.path() + "/levels";
        QVERIFY(QDir().mkpath(dir));
        setupLog(eAppAgent, dir);
        QCOMPARE(VTSettings::instance()->logFilePath(), dir + "/log/ot_vt.log");

        // Under the C locale, as a service manager starts the daemon: the text stays UTF-8.
        setlocale(LC_ALL, "C");
        const QString marker = QString("level marker %1 Grüße, Ærø, 日本").arg(type);
        switch (QtMsgType(type)) {
        case QtDebugMsg:
            qDebug().noquote() << marker;
            break;
        case QtWarningMsg:
            qWarning().noquote() << marker;
            break;
        case QtCriticalMsg:
            qCritical().noquote() << marker;
            break;
        default:
            qInfo().noquote() << marker;
            break;
        }
        setlocale(LC_ALL, "");
        const QString log = readAll(dir + "/log/ot_vt.log");
        const QString expected = QString("AGENT(%1) ").arg(QCoreApplication::applicationPid());
        if (level.isEmpty()) {
            QVERIFY(!log.contains(marker));
        } else {
            const QStringList lines = log.split('\n').filter(marker);
            QCOMPARE(lines.size(), 1);
            QVERIFY2(lines.first().startsWith(expected), qPrintable(lines.first()));
            QVERIFY2(lines.first().endsWith(" " + level + " (0) : " + marker), qPrintable(lines.first()));
        }
    }

    void rollsPastTenMebibytes()
    {
        const QString dir = m_dir.path() + "/tenmib";
        QVERIFY(QDir().mkpath(dir));
        setupLog(eAppDaemon, dir);

        const QString chunk(1024 * 1024, 'x');
        for (int i = 0; i < 10; ++i)
            qDebug().noquote() << chunk;
        QVERIFY(!QFile::exists(dir + "/log/ot_vt.log.1"));
        qDebug("after the limit");

        QVERIFY(QFile::exists(dir + "/log/ot_vt.log.1"));
        QVERIFY(QFileInfo(dir + "/log/ot_vt.log.1").size() > 10 * 1024 * 1024);
        QVERIFY(readAll(dir + "/log/ot_vt.log").contains("after the limit"));
    }

    void keepsTenBackups()
    {
        const QString dir = m_dir.path() + "/backups";
        QVERIFY(QDir().mkpath(dir));
        {
            TestSeam smallFiles(LogSetup::s_maxFileSize, 1000);
            setupLog(eAppDaemon, dir);
        }

        // Each line fills a file on its own, so every line after the first starts a new file.
        const QString padding(1200, '-');
        for (int i = 1; i <= 13; ++i)
            qCritical("line %02d %s", i, qPrintable(padding));

        const QString base = dir + "/log/ot_vt.log";
        QVERIFY(readAll(base).contains("line 13 "));
        for (int backup = 1; backup <= 10; ++backup) {
            QVERIFY2(readAll(base + "." + QString::number(backup))
                         .contains(QString("line %1 ").arg(13 - backup, 2, 10, QChar('0'))),
                     qPrintable(QString::number(backup)));
        }
        QVERIFY(!QFile::exists(base + ".11"));

        // Root and adm only, the files the library opened on each roll included.
        const group* adm = getgrnam("adm");
        for (int backup = 0; backup <= 10; ++backup) {
            const QString path = backup == 0 ? base : base + "." + QString::number(backup);
            QCOMPARE(modeAndGroup(path), qMakePair(0640u, adm ? adm->gr_gid : 0u));
        }
        QCOMPARE(modeAndGroup(dir + "/log"), qMakePair(0750u, adm ? adm->gr_gid : 0u));
    }

    void narrowsWhatAnEarlierVersionLeft()
    {
        const QString dir = m_dir.path() + "/earlier";
        QVERIFY(QDir().mkpath(dir + "/log"));
        QVERIFY(TestFiles::write(dir + "/log/ot_vt.log", "old\n", QFile::Permissions(0x6644)));
        QVERIFY(TestFiles::write(dir + "/log/ot_vt.log.3", "older\n", QFile::Permissions(0x6644)));
        setupLog(eAppDaemon, dir);
        QCOMPARE(modeAndGroup(dir + "/log").first, 0750u);
        QCOMPARE(modeAndGroup(dir + "/log/ot_vt.log").first, 0640u);
        QCOMPARE(modeAndGroup(dir + "/log/ot_vt.log.3").first, 0640u);
    }

private:
    QTemporaryDir m_dir;
};

QTEST_GUILESS_MAIN(TestLogSetup)
#include "tst_logsetup.moc"
