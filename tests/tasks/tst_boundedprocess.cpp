#include "tasks/BoundedProcess.h"

#include <QElapsedTimer>
#include <QtTest>

class TestBoundedProcess : public QObject
{
    Q_OBJECT

private slots:
    void run_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<int>("timeoutMs");
        // Expected: started, timed out, crashed, exit code (when it ended by itself), output (null:
        // not checked), truncated, input refused, and the most the call may take.
        QTest::addColumn<bool>("started");
        QTest::addColumn<bool>("timedOut");
        QTest::addColumn<bool>("crashed");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("truncated");
        QTest::addColumn<bool>("inputRefused");
        QTest::addColumn<int>("maxElapsedMs");

        const qint64 all = BoundedProcess::s_defaultMaxOutputBytes;
        const QByteArray unchecked;
        QTest::newRow("output and exit code")
            << "sh"
            << "printf 'a\\nb'; exit 3" << QByteArray() << QStringList() << all << 20000 << true << false << false << 3
            << QByteArray("a\nb") << false << false << 10000;
        // Both would hold a reader that waits for the end of the output for 30 s.
        QTest::newRow("grandchild keeps the pipe after the child ends")
            << "sh"
            << "sleep 30 & echo done" << QByteArray() << QStringList() << all << 20000 << true << false << false << 0
            << QByteArray("done\n") << false << false << 10000;
        QTest::newRow("hung child and grandchild killed at the bound")
            << "sh"
            << "sleep 30 & exec sleep 30" << QByteArray() << QStringList() << all << 300 << true << true << true << -1
            << unchecked << false << false << 300 + 8000;
        QTest::newRow("output past the limit dropped, child not stalled")
            << "sh"
            << "head -c 300000 /dev/zero" << QByteArray() << QStringList() << qint64(100000) << 20000 << true << false
            << false << 0 << QByteArray(100000, '\0') << true << false << 10000;
        QTest::newRow("input reaches the child")
            << "cat" << QString() << QByteArray("secret\n") << QStringList() << all << 20000 << true << false << false
            << 0 << QByteArray("secret\n") << false << false << 10000;
        QTest::newRow("input the child does not take")
            << "sh"
            << "exec 0<&-; sleep 1" << QByteArray(300000, 'x') << QStringList() << all << 20000 << true << false
            << false << 0 << QByteArray() << false << true << 10000;
        QTest::newRow("environment entry replaces ours")
            << "sh"
            << "echo \"$LC_ALL\"; echo \"$HOME\"" << QByteArray() << QStringList {"LC_ALL=C"} << all << 20000 << true
            << false << false << 0 << QByteArray("C\n" + qgetenv("HOME") + "\n") << false << false << 10000;
        QTest::newRow("killed by a signal") << "sh"
                                            << "kill -9 $$" << QByteArray() << QStringList() << all << 20000 << true
                                            << false << true << -1 << unchecked << false << false << 10000;
        QTest::newRow("missing program") << "/nonexistent/program" << QString() << QByteArray() << QStringList() << all
                                         << 20000 << false << false << false << -1 << QByteArray() << false << false
                                         << 10000;
    }

    void run()
    {
        QFETCH(QString, program);
        QFETCH(QString, script);
        QFETCH(QByteArray, input);
        QFETCH(QStringList, environment);
        QFETCH(qint64, limit);
        QFETCH(int, timeoutMs);

        BoundedProcess::Options options;
        options.input = input;
        options.environment = environment;
        options.maxOutputBytes = limit;
        QElapsedTimer timer;
        timer.start();
        const BoundedProcess::Result result = BoundedProcess::run(
            program, script.isEmpty() ? QStringList() : QStringList {QStringLiteral("-c"), script}, timeoutMs, options);
        const qint64 elapsed = timer.elapsed();

        QTEST(result.started, "started");
        QTEST(result.timedOut, "timedOut");
        QTEST(result.crashed, "crashed");
        if (!result.crashed)
            QTEST(result.exitCode, "exitCode");
        QFETCH(QByteArray, output);
        if (!output.isNull())
            QCOMPARE(result.output, output);
        QTEST(result.truncated, "truncated");
        QTEST(result.inputRefused, "inputRefused");
        QFETCH(int, maxElapsedMs);
        QVERIFY2(elapsed < maxElapsedMs, qPrintable(QString::number(elapsed)));
        if (result.timedOut)
            QVERIFY(elapsed >= timeoutMs);
    }
};

QTEST_GUILESS_MAIN(TestBoundedProcess)
#include "tst_boundedprocess.moc"
