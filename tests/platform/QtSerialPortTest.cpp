// The program's serial port over real pseudo-terminals, against the simulated
// device on the same event loop.

#include <QFile>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

#include "ComPortMap.h"
#include "DeviceLink.h"

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

QByteArray ReadBlockReply(const QByteArray& memory, int address) {
    QByteArray reply = memory.mid(address, 128);
    char x = 0;
    for (char c : reply) {
        x ^= c;
    }
    return reply + x;
}

}  // namespace

class QtSerialPortTest : public QObject {
    Q_OBJECT

private slots:
    void openFailsWhenNoDeviceStandsBehindTheNumber() {
        QTemporaryDir root;
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root.path()));
        QtSerialPort port;

        port.SetPortNumber(0);
        QVERIFY(!port.Open());
        port.SetPortNumber(97);  // beyond every family of device names
        QVERIFY(!port.Open());

        // A link whose device has gone, and a link to something that is no terminal.
        QVERIFY(QDir().mkpath(root.path() + "/dosdevices"));
        QVERIFY(QFile::link("/dev/pts/no-such-terminal", root.path() + "/dosdevices/com3"));
        port.SetPortNumber(3);
        QVERIFY(!port.Open());
        QVERIFY(!port.LastError().isEmpty());
        QFile plain(root.path() + "/plain");
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QVERIFY(QFile::link(plain.fileName(), root.path() + "/dosdevices/com4"));
        port.SetPortNumber(4);
        QVERIFY(!port.Open());
        QVERIFY(!port.IsOpen());
        QVERIFY(!port.Write("x"));
        QVERIFY(port.ReadAll().isEmpty());
    }

    void secondOpenOfHeldPortFailsUntilItIsClosed() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QtSerialPort second;
        second.SetPortNumber(DeviceLink::Com);
        QVERIFY(!second.Open());
        QVERIFY(!second.IsOpen());

        // Another program that opens the terminal under its own name finds it busy too.
        QSerialPort direct(link.Device.TerminalPath());
        QVERIFY(!direct.open(QIODevice::ReadWrite));

        link.Port.Close();
        QVERIFY(second.Open());
        QCOMPARE(second.DeviceName(), link.Device.TerminalPath());
    }

    void settingsTakeEffectAtOnceAlsoWhileOpen() {
        DeviceLink link;
        QVERIFY2(link.Start(), qPrintable(link.Error));
        QVERIFY(link.Port.Open());
        QCOMPARE(link.Device.CurrentBaudRate(), 9600);  // the design settings

        QVERIFY(link.Port.SetSettings("19200,N,8,1"));
        QCOMPARE(link.Device.CurrentBaudRate(), 19200);
        QVERIFY(link.Port.SetSettings("9600,N,8,1"));
        QCOMPARE(link.Device.CurrentBaudRate(), 9600);

        QVERIFY(!link.Port.SetSettings("fast"));
        QVERIFY(!link.Port.SetSettings("19200,X,8,1"));
        QCOMPARE(link.Port.Settings().BaudRate, 9600);
        QCOMPARE(link.Device.CurrentBaudRate(), 9600);

        // Settings made while closed are those the next open uses.
        link.Port.Close();
        QVERIFY(link.Port.SetSettings("19200,N,8,1"));
        QVERIFY(link.Port.Open());
        QCOMPARE(link.Device.CurrentBaudRate(), 19200);
    }

    void splitReplyRaisesOnceWhenComplete() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QByteArray memory(65536, '\0');
        for (int i = 0; i < memory.size(); ++i) {
            memory[i] = static_cast<char>(i * 7 + 3);
        }
        link.Device.SetMemory(memory);
        link.Device.SetReplyPieces({1, 60, 60}, 20);

        QList<int> waitingAtEvent;
        link.Port.SetCommHandler([&](SerialPort::CommEvent event) {
            if (event == SerialPort::CommEvent::DataReceived) {
                waitingAtEvent.append(link.Port.ReadAll().size());
            }
        });
        link.Port.SetReceiveThreshold(129);
        QVERIFY(link.Port.Write(QByteArray::fromHex("55810012808052")));
        QVERIFY(QTest::qWaitFor([&] { return !waitingAtEvent.isEmpty(); }, 2000));
        QTest::qWait(50);
        QCOMPARE(waitingAtEvent, QList<int>{129});
        QCOMPARE(link.Device.Counters().BlocksRead, 1);

        // Read again, keeping the bytes this time: they match the memory.
        QByteArray got;
        link.Port.SetCommHandler([&](SerialPort::CommEvent) { got = link.Port.ReadAll(); });
        QVERIFY(link.Port.Write(QByteArray::fromHex("55810012808052")));
        QVERIFY(QTest::qWaitFor([&] { return !got.isEmpty(); }, 2000));
        QCOMPARE(got, ReadBlockReply(memory, 0x1280));
    }

    void mergedRepliesCountAsBytesAndThresholdZeroRaisesNothing() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));

        // Two requests in one write: both one-byte replies may come in one piece.
        QCOMPARE(link.Exchange("5501000000"
                               "5501000080",
                               2),
                 QByteArray::fromHex("7979"));
        QCOMPARE(link.DataEvents, 1);

        link.Port.SetReceiveThreshold(0);
        QVERIFY(link.Port.Write(QByteArray::fromHex("5501000100")));
        QVERIFY(QTest::qWaitFor([&] { return link.Device.Counters().BlocksErased == 3; }, 1000));
        QTest::qWait(50);
        QCOMPARE(link.DataEvents, 1);
        QCOMPARE(link.Port.ReadAll(), QByteArray::fromHex("79"));
    }

    void thresholdReachedBeforeItWasSetRaisesFromTheEventLoop() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        bool insideCall = false;
        bool raisedInsideCall = false;
        int events = 0;
        link.Port.SetCommHandler([&](SerialPort::CommEvent) {
            raisedInsideCall = raisedInsideCall || insideCall;
            ++events;
        });
        link.Port.SetReceiveThreshold(1);
        QVERIFY(link.Port.Write(QByteArray::fromHex("5501000000")));
        QVERIFY(QTest::qWaitFor([&] { return events == 1; }, 1000));

        // The byte is left unread; a new threshold that it already meets
        // raises the event again, after the call has returned.
        insideCall = true;
        link.Port.SetReceiveThreshold(0);
        link.Port.SetReceiveThreshold(1);
        insideCall = false;
        QCOMPARE(events, 1);
        QVERIFY(QTest::qWaitFor([&] { return events == 2; }, 1000));
        QVERIFY(!raisedInsideCall);

        // A threshold above what waits raises nothing.
        link.Port.SetReceiveThreshold(2);
        QTest::qWait(50);
        QCOMPARE(events, 2);
    }

    // Bytes that reach the terminal while the thread handles no events wait
    // in the system, not in the port's buffer: ReadAll does not see them,
    // DiscardInput throws them away (and returns them), and no event follows.
    void discardThrowsAwayWhatTheSystemHolds() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        link.Port.SetReceiveThreshold(1);
        link.Device.SendStray(QByteArray::fromHex("79791F55"));
        QThread::msleep(50);  // blocked, as in the session's pause
        QCOMPARE(link.Port.ReadAll(), QByteArray());
        QCOMPARE(link.Port.DiscardInput(), QByteArray::fromHex("79791F55"));
        QTest::qWait(100);
        QCOMPARE(link.DataEvents, 0);
        QCOMPARE(link.Port.ReadAll(), QByteArray());

        // What the port has read already goes the same way.
        link.Device.SendStray(QByteArray::fromHex("0102"));
        QVERIFY(QTest::qWaitFor([&] { return link.DataEvents == 1; }, 1000));
        QCOMPARE(link.Port.DiscardInput(), QByteArray::fromHex("0102"));
        QCOMPARE(link.Port.ReadAll(), QByteArray());
    }

    void closeLosesWaitingInput() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        link.Port.SetReceiveThreshold(0);
        QVERIFY(link.Port.Write(QByteArray::fromHex("5501000000")));
        QVERIFY(QTest::qWaitFor([&] { return link.Device.Counters().BlocksErased == 1; }, 1000));
        QTest::qWait(50);
        link.Port.Close();
        QVERIFY(!link.Port.IsOpen());
        QVERIFY(link.Port.ReadAll().isEmpty());
        QVERIFY(link.Port.Open());
        QTest::qWait(50);
        QVERIFY(link.Port.ReadAll().isEmpty());
    }

    void vanishingDeviceClosesThePortWithOneLineErrorAndNoSpin() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QCOMPARE(link.Exchange("55820102030103D5", 10).size(), 10);
        QVERIFY(link.Device.AddFault("next:vanish"));

        link.Port.SetReceiveThreshold(1);
        QVERIFY(link.Port.Write(QByteArray::fromHex("5501000000")));
        QVERIFY(QTest::qWaitFor([&] { return !link.Port.IsOpen(); }, 2000));
        QVERIFY(!link.Device.IsRunning());

        const double cpuBefore = ProcessCpuSeconds();
        QTest::qWait(500);
        const double cpuUsed = ProcessCpuSeconds() - cpuBefore;
        QVERIFY2(cpuUsed < 0.15, qPrintable(QString::number(cpuUsed)));
        QCOMPARE(link.LineErrors, 1);
        QCOMPARE(link.DataEvents, 1);  // the Connect reply only
        QVERIFY(!link.Port.Write(QByteArray::fromHex("5501000000")));
        QVERIFY(link.Port.ReadAll().isEmpty());
        link.Port.Close();
        // The port's device is gone: its link has gone with it.
        QVERIFY(!link.Port.Open());

        // The device comes back on a new terminal behind the same number.
        QVERIFY(link.Device.Start());
        QVERIFY(link.Port.Open());
        QCOMPARE(link.Exchange("5501000000", 1), QByteArray::fromHex("79"));
    }
};

QTEST_GUILESS_MAIN(QtSerialPortTest)
#include "QtSerialPortTest.moc"
