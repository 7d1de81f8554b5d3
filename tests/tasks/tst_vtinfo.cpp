#include "TestSeam.h"
#include "performers/FileExists.h"
#include "tasks/VTClock.h"
#include "tasks/VTInfo.h"

#include <QtTest>

namespace {

qint64 fakeNow = 1700000000000;

qint64 fakeClock()
{
    return fakeNow;
}

} // namespace

class TestVTInfo : public QObject
{
    Q_OBJECT

    TestSeam<qint64 (*)()> m_clock {VTClock::s_currentMSecs, &fakeClock};

private slots:
    void averages_data()
    {
        QTest::addColumn<QList<qint64>>("runTimes");
        QTest::addColumn<double>("average");
        QTest::addColumn<QString>("statsSuffix");

        QTest::newRow("two runs") << QList<qint64> {1000, 3000} << 2000.0 << ":count=2:average_time=2";
        QTest::newRow("same millisecond") << QList<qint64> {0} << 0.0 << ":count=1:average_time=0";
        QTest::newRow("half second") << QList<qint64> {500} << 500.0 << ":count=1:average_time=0.5";
        QTest::newRow("fraction") << QList<qint64> {12000, 12500} << 12250.0 << ":count=2:average_time=12.25";
        QTest::newRow("large rounds to six digits")
            << QList<qint64> {1234567000} << 1234567000.0 << ":count=1:average_time=1.23457e+06";
    }

    void averages()
    {
        QFETCH(QList<qint64>, runTimes);
        QFETCH(double, average);
        QFETCH(QString, statsSuffix);

        VTInfo* info = VTInfo::instance();
        const QString name = QStringLiteral("avg_") + QTest::currentDataTag();
        const quint32 totalBefore = info->m_totalTasksCount;
        for (int i = 0; i < runTimes.size(); ++i) {
            const QString uid = name + QString::number(i);
            info->taskStarted(uid, QString(), name, {}, fakeNow - runTimes.at(i));
            info->taskFinished(uid);
            QVERIFY(!info->m_tasksInfo.contains(uid));
        }
        QCOMPARE(info->m_totalTasksCount, totalBefore + runTimes.size());
        QCOMPARE(info->m_tasksStats.value(name).count, quint32(runTimes.size()));
        QVERIFY(qFuzzyCompare(info->m_tasksStats.value(name).averageTime + 1, average + 1));
        QVERIFY(info->tasksStatsReport().contains(name + statsSuffix));
    }

    void taskLifeReadsTheInjectedClock()
    {
        VTInfo* info = VTInfo::instance();
        const quint32 countBefore = info->m_tasksStats.value(FileExists::msg_name).count;
        {
            const FileExists task({});
            fakeNow += 2500;
            QCOMPARE(task.getUpTime(), qint64(2500));
            QCOMPARE(info->ongoingTasksReport(), QStringList {FileExists::msg_name + ": | :2.5"});
        }
        QCOMPARE(info->m_tasksStats.value(FileExists::msg_name).count, countBefore + 1);
        QCOMPARE(info->m_tasksStats.value(FileExists::msg_name).averageTime, 2500.0);
    }

    void duplicateAndUnknownTasksChangeNothing()
    {
        VTInfo* info = VTInfo::instance();
        const quint32 totalBefore = info->m_totalTasksCount;
        info->taskStarted(QStringLiteral("{dup}"), QStringLiteral("m1"), QStringLiteral("first"), {}, fakeNow);
        QTest::ignoreMessage(QtCriticalMsg, "Task is already here. something is wrong.");
        info->taskStarted(QStringLiteral("{dup}"), QStringLiteral("m2"), QStringLiteral("second"), {}, fakeNow);
        QCOMPARE(info->m_totalTasksCount, totalBefore + 1);
        QCOMPARE(info->m_tasksInfo.value(QStringLiteral("{dup}")).taskName, QStringLiteral("first"));

        info->taskFinished(QStringLiteral("{dup}"));
        const auto statsBefore = info->m_tasksStats.keys();
        QTest::ignoreMessage(QtCriticalMsg, "Task is missing. something is wrong.");
        info->taskFinished(QStringLiteral("{dup}"));
        QCOMPARE(info->m_tasksStats.keys(), statsBefore);
        QCOMPARE(info->m_tasksStats.value(QStringLiteral("first")).count, 1u);
    }

    void paramsText_data()
    {
        QTest::addColumn<QVariantMap>("params");
        QTest::addColumn<QString>("text");

        QTest::newRow("empty") << QVariantMap() << " | ";
        QTest::newRow("single") << QVariantMap {{"k", "v"}} << " | k:v | ";
        QTest::newRow("sorted keys, numbers and bools")
            << QVariantMap {{"zeta", 3}, {"alpha", true}} << " | alpha:true | zeta:3 | ";
        QTest::newRow("nested object as JSON")
            << QVariantMap {{"linux_file_exists", QVariantMap {{"linux_file_name", "/tmp/a"}}}}
            << " | linux_file_exists:{\"linux_file_name\":\"/tmp/a\"} | ";
        QTest::newRow("secrets masked")
            << QVariantMap {{"run_command", "id"}, {"sudo_password", "hunter2"}}
            << " | run_command:[script of 2 bytes, not logged] | sudo_password:**************** | ";
        QTest::newRow("nested secrets masked")
            << QVariantMap {{"server", QVariantMap {{"protection_password", "p"}, {"password_salt", "s"}}}}
            << " | server:{\"password_salt\":\"" + QString(36, '*') + "\",\"protection_password\":\"" + QString(36, '*')
                + "\"} | ";
    }

    void paramsText()
    {
        QFETCH(QVariantMap, params);
        QFETCH(QString, text);
        QCOMPARE(VTInfo::paramsText(params), text);
    }

    void runningTasksReport()
    {
        VTInfo* info = VTInfo::instance();
        // Earlier test functions leave nothing running, so the report holds exactly these two.
        QVERIFY(info->m_tasksInfo.isEmpty());
        info->taskStarted(QStringLiteral("{b}"), QString(), QStringLiteral("user"), {}, fakeNow - 1500);
        info->taskStarted(QStringLiteral("{a}"), QStringLiteral("m"), QStringLiteral("linux_file_size"),
                          {{QStringLiteral("x"), 1}}, fakeNow - 40);

        const QStringList expected {QStringLiteral("linux_file_size: | x:1 | :0.04"), QStringLiteral("user: | :1.5")};
        QCOMPARE(info->ongoingTasksReport(), expected);
        const QVariantMap reports = info->troubleshootReports();
        QCOMPARE(reports.value(QStringLiteral("ongoing_tasks")).toStringList(), expected);
        QCOMPARE(reports.value(QStringLiteral("total_tasks_count")).toUInt(), info->m_totalTasksCount);
        QCOMPARE(reports.value(QStringLiteral("tasks_stats")).toStringList(), info->tasksStatsReport());

        info->taskFinished(QStringLiteral("{a}"));
        info->taskFinished(QStringLiteral("{b}"));
    }
};

QTEST_GUILESS_MAIN(TestVTInfo)
#include "tst_vtinfo.moc"
