// The interval timer of the window: restarting its count, stopping it with a
// tick already due, and late ticks. The waits only let ticks fall due; no
// test depends on how quickly anything happens.
#include <QSignalSpy>
#include <QtTest>

#include "app/controls.h"

using namespace qm25;

class IntervalTimerTest : public QObject {
    Q_OBJECT
private slots:
    void stoppedUntilEnabled()
    {
        IntervalTimer t(QStringLiteral("Timer9"), 5, nullptr);
        QSignalSpy ticks(&t, &IntervalTimer::Timer);
        QCOMPARE(t.objectName(), QStringLiteral("Timer9"));
        QCOMPARE(t.Interval(), 5);
        QVERIFY(!t.Enabled());
        QCOMPARE(t.remainingTime(), -1);
        QTest::qSleep(20);
        QCoreApplication::processEvents();
        QCOMPARE(ticks.count(), 0);
    }

    void ticksUntilDisabled()
    {
        IntervalTimer t(QStringLiteral("Timer1"), 5, nullptr);
        QSignalSpy ticks(&t, &IntervalTimer::Timer);
        t.setEnabled(true);
        QVERIFY(t.Enabled());
        QTRY_VERIFY(ticks.count() >= 3);
        t.setEnabled(false);
        QVERIFY(!t.Enabled());
        const int seen = int(ticks.count());
        QTest::qWait(30);
        QCOMPARE(ticks.count(), seen);
    }

    void disablingDropsATickAlreadyDue()
    {
        // A release stops the repeat even when the next tick fell due while
        // the release was being handled.
        IntervalTimer t(QStringLiteral("Timer1"), 5, nullptr);
        QSignalSpy ticks(&t, &IntervalTimer::Timer);
        t.setEnabled(true);
        QTest::qSleep(20);
        t.setEnabled(false);
        QCoreApplication::processEvents();
        QTest::qWait(20);
        QCOMPARE(ticks.count(), 0);
    }

    void restartingDropsATickAlreadyDue()
    {
        IntervalTimer t(QStringLiteral("Timer2"), 5, nullptr);
        QSignalSpy ticks(&t, &IntervalTimer::Timer);
        t.setEnabled(true);
        QTest::qSleep(20);
        t.setInterval(60000);  // a new interval restarts the count
        QVERIFY(t.Enabled());
        QCoreApplication::processEvents();
        QCOMPARE(ticks.count(), 0);
        QVERIFY(t.remainingTime() > 59000);
        t.setEnabled(false);
    }

    void aLateTickIsNotMadeUp()
    {
        IntervalTimer t(QStringLiteral("Timer1"), 20, nullptr);
        QSignalSpy ticks(&t, &IntervalTimer::Timer);
        t.setEnabled(true);
        QTest::qSleep(110);  // five periods without the event loop
        QCoreApplication::processEvents();
        QCOMPARE(ticks.count(), 1);
        t.setEnabled(false);
    }

    void anIntervalSetWhileStoppedIsKept()
    {
        IntervalTimer t(QStringLiteral("Timer4"), 1000, nullptr);
        t.setInterval(250);
        QVERIFY(!t.Enabled());
        QCOMPARE(t.Interval(), 250);
        t.setEnabled(true);
        QVERIFY(t.remainingTime() <= 250);
        QVERIFY(t.remainingTime() > 0);
        t.setEnabled(false);
        QCOMPARE(t.remainingTime(), -1);
    }
};

QTEST_MAIN(IntervalTimerTest)
#include "test_interval_timer.moc"
