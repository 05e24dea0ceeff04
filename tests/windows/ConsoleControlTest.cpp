// The console's close event under Wine, by a direct call of the handler (as
// the system calls it, on a thread of its own): Windows ends the process as
// soon as the handler returns, so it must wait until the sessions have ended
// and their records are written.

#include <windows.h>

#include <QtTest>
#include <atomic>
#include <thread>

#include "SystemConsole.h"

class ConsoleControlTest : public QObject {
    Q_OBJECT

private slots:
    void closeEventWaitsUntilTheRecordsAreWritten() {
        bool interrupted = false;
        WatchInterrupts([&] { interrupted = true; }, 130);
        std::atomic<bool> returned{false};
        std::thread system([&] {
            ConsoleControl(CTRL_CLOSE_EVENT);
            returned = true;
        });
        QTRY_VERIFY(interrupted);  // the sessions are being ended on the main thread
        QTest::qWait(50);
        QVERIFY(!returned);
        WatchInterrupts({}, 130);  // ended, records written
        system.join();
        QVERIFY(returned);
    }
};

QTEST_GUILESS_MAIN(ConsoleControlTest)
#include "ConsoleControlTest.moc"
