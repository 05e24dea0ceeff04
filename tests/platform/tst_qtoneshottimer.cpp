// The program's one-shot timer restarted as a session restarts its
// watchdog: the system's timer is set again only where the tick would
// otherwise come late, and the tick never comes early.

#include <QTest>

#include "QtPlatform.h"

class QtOneShotTimerTest : public QObject {
    Q_OBJECT
private slots:
    void restartsSetTheSystemTimerOnlyWhenNeeded() {
        QtOneShotTimer timer;
        int ticks = 0;
        timer.SetTickHandler([&] { ++ticks; });
        for (int i = 0; i < 50; ++i) {  // stopped at each reply, started with the next request
            timer.Stop();
            timer.Start(150);
        }
        QTest::qWait(60);
        qint64 started = timer.NowMs();
        timer.Start(150);  // due after the system's timer fires: set again then
        QTRY_COMPARE_WITH_TIMEOUT(ticks, 1, 5000);
        QVERIFY(timer.NowMs() - started >= 150 && !timer.IsActive());
        QCOMPARE(timer.SystemStarts(), 2);
        timer.Start(10000);
        started = timer.NowMs();
        timer.Start(30);  // due before the system's timer fires
        QTRY_COMPARE_WITH_TIMEOUT(ticks, 2, 5000);
        QVERIFY(timer.NowMs() - started >= 30);
        timer.Start(30);  // stopped: the system's timer finds nothing armed
        timer.Stop();
        QTest::qWait(100);
        QCOMPARE(ticks, 2);
    }
};

QTEST_GUILESS_MAIN(QtOneShotTimerTest)
#include "tst_qtoneshottimer.moc"
