// The program's serial port over real pseudo-terminals, against the simulated
// device on the same event loop.

#include <QFile>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <dlfcn.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include "ComPortMap.h"
#include "DeviceLink.h"
#include "LowLatency.h"
#include "PseudoTerminal.h"

namespace {

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
}

// Every terminal settings that this process hands to a terminal's driver,
// recorded on their way to the C library.
QList<termios> Handed;

}  // namespace

extern "C" int tcsetattr(int fd, int action, const termios* settings) {
    using Real = int (*)(int, int, const termios*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    Handed.append(*settings);
    return real(fd, action, settings);
}

namespace {

// A driver's low-latency flag as a test scripts it.
struct ScriptedFlag : LowLatencyFlag {
    QString Driver =
        "keeps";  // or "ignores" (takes the request, changes nothing), "refuses", "none"
    bool Set = false;
    int Writes = 0;

    bool Read(int, bool& set) override {
        set = Set;
        return Driver != "none";
    }
    bool Write(int, bool set) override {
        ++Writes;
        Set = Driver == "keeps" ? set : Set;
        return Driver == "keeps" || Driver == "ignores";
    }
};

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

    // The terminal's own settings are read back, not the port's idea of
    // them. A Linux pseudo-terminal keeps the rate and the stop bits but
    // holds 8 data bits without parity whatever it is asked, so the data
    // bits and the parity are looked for among the settings handed to its
    // driver since from.
    void CheckTerminal(const DeviceLink& link, const QString& text, qsizetype from) {
        const QStringList expected = text.split(u',');
        QCOMPARE(link.Device.CurrentLineSettings(),
                 expected[0] + QStringLiteral(",N,8,") + expected[3]);
        bool parityAsked = false;
        bool dataBitsAsked = false;
        for (qsizetype k = from; k < Handed.size(); ++k) {
            const QStringList asked = LineSettingsTextOf(Handed[k]).split(u',');
            parityAsked = parityAsked || asked[1] == expected[1];
            dataBitsAsked = dataBitsAsked || asked[2] == expected[2];
        }
        QVERIFY2(parityAsked && dataBitsAsked, qPrintable(text));
    }

private slots:
    void openFailsWhenNoDeviceStandsBehindTheNumber() {
        QTemporaryDir root;
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(root.path()));
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
        // A planted link to a device that is no terminal is not even opened.
        for (const char* device : {"/dev/zero", "/dev/tty"}) {
            QFile::remove(root.path() + "/dosdevices/com5");
            QVERIFY(QFile::link(device, root.path() + "/dosdevices/com5"));
            port.SetPortNumber(5);
            QVERIFY(!port.Open());
            QVERIFY2(port.LastError().contains("it is not opened"), qPrintable(port.LastError()));
        }
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
        QVERIFY2(second.LastError().contains(QStringLiteral("in use by another program, process %1")
                                                 .arg(QCoreApplication::applicationPid())),
                 qPrintable(second.LastError()));

        // Another program that opens the terminal under its own name finds it busy too.
        QSerialPort direct(link.Device.TerminalPath());
        QVERIFY(!direct.open(QIODevice::ReadWrite));

        link.Port.Close();
        QVERIFY(second.Open());
        QCOMPARE(second.DeviceName(), link.Device.TerminalPath());
    }

    // Every field of a settings text reaches the terminal: at once while the
    // port is open, and at the next Open when it is closed.
    void lineSettingsReachTheTerminalWhenSetAndWhenOpened() {
        DeviceLink link;
        QVERIFY2(link.Start(), qPrintable(link.Error));
        QVERIFY(link.Port.Open());
        QCOMPARE(link.Device.CurrentLineSettings(), QStringLiteral("9600,N,8,1"));  // design

        for (const char* text :
             {"19200,E,7,2", "4800,O,5,1", "9600,M,6,2", "19200,S,8,1", "9600,N,8,1"}) {
            const qsizetype from = Handed.size();
            link.Port.SetSettings(text);  // a pseudo-terminal refuses some: see CheckTerminal
            CheckTerminal(link, text, from);
        }
        QVERIFY(!link.Port.SetSettings("fast"));
        QVERIFY(!link.Port.SetSettings("19200,X,8,1"));
        QCOMPARE(link.Device.CurrentLineSettings(), QStringLiteral("9600,N,8,1"));

        link.Port.Close();
        for (const char* text : {"19200,E,7,2", "4800,N,8,1"}) {
            link.Port.SetSettings(text);
            const qsizetype from = Handed.size();
            QVERIFY(link.Port.Open());
            CheckTerminal(link, text, from);
            link.Port.Close();
        }
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

    void sessionPortAsksForLowLatencyAndATerminalWithoutItStillWorks() {
        DeviceLink link;
        QVERIFY2(link.Start(), qPrintable(link.Error));
        link.Port.SetLowLatencyWanted(true);
        QCOMPARE(link.Port.LowLatency(), LowLatencyAnswer::NotAsked);
        QVERIFY(link.Port.SetSettings("19200,N,8,1"));
        for (int open = 1; open <= 2; ++open) {
            QVERIFY(link.Port.Open());
            // The terminal's driver was asked and has no such setting.
            QCOMPARE(link.Port.LowLatency(), LowLatencyAnswer::NotOffered);
            QCOMPARE(link.Exchange("55820102030103D5", 10).size(), 10);
            QCOMPARE(link.Exchange("5501000000", 1), QByteArray::fromHex("79"));
            link.Port.Close();
            QCOMPARE(link.Port.LowLatency(), LowLatencyAnswer::NotAsked);
        }
    }

    // Only a session's port asks, it reports what the driver shows, and the
    // close puts back what the open found. A pseudo-terminal has no flag to
    // show: a scripted driver keeps it.
    void lowLatencyIsAskedOnlyBySessionsAndLeftAsFound_data() {
        QTest::addColumn<bool>("session");
        QTest::addColumn<QString>("driver");
        QTest::addColumn<bool>("found");
        QTest::addColumn<LowLatencyAnswer>("answer");
        QTest::addColumn<bool>("whileOpen");
        QTest::newRow("probe") << false << "keeps" << false << LowLatencyAnswer::NotAsked << false;
        QTest::newRow("session") << true << "keeps" << false << LowLatencyAnswer::Granted << true;
        QTest::newRow("session, set by others")
            << true << "keeps" << true << LowLatencyAnswer::Granted << true;
        QTest::newRow("driver ignores it")
            << true << "ignores" << false << LowLatencyAnswer::Ignored << false;
        QTest::newRow("driver refuses")
            << true << "refuses" << false << LowLatencyAnswer::Refused << false;
    }

    void lowLatencyIsAskedOnlyBySessionsAndLeftAsFound() {
        QFETCH(bool, session);
        QFETCH(QString, driver);
        QFETCH(bool, found);
        QFETCH(LowLatencyAnswer, answer);
        QFETCH(bool, whileOpen);
        ScriptedFlag flag;
        flag.Driver = driver;
        flag.Set = found;
        DeviceLink link;
        link.Port.UseLowLatencyFlag(flag);
        link.Port.SetLowLatencyWanted(session);
        QVERIFY2(link.Start(), qPrintable(link.Error));
        for (int open = 1; open <= 2; ++open) {
            QVERIFY(link.Port.Open());
            QCOMPARE(link.Port.LowLatency(), answer);
            QCOMPARE(flag.Set, whileOpen);
            link.Port.Close();
            QCOMPARE(flag.Set, found);
        }
        if (!session) {
            QCOMPARE(flag.Writes, 0);
        }
    }

    // On a machine with an FTDI adapter whose flag nobody else has set:
    // FWLOADER_TEST_FTDI_PORT=/dev/ttyUSB0.
    void ftdiAdapterGrantsLowLatencyUntilTheSessionCloses() {
        const QString device = qEnvironmentVariable("FWLOADER_TEST_FTDI_PORT");
        if (device.isEmpty()) {
            QSKIP("FWLOADER_TEST_FTDI_PORT names no FTDI adapter (such as /dev/ttyUSB0)");
        }
        QtSerialPort port;
        port.SetDevicePath(device);
        port.SetLowLatencyWanted(true);
        QVERIFY2(port.Open(), qPrintable(port.LastError()));
        QCOMPARE(port.LowLatency(), LowLatencyAnswer::Granted);
        // The driver turns the flag into its shortest latency timer.
        const QString name = QFileInfo(device).canonicalFilePath().section(u'/', -1);
        QFile timer(QStringLiteral("/sys/bus/usb-serial/devices/%1/latency_timer").arg(name));
        if (timer.open(QIODevice::ReadOnly)) {
            QCOMPARE(timer.readAll().trimmed(), QByteArray("1"));
        }
        port.Close();
        QSerialPort plain(device);
        QVERIFY2(plain.open(QIODevice::ReadWrite), qPrintable(plain.errorString()));
        bool set = true;
        QVERIFY(SystemLowLatencyFlag().Read(plain.handle(), set) && !set);
    }

    // The close that the vanished device forces puts the low-latency flag
    // back too.
    void vanishingDeviceClosesThePortWithOneLineErrorAndNoSpin() {
        ScriptedFlag flag;  // outlives the port, which puts it back as it goes
        DeviceLink link;
        link.Port.UseLowLatencyFlag(flag);
        link.Port.SetLowLatencyWanted(true);
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QVERIFY(flag.Set);
        QCOMPARE(link.Exchange("55820102030103D5", 10).size(), 10);
        QVERIFY(link.Device.AddFault("next:vanish"));

        link.Port.SetReceiveThreshold(1);
        QVERIFY(link.Port.Write(QByteArray::fromHex("5501000000")));
        QVERIFY(QTest::qWaitFor([&] { return !link.Port.IsOpen(); }, 2000));
        QVERIFY(!link.Device.IsRunning());
        QVERIFY(!flag.Set);

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
