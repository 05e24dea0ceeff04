// The Windows serial port's thread logic against a model of a Windows serial
// driver (CommDriverModel.h): what Wine cannot show, shown on any system.

#include <QtTest>

#include "CommDriverModel.h"
#include "Win32SerialPort.h"

namespace {

using Call = DriverModel::Call;

// A port over a fresh model, with its events counted.
struct Rig {
    std::shared_ptr<DriverModel> Model = std::make_shared<DriverModel>();
    Win32SerialPort Port{
        [model = Model](const QString&, QString&) { return model->Driver(model); }};
    int DataEvents = 0;
    int LineErrors = 0;

    Rig() {
        Port.SetCommHandler([this](SerialPort::CommEvent event) {
            ++(event == SerialPort::CommEvent::DataReceived ? DataEvents : LineErrors);
        });
        Port.SetDevicePath(QStringLiteral("\\\\.\\COM3"));
        Port.SetReceiveThreshold(1);
    }
    bool Open() { return Port.Open() && WaitFor(Call::Read); }
    // ticking: the system's timer ticks meanwhile (ends a read that waits).
    bool WaitFor(Call call, bool ticking = false) {
        QElapsedTimer waited;
        waited.start();
        while (!Model->ThreadIn(call) && waited.elapsed() < 5000) {
            if (ticking) {
                Model->Tick();
            }
            QThread::usleep(200);
        }
        return Model->ThreadIn(call);
    }
};

}  // namespace

class Win32PortLogicTest : public QObject {
    Q_OBJECT

private slots:
    // A reply reaches the session without waiting for the timer tick, also
    // when a write cancels the read it arrived into: the read returns at
    // the first bytes, so a resend that comes while a reply arrives loses
    // none of its head.
    void repliesComeAtOnceAndSurviveACancel_data() {
        QTest::addColumn<int>("threshold");
        QTest::addColumn<QByteArray>("before");  // arrives before the write
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("a reply") << 1 << QByteArray::fromHex("79") << QByteArray();
        QTest::newRow("a reply's head, a resend, its tail")
            << 3 << QByteArray("ab") << QByteArray("c");
    }
    void repliesComeAtOnceAndSurviveACancel() {
        QFETCH(int, threshold);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        Rig rig;
        rig.Port.SetReceiveThreshold(threshold);
        QVERIFY(rig.Open());
        rig.Model->Arrive(before);
        QVERIFY(rig.Port.Write(QByteArray::fromHex("31ce")));
        rig.Model->Arrive(after);
        QTRY_VERIFY_WITH_TIMEOUT(rig.DataEvents > 0, 2000);
        QCOMPARE(rig.Port.ReadAll(), before + after);
        QTRY_COMPARE(rig.Model->Written(), QByteArray::fromHex("31ce"));
        QCOMPARE(rig.LineErrors, 0);
    }

    // The session's answer to a reply goes out at once also where the
    // driver keeps a partial read until its timeout and cannot cancel (as
    // Wine): the read asks for no more than the session waits for (also
    // after the threshold changed or the buffer was thrown away), and the
    // thread starts no read before the session has handled what it got.
    void answerGoesOutWithoutTickOrCancel_data() {
        QTest::addColumn<int>("threshold");     // while the first reply comes
        QTest::addColumn<QByteArray>("first");  // the first reply
        QTest::addColumn<bool>("takeIt");       // read it, then await one byte; or throw it away
        QTest::newRow("a reply, then one byte awaited") << 3 << QByteArray("abc") << true;
        QTest::newRow("stray bytes thrown away") << 1 << QByteArray("zz") << false;
    }
    void answerGoesOutWithoutTickOrCancel() {
        QFETCH(int, threshold);
        QFETCH(QByteArray, first);
        QFETCH(bool, takeIt);
        Rig rig;
        rig.Model->IgnoreCancel = true;
        rig.Model->HoldPartialReads = true;
        rig.Port.SetReceiveThreshold(threshold);
        int answers = 0;
        rig.Port.SetCommHandler([&](SerialPort::CommEvent) {
            if (takeIt && answers == 0) {
                QCOMPARE(rig.Port.ReadAll(), first);
            }
            rig.Port.DiscardInput();  // as the session does before each request
            if (takeIt) {
                rig.Port.SetReceiveThreshold(1);
            }
            rig.Port.Write(++answers == 1 ? "q1" : "q2");
        });
        QVERIFY(rig.Open());
        rig.Model->Arrive(first);
        QTRY_COMPARE_WITH_TIMEOUT(rig.Model->Written(), QByteArray("q1"), 2000);
        rig.Model->Arrive(QByteArray::fromHex("79"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.Model->Written(), QByteArray("q1q2"), 2000);
        rig.Model->HonourCancels();
    }

    // A discard returns every byte it throws away: those that a waiting read
    // took, and those the driver held when the read was cancelled.
    void discardReturnsWhatItThrowsAway_data() {
        QTest::addColumn<QByteArray>("beforeDiscard");
        QTest::addColumn<QByteArray>("onCancel");
        QTest::newRow("into the waiting read") << QByteArray("ab") << QByteArray();
        QTest::newRow("held by the driver") << QByteArray() << QByteArray("cd");
    }
    void discardReturnsWhatItThrowsAway() {
        QFETCH(QByteArray, beforeDiscard);
        QFETCH(QByteArray, onCancel);
        Rig rig;
        rig.Model->ArriveOnCancel = onCancel;
        QVERIFY(rig.Open());
        if (!beforeDiscard.isEmpty()) {
            rig.Model->Arrive(beforeDiscard);
        }
        QCOMPARE(rig.Port.DiscardInput(), beforeDiscard + onCancel);
        QVERIFY(rig.Model->Purges().contains(CommCodes::RxClear));
        QVERIFY(rig.Port.ReadAll().isEmpty());
    }

    // A write while the thread is in the status call leaves that call alone:
    // a cancelled status call would read as a device that has gone.
    void aWriteDoesNotCancelTheStatusCall() {
        Rig rig;
        rig.Model->StatusDelayMs = 300;
        QVERIFY(rig.Port.Open());
        rig.Model->Arrive(QByteArray::fromHex("79"));
        QVERIFY(rig.WaitFor(Call::Status));
        QVERIFY(rig.Port.Write(QByteArray::fromHex("43bc")));
        QTRY_COMPARE_WITH_TIMEOUT(rig.Model->Written(), QByteArray::fromHex("43bc"), 3000);
        QVERIFY(rig.Port.IsOpen());
        QCOMPARE(rig.LineErrors, 0);
    }

    // A pulled adapter closes the port with one line error, whatever its
    // driver answers: also reads that end as aborted though nobody asked.
    void pulledAdapterClosesThePort_data() {
        QTest::addColumn<unsigned long>("readError");
        QTest::addColumn<bool>("statusFails");
        QTest::newRow("access denied, status fails") << CommCodes::AccessDenied << true;
        QTest::newRow("aborted, status answers") << CommCodes::OperationAborted << false;
        QTest::newRow("aborted, status fails") << CommCodes::OperationAborted << true;
    }
    void pulledAdapterClosesThePort() {
        QFETCH(unsigned long, readError);
        QFETCH(bool, statusFails);
        Rig rig;
        QVERIFY(rig.Open());
        rig.Model->Pull(readError, statusFails);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.Port.IsOpen(), 3000);
        QCOMPARE(rig.LineErrors, 1);
        QVERIFY(!rig.Port.LastError().isEmpty());
        QVERIFY(!rig.Port.Write("x"));
    }

    // New line settings reach the driver at once, after what was queued
    // at the old rate has been written.
    void lineSettingsFollowTheQueuedBytes() {
        Rig rig;
        QVERIFY(rig.Port.SetSettings("9600,N,8,1"));
        QVERIFY(rig.Open());
        QVERIFY(rig.Port.Write("ab"));
        QVERIFY(rig.Port.SetSettings("19200,N,8,1"));
        const QList<QPair<int, qsizetype>> lines{{9600, 0}, {19200, 2}};
        QCOMPARE(rig.Model->LinesGiven(), lines);
    }

    // A line error names what the line reported, also when no byte came.
    void lineErrorIsNamed_data() {
        QTest::addColumn<bool>("withByte");
        QTest::newRow("with a byte") << true;
        QTest::newRow("no byte: the read times out") << false;
    }
    void lineErrorIsNamed() {
        QFETCH(bool, withByte);
        Rig rig;
        QVERIFY(rig.Open());
        rig.Model->RaiseLineErrors(CommCodes::Break | CommCodes::Frame);
        if (withByte) {
            rig.Model->Arrive(QByteArray(1, '\0'));
        } else {
            rig.Model->Tick();
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.LineErrors, 1, 2000);
        QCOMPARE(rig.Port.LastError(),
                 QStringLiteral("the line reported a break, a framing error"));
        QVERIFY(rig.Port.IsOpen());
    }

    // Closing does not wait on a stuck adapter: the write in progress is
    // cancelled, the output purged and what is still queued dropped; a
    // driver that ignores the cancel holds Close up for a bounded time only.
    void closeDoesNotWaitOnTheLine_data() {
        QTest::addColumn<bool>("ignoreCancel");
        QTest::newRow("cancel honoured") << false;
        QTest::newRow("cancel ignored") << true;
    }
    void closeDoesNotWaitOnTheLine() {
        QFETCH(bool, ignoreCancel);
        Rig rig;
        rig.Model->StallWrites = true;
        rig.Model->IgnoreCancel = ignoreCancel;
        rig.Model->GiveUpMs = 4000;
        QVERIFY(rig.Port.Open());
        QVERIFY(rig.Port.Write("first"));
        QVERIFY(rig.Port.Write("second"));
        QVERIFY(rig.WaitFor(Call::Write, true));
        rig.Port.Close();
        QVERIFY(!rig.Port.IsOpen());
        if (ignoreCancel) {
            QVERIFY(rig.Model->ThreadIn(Call::Write));  // Close came back all the same
            rig.Model->ReleaseWrites();
        } else {
            QCOMPARE(rig.Model->WriteEnd(), QStringLiteral("cancelled"));
        }
        QTRY_VERIFY(rig.Model->Purges().contains(CommCodes::TxAbort | CommCodes::TxClear));
        QVERIFY(!rig.Model->Written().contains("second"));
    }

    // A write that its driver ends at its timeout with bytes unsent is one
    // line error; the port stays open.
    void writeTimeoutIsALineError() {
        Rig rig;
        rig.Model->StallWrites = true;
        rig.Model->GiveUpMs = 50;
        QVERIFY(rig.Open());
        QVERIFY(rig.Port.Write("abc"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.LineErrors, 1, 2000);
        QCOMPARE(rig.Port.LastError(), QStringLiteral("the write timed out"));
        QVERIFY(rig.Port.IsOpen());
    }

    // A write that never ends (Wine ignores write timeouts) holds a discard
    // or new line settings only until the write's timeout and a margin:
    // then the device is gone.
    void stalledWriteEndsAsGoneDevice_data() {
        QTest::addColumn<bool>("newSettings");
        QTest::newRow("a discard") << false;
        QTest::newRow("new line settings, not given to the stalled driver") << true;
    }
    void stalledWriteEndsAsGoneDevice() {
        QFETCH(bool, newSettings);
        Rig rig;
        rig.Model->StallWrites = true;
        rig.Model->GiveUpMs = 60000;
        QVERIFY(rig.Open());
        QElapsedTimer held;  // from before the write's start
        held.start();
        QVERIFY(rig.Port.Write("abc"));
        QVERIFY(rig.WaitFor(Call::Write));
        if (newSettings) {
            QVERIFY(rig.Port.SetSettings("9600,N,8,1"));
        } else {
            rig.Port.DiscardInput();
        }
        QVERIFY(held.elapsed() >= 2 * 3 + 1000 + Win32SerialPort::WriteOverdueMs);
        QCOMPARE(rig.Model->LinesGiven().size(), 1);  // Open's
        QTRY_VERIFY_WITH_TIMEOUT(!rig.Port.IsOpen(), 3000);
        QCOMPARE(rig.LineErrors, 1);
        QVERIFY(rig.Port.LastError().contains("stalled"));
        QVERIFY(!rig.Port.Write("x"));
    }
};

QTEST_GUILESS_MAIN(Win32PortLogicTest)
#include "tst_Win32PortLogic.moc"
