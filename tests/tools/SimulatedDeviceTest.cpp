// The simulated bootloader as the program sees it: requests written through
// the program's serial port over a real pseudo-terminal, replies read back.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include "ComPortMap.h"
#include "DeviceLink.h"
#include "RandomBytes.h"

namespace {

const char* const ConnectUpdate = "55820102030103D5";  // model 01 02 03, version 1.03
const char* const ConnectAccepted = "79550100000000010203";
constexpr int Quiet = 300;  // long enough to tell that no reply comes

QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}

QByteArray WithXor(const QByteArray& data) {
    char x = 0;
    for (char c : data) {
        x ^= c;
    }
    return data + x;
}

QByteArray ReadBlockOf(const QByteArray& memory, int address) {
    return WithXor(memory.mid(address, 128));
}

// The pieces in which the last reply reached the program: milliseconds after
// its request arrived, and the piece.
struct Piece {
    qint64 AfterMs;
    QByteArray Bytes;
};
QList<Piece> PiecesOfLastReply(const SimulatedDevice& device) {
    QList<Piece> pieces;
    qint64 requestMs = 0;
    for (const TrafficRecord& record : device.Traffic()) {
        if (record.Dir == TrafficRecord::Direction::In) {
            requestMs = record.TimeMs;
            pieces.clear();
        } else if (record.Dir == TrafficRecord::Direction::Out) {
            pieces.append({record.TimeMs - requestMs, record.Bytes});
        }
    }
    return pieces;
}

QList<int> SizesOf(const QList<Piece>& pieces) {
    QList<int> sizes;
    for (const Piece& piece : pieces) {
        sizes.append(static_cast<int>(piece.Bytes.size()));
    }
    return sizes;
}

}  // namespace

class SimulatedDeviceTest : public QObject {
    Q_OBJECT

private slots:
    void everyCommandIsAnsweredAndActsOnMemory() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        link.Device.FillMemory(0x00);

        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex(ConnectAccepted));
        QCOMPARE(link.Device.LastConnect(), Hex(ConnectUpdate));

        QCOMPARE(link.Exchange("5501001280", 1), Hex("79"));
        QCOMPARE(link.Device.Memory().mid(0x1280, 128), QByteArray(128, '\xFF'));
        QCOMPARE(link.Device.Memory().at(0x127F), '\0');
        QCOMPARE(link.Device.Memory().at(0x1300), '\0');

        QCOMPARE(link.Exchange("55020012A003", 1), Hex("79"));
        QCOMPARE(link.Exchange("12345670", 1), Hex("79"));
        QCOMPARE(link.Device.Memory().mid(0x12A0, 4), Hex("123456FF"));

        // A one-byte block is the byte twice.
        QCOMPARE(link.Exchange("5502001280"
                               "01",
                               1),
                 Hex("79"));
        QCOMPARE(link.Exchange("7979", 1), Hex("79"));

        QByteArray expected(128, '\xFF');
        expected[0] = '\x79';
        expected.replace(0x20, 3, Hex("123456"));
        QCOMPARE(link.Exchange("55810012808052", 129), WithXor(expected));

        QCOMPARE(link.Exchange("5503009000", 1), Hex("79"));
        const DeviceCounters& count = link.Device.Counters();
        QCOMPARE(count.ApplicationStarts, 1);
        QCOMPARE(link.Device.LastApplicationAddress(), 0x9000);
        QCOMPARE(count.BlocksErased, 1);
        QCOMPARE(count.BlocksWritten, 2);
        QCOMPARE(count.UnerasedWrites, 0);
        QCOMPARE(count.Exchanges, 8);
        QCOMPARE(count.Of(ExchangeKind::DataBlock), 2);
        QCOMPARE(count.MalformedRequests, 0);
        QCOMPARE(count.FaultsInjected, 0);
    }

    void dataBlockWithWrongXorIsRefusedAndNothingWritten() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QCOMPARE(link.Exchange("5501000000", 1), Hex("79"));
        QCOMPARE(link.Exchange("550200000003", 1), Hex("79"));
        QCOMPARE(link.Exchange("12345671", 1), Hex("1F"));
        QCOMPARE(link.Device.Memory().left(3), Hex("FFFFFF"));
        QCOMPARE(link.Device.Counters().BlocksRefused, 1);

        // The resend goes back to the header; the block is then taken.
        QCOMPARE(link.Exchange("550200000003", 1), Hex("79"));
        QCOMPARE(link.Exchange("12345670", 1), Hex("79"));
        QCOMPARE(link.Device.Memory().left(3), Hex("123456"));
    }

    // Flash: written bytes are ANDed in; a kept block is taken whenever its
    // bytes come, also headers; a slow board answers late; one switched on
    // late hears nothing before, while its application prints text.
    void boardsThatDifferFromAPromptBootloader() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        link.Device.FillMemory(0xF0);
        link.Device.SetFlash(true);
        link.Device.SetKeepsAwaitedBlock(true);
        QCOMPARE(link.Exchange("550200100001", 1), Hex("79"));
        QCOMPARE(link.Exchange("3333", 1), Hex("79"));
        QCOMPARE(link.Device.Memory().at(0x1000), '\x30');
        QCOMPARE(link.Exchange("550200100009", 1), Hex("79"));
        QTest::qWait(400);  // twice the quiet gap: the block is still awaited
        // Two copies of one erase header are ten bytes whose XOR is 0: a
        // block of nine bytes and its check byte that passes its check.
        QCOMPARE(link.Exchange("5501001000", 1, Quiet), QByteArray());
        QCOMPARE(link.Exchange("5501001000", 1), Hex("79"));
        QCOMPARE(link.Device.Memory().mid(0x1000, 9), Hex("100000100050000010"));
        QCOMPARE(link.Device.Counters().BlocksErased, 0);

        link.Device.SetReplyDelayMs(300);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.Exchange("5501001000", 1), Hex("79"));
        QVERIFY(clock.elapsed() >= 300);
        link.Device.SetReplyDelayMs(0);

        link.Device.SetAsleep(600, 100);
        QVERIFY(link.Exchange(ConnectUpdate, 10, Quiet).left(5) == "app: ");
        QTest::qWait(700);
        link.Port.ReadAll();
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex(ConnectAccepted));
    }

    void malformedRequestsAreNotCarriedOut() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QVERIFY(link.Exchange("55820102030103D6", 10, Quiet).isEmpty());  // checksum
        QCOMPARE(link.Exchange("550200107F02", 1), Hex("1F"));            // runs past its block
        QCOMPARE(link.Exchange("550200100000", 1), Hex("1F"));            // no bytes
        QCOMPARE(link.Device.Counters().MalformedRequests, 3);
        QCOMPARE(link.Device.Counters().BlocksWritten, 0);
    }

    void answeringOnlyAt9600_data() {
        QTest::addColumn<bool>("marker");
        QTest::addColumn<QString>("sessionSettings");
        QTest::newRow("marker: the session goes on at 19200") << true << "19200,N,8,1";
        QTest::newRow("no marker: it stays at 9600") << false << "9600,N,8,1";
    }
    void answeringOnlyAt9600() {
        QFETCH(bool, marker);
        QFETCH(QString, sessionSettings);
        DeviceLink link;
        QVERIFY2(link.StartAndOpen("19200,N,8,1"), qPrintable(link.Error));
        link.Device.SetOnlyRate(9600);
        link.Device.SetMarker(marker);

        QVERIFY(link.Exchange(ConnectUpdate, 10, Quiet).isEmpty());
        QCOMPARE(link.Device.Counters().UnreadableBytes, 8);
        QCOMPARE(link.Device.Counters().Exchanges, 0);

        QVERIFY(link.Port.SetSettings("9600,N,8,1"));
        const QByteArray reply = link.Exchange(ConnectUpdate, 10);
        QCOMPARE(reply.size(), 10);
        QCOMPARE(reply.at(1) == '\x55', marker);

        const QString otherSettings =
            sessionSettings.startsWith("19200") ? "9600,N,8,1" : "19200,N,8,1";
        QVERIFY(link.Port.SetSettings(otherSettings));
        QVERIFY(link.Exchange("5501000000", 1, Quiet).isEmpty());
        QVERIFY(link.Port.SetSettings(sessionSettings));
        QCOMPARE(link.Exchange("5501000000", 1), Hex("79"));
    }

    void garbageIsSkippedAndHalfRequestsAreGivenUpAfterQuiet() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));

        // Garbage, then a 0x55 that starts no command, then an erase.
        QCOMPARE(link.Exchange("AA557F"
                               "5501000000",
                               1),
                 Hex("79"));
        QCOMPARE(link.Device.Counters().SkippedBytes, 3);

        // A header cut short, then quiet: the full header sent again is read afresh.
        QVERIFY(link.Exchange("550100", 1, Quiet).isEmpty());
        QCOMPARE(link.Exchange("5501000080", 1), Hex("79"));
        QCOMPARE(link.Device.Counters().DroppedPartials, 1);
        QCOMPARE(link.Device.Counters().BlocksErased, 2);

        // An acknowledged write whose data block never comes: the header
        // sent again after quiet is a header, not data.
        QCOMPARE(link.Exchange("550200000002", 1), Hex("79"));
        QTest::qWait(Quiet);
        QCOMPARE(link.Exchange("550200000002", 1), Hex("79"));
        QCOMPARE(link.Exchange("abcd66", 1), Hex("79"));
        QCOMPARE(link.Device.Memory().left(2), Hex("abcd"));
    }

    void scriptedFaultsOnConnect() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        for (const char* fault : {"connect#1:refuse", "connect#2:nack", "connect#3:wrongmodel",
                                  "connect#4:status=42", "connect#5:silence"}) {
            QVERIFY(link.Device.AddFault(fault));
        }
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex("1F550100000000010203"));
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex("1FAA0100000000010203"));
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex("795501000000000102FC"));
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex("42550100000000010203"));
        QVERIFY(link.Exchange(ConnectUpdate, 10, Quiet).isEmpty());
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex(ConnectAccepted));
        QCOMPARE(link.Device.Counters().FaultsInjected, 5);
        QCOMPARE(link.Device.Counters().Of(FaultKind::RefuseConnect), 1);

        // A device that is deaf to Connect at any rate but 9600.
        QVERIFY(link.Device.AddFault("connect*:only9600"));
        QVERIFY(link.Exchange(ConnectUpdate, 10, Quiet).isEmpty());
        QVERIFY(link.Port.SetSettings("9600,N,8,1"));
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex(ConnectAccepted));
        QCOMPARE(link.Device.Counters().Of(FaultKind::Only9600), 1);
    }

    void scriptedFaultsOnTransfers() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        for (const char* fault : {"erase#2:silence", "write#1:nack", "data#1:drop", "read#1:badxor",
                                  "read#2:flip", "go:status=42"}) {
            QVERIFY(link.Device.AddFault(fault));
        }
        QCOMPARE(link.Exchange("5501000000", 1), Hex("79"));
        link.Device.FillMemory(0x00);
        QVERIFY(link.Exchange("5501000000", 1, Quiet).isEmpty());
        QCOMPARE(link.Device.Memory().at(0), '\0');  // not heard, not erased

        QCOMPARE(link.Exchange("550200000001", 1), Hex("1F"));
        QCOMPARE(link.Exchange("550200000001", 1), Hex("79"));
        QVERIFY(link.Exchange("3c3c", 1, Quiet).isEmpty());
        QCOMPARE(link.Device.Memory().at(0), '\x3c');  // written, reply lost

        const QByteArray good = WithXor(link.Device.Memory().left(128));
        const QByteArray badXor = link.Exchange("55810000008052", 129);
        QCOMPARE(badXor.left(128), good.left(128));
        QVERIFY(badXor.at(128) != good.at(128));
        const QByteArray flipped = link.Exchange("55810000008052", 129);
        QVERIFY(flipped.left(128) != good.left(128));
        QCOMPARE(flipped.at(128), good.at(128));
        QCOMPARE(link.Exchange("55810000008052", 129), good);

        QCOMPARE(link.Exchange("5503000000", 1), Hex("42"));
        QCOMPARE(link.Device.Counters().ApplicationStarts, 0);
        QCOMPARE(link.Exchange("5503000000", 1), Hex("79"));
        QCOMPARE(link.Device.Counters().ApplicationStarts, 1);
        QCOMPARE(link.Device.Counters().FaultsInjected, 6);
    }

    // A late reply keeps the line slow: a copy of the request sent meanwhile
    // is answered as late after its own arrival. A reply may come twice or
    // with junk behind it; stray bytes come on request.
    void repliesThatComeLateTwiceOrWithJunk() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QElapsedTimer clock;
        QByteArray got;
        QList<qint64> times;
        link.Port.SetCommHandler([&](SerialPort::CommEvent) {
            const QByteArray bytes = link.Port.ReadAll();
            got += bytes;
            times.append(QList<qint64>(bytes.size(), clock.elapsed()));
        });
        link.Port.SetReceiveThreshold(1);

        QVERIFY(link.Device.AddFault("erase#1:late=400"));
        clock.start();
        QVERIFY(link.Port.Write(Hex("5501000000")));
        QTest::qWait(100);
        QVERIFY(link.Port.Write(Hex("5501000000")));
        QVERIFY(QTest::qWaitFor([&] { return got.size() >= 2; }, 3000));
        QCOMPARE(got, Hex("7979"));
        QVERIFY2(times[0] >= 390 && times[1] >= 490,
                 qPrintable(QStringLiteral("%1 %2").arg(times[0]).arg(times[1])));

        got.clear();
        QVERIFY(link.Device.AddFault("erase:twice"));
        QVERIFY(link.Port.Write(Hex("5501000000")));
        QTest::qWait(Quiet);
        QCOMPARE(got, Hex("7979"));

        got.clear();
        QVERIFY(link.Device.AddFault("erase:junk"));
        QVERIFY(link.Port.Write(Hex("5501000000")));
        QTest::qWait(Quiet);
        QVERIFY2(got.size() >= 2 && got.size() <= 9 && got[0] == '\x79', got.toHex().constData());
        QCOMPARE(link.Device.Counters().StrayBytes, got.size() - 1);

        got.clear();
        link.Device.SendStray(Hex("1F55"));
        QTest::qWait(Quiet);
        QCOMPARE(got, Hex("1F55"));
        QCOMPARE(link.Device.Counters().BlocksErased, 4);
    }

    // A reply cut in two across the watchdog's second; a stray byte before a
    // reply whose last byte is late; a slow block whose copies are served
    // one after the other; a line that babbles after a late reply, but only
    // when a request crossed it.
    void repliesCutStrayedSlowOrBabbling() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        const QByteArray memory = RandomBytes(65536, 17);
        link.Device.SetMemory(memory);
        QElapsedTimer clock;
        QByteArray got;
        QList<qint64> times;  // of each byte
        link.Port.SetCommHandler([&](SerialPort::CommEvent) {
            const QByteArray bytes = link.Port.ReadAll();
            got += bytes;
            times.append(QList<qint64>(bytes.size(), clock.elapsed()));
        });
        link.Port.SetReceiveThreshold(1);
        auto send = [&](const char* hex) {
            got.clear();
            times.clear();
            clock.restart();
            QVERIFY(link.Port.Write(Hex(hex)));
        };

        QVERIFY(link.Device.AddFault("read#1:cut=200"));
        send("55810000008052");
        QVERIFY(QTest::qWaitFor([&] { return got.size() >= 129; }, 2000));
        QCOMPARE(got, ReadBlockOf(memory, 0));
        QVERIFY2(times[0] >= 195 && times[63] < 450 && times[64] >= 495, got.toHex().constData());

        QVERIFY(link.Device.AddFault("erase#1:stray"));
        send("5501000000");
        QVERIFY(QTest::qWaitFor([&] { return got.size() >= 2; }, 1000));
        QVERIFY2(got.size() == 2 && got[0] != '\x79' && got[0] != '\x1F' && got[1] == '\x79' &&
                     times[1] - times[0] >= 35,
                 got.toHex().constData());

        QVERIFY(link.Device.AddFault("erase#2:slow=300"));
        send("5501000080");
        QTest::qWait(100);
        QVERIFY(link.Port.Write(Hex("5501000080")));
        QVERIFY(QTest::qWaitFor([&] { return got.size() >= 2; }, 2000));
        QVERIFY2(times[0] >= 295 && times[1] >= 595, got.toHex().constData());
        send("5501000080");  // the slow block again
        QVERIFY(QTest::qWaitFor([&] { return got.size() >= 1; }, 1000));
        QVERIFY2(times[0] >= 295, got.toHex().constData());

        // Late by 1.5 s, and so is the copy sent at 100 ms: the line babbles
        // for 300 ms from the first answer on. Without a copy it stays quiet.
        QVERIFY(link.Device.AddFault("erase#5:babble=300"));
        send("5501000000");
        QTest::qWait(100);
        QVERIFY(link.Port.Write(Hex("5501000000")));
        QTest::qWait(2300);
        QVERIFY2(got.size() > 4 && got[0] == '\x79' && times[0] >= 1495 && times.last() >= 1700 &&
                     times.last() < 2100,
                 got.toHex().constData());
        QVERIFY(link.Device.AddFault("erase#7:babble=300"));
        send("5501000000");
        QTest::qWait(2000);
        QCOMPARE(got, Hex("79"));
    }

    void lineTimingDelaysRepliesByTheirTimeOnTheLine() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen("9600,N,8,1"), qPrintable(link.Error));
        link.Device.SetLineTiming(true);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(link.Exchange("55810000008052", 129).size(), 129);
        const qint64 at9600 = clock.elapsed();  // 136 bytes at 9600: 142 ms
        QVERIFY2(at9600 >= 135, qPrintable(QString::number(at9600)));

        QVERIFY(link.Port.SetSettings("19200,N,8,1"));
        clock.restart();
        QCOMPARE(link.Exchange("55810000008052", 129).size(), 129);
        const qint64 at19200 = clock.elapsed();  // 71 ms
        QVERIFY2(at19200 >= 65, qPrintable(QString::number(at19200)));
    }

    void adapterHoldsRepliesUntilItsTimerUnlessAPacketFills() {
        DeviceLink link;
        QVERIFY2(link.StartAndOpen(), qPrintable(link.Error));
        QByteArray memory(65536, '\0');
        for (int i = 0; i < memory.size(); ++i) {
            memory[i] = static_cast<char>(i * 13 + 1);
        }
        link.Device.SetMemory(memory);
        link.Device.SetLatencyTimerMs(60);

        // A one-byte reply waits out the timer.
        QCOMPARE(link.Exchange("5501000000", 1), Hex("79"));
        QList<Piece> pieces = PiecesOfLastReply(link.Device);
        QCOMPARE(SizesOf(pieces), QList<int>{1});
        QVERIFY2(pieces[0].AfterMs >= 60, qPrintable(QString::number(pieces[0].AfterMs)));

        // A read block fills two packets, which go at once; the rest waits.
        const QByteArray block = link.Exchange("55810012808052", 129);
        QCOMPARE(block, ReadBlockOf(memory, 0x1280));
        pieces = PiecesOfLastReply(link.Device);
        QCOMPARE(SizesOf(pieces), (QList<int>{62, 62, 5}));
        QVERIFY2(pieces[1].AfterMs < 60, qPrintable(QString::number(pieces[1].AfterMs)));
        QVERIFY2(pieces[2].AfterMs >= 60, qPrintable(QString::number(pieces[2].AfterMs)));

        // On a 19200 baud line the block trickles in at 0.52 ms a byte: the
        // timer, counted from the first byte in the adapter, fires after 31
        // bytes each time, long before a packet fills.
        link.Device.SetLineTiming(true);
        link.Device.SetLatencyTimerMs(16);
        QCOMPARE(link.Exchange("55810012808052", 129), ReadBlockOf(memory, 0x1280));
        QCOMPARE(SizesOf(PiecesOfLastReply(link.Device)), (QList<int>{31, 31, 31, 31, 5}));

        // Without the adapter it trickles in as on the line, 4 ms of it at a
        // time, its last byte after its line time (136 bytes: 71 ms). How
        // early the first piece goes depends on how busy the machine is: only
        // that it goes before the last is certain.
        link.Device.SetLatencyTimerMs(0);
        QCOMPARE(link.Exchange("55810012808052", 129), ReadBlockOf(memory, 0x1280));
        pieces = PiecesOfLastReply(link.Device);
        QCOMPARE(SizesOf(pieces), QList<int>(16, 8) << 1);
        QVERIFY2(
            pieces.last().AfterMs >= 65 && pieces.last().AfterMs > pieces[0].AfterMs,
            qPrintable(QStringLiteral("%1 %2").arg(pieces[0].AfterMs).arg(pieces.last().AfterMs)));
    }

    void memoryFilesAreReadAndWrittenWhole() {
        QTemporaryDir dir;
        SimulatedDevice device;
        device.SetMemory(Hex("0102"));
        QCOMPARE(device.Memory().size(), 65536);
        QCOMPARE(device.Memory().left(3), Hex("0102FF"));

        const QString path = dir.filePath("memory.bin");
        QVERIFY(device.SaveMemory(path));
        QFile saved(path);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), device.Memory());

        SimulatedDevice other;
        QVERIFY(other.LoadMemory(path));
        QCOMPARE(other.Memory(), device.Memory());

        QFile large(dir.filePath("large.bin"));
        QVERIFY(large.open(QIODevice::WriteOnly));
        large.write(QByteArray(65537, '\0'));
        large.close();
        QString error;
        QVERIFY(!other.LoadMemory(large.fileName(), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!other.LoadMemory(dir.filePath("missing.bin")));
        QCOMPARE(other.Memory(), device.Memory());
        QVERIFY(!device.SaveMemory(dir.filePath("no/such/folder/memory.bin")));
    }

    void publishedLinkIsTheProgramsComPortAndGoesWithTheDevice() {
        QTemporaryDir root;
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(root.path()));
        SimulatedDevice device;
        QVERIFY(!device.PublishAsComPort(6));  // no terminal yet
        QVERIFY(device.Start());
        QVERIFY(device.PublishAsComPort(6));  // the default root is the program's
        QCOMPARE(device.ComLinkPath(), ComPortDeviceName(6));
        QCOMPARE(QFileInfo(device.ComLinkPath()).canonicalFilePath(), device.TerminalPath());

        // Anything but a link is left alone.
        QFile plain(root.path() + "/dosdevices/com7");
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        QString error;
        QVERIFY(!device.PublishAsComPort(7, root.path(), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(QFileInfo(plain.fileName()).isFile());

        const QString link = device.ComLinkPath();
        device.Stop();
        QVERIFY(!QFileInfo(link).isSymLink());
        QVERIFY(QFileInfo(plain.fileName()).isFile());
    }

    void programServesUntilTerminatedAndSavesMemory() {
        DeviceLink link;  // for the port and the store root only
        QVERIFY(link.Root.isValid());
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(link.Root.path()));
        QFile in(link.Root.filePath("in.bin"));
        QVERIFY(in.open(QIODevice::WriteOnly));
        in.write(Hex("A1A2A3"));
        in.close();
        const QString out = link.Root.filePath("out.bin");
        const QString log = link.Root.filePath("traffic.log");

        QProcess program;
        program.start(FWSIM_PROGRAM, {"--com", "9", "--store-root", link.Root.path(), "--memory-in",
                                      in.fileName(), "--memory-out", out, "--log", log, "--fault",
                                      "erase#1:nack", "--latency-timer", "40"});
        QVERIFY(program.waitForStarted(5000));
        QByteArray printed;
        QVERIFY(QTest::qWaitFor(
            [&] {
                printed += program.readAllStandardOutput();
                return printed.contains("com 9 ");
            },
            5000));
        QVERIFY(printed.startsWith("terminal /dev/"));

        link.Port.SetPortNumber(9);
        link.Port.SetCommHandler([&](SerialPort::CommEvent) { ++link.DataEvents; });
        QVERIFY(link.Port.SetSettings("19200,N,8,1"));
        QVERIFY(link.Port.Open());
        QCOMPARE(link.Exchange(ConnectUpdate, 10), Hex(ConnectAccepted));
        QCOMPARE(link.Exchange("5501000000", 1), Hex("1F"));
        QCOMPARE(link.Exchange("5501000000", 1), Hex("79"));
        QCOMPARE(link.Exchange("550200000002", 1), Hex("79"));
        QCOMPARE(link.Exchange("B1B203", 1), Hex("79"));
        link.Port.Close();

        program.terminate();
        QVERIFY(program.waitForFinished(5000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);

        QFile saved(out);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray memory = saved.readAll();
        QCOMPARE(memory.size(), 65536);
        QCOMPARE(memory.left(3), Hex("B1B2FF"));
        QFile traffic(log);
        QVERIFY(traffic.open(QIODevice::ReadOnly));
        const QByteArray logged = traffic.readAll();
        QVERIFY(logged.contains("<-  19200 55 82 01 02 03 01 03 D5"));
        QVERIFY(logged.contains("fault nack on erase #1"));
        // Behind the adapter the refusal came 40 ms after the erase request.
        const QList<QByteArray> lines = logged.split('\n');
        qsizetype erase = 0;
        while (erase < lines.size() && !lines[erase].contains("<-  19200 55 01")) {
            ++erase;
        }
        qsizetype reply = erase + 1;
        while (reply < lines.size() && !lines[reply].contains(" -> ")) {
            ++reply;
        }
        QVERIFY(reply < lines.size());
        const double heldMs = (lines[reply].trimmed().split(' ').first().toDouble() -
                               lines[erase].trimmed().split(' ').first().toDouble()) *
                              1000;
        QVERIFY2(heldMs >= 39.5, qPrintable(QString::number(heldMs)));
        QVERIFY(!QFileInfo(link.Root.path() + "/dosdevices/com9").isSymLink());
    }
};

QTEST_GUILESS_MAIN(SimulatedDeviceTest)
#include "SimulatedDeviceTest.moc"
