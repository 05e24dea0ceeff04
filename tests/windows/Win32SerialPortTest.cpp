// The Windows program's serial port under Wine, against the simulated device
// published as a COM port of the Wine prefix (tests/windows/with-device,
// which names the port in FWLOADER_TEST_COM).

#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include "Win32SerialPort.h"

namespace {

QByteArray Xor(const QByteArray& bytes) {
    char x = 0;
    for (char c : bytes) {
        x ^= c;
    }
    return QByteArray(1, x);
}

QByteArray Header(std::initializer_list<int> bytes) {
    QByteArray header;
    for (int b : bytes) {
        header.append(static_cast<char>(b));
    }
    return header;
}

QByteArray ReadMemory(int address) {
    return Header({0x55, 0x81, 0x00, address >> 8, address & 0xFF, 0x80, 0x52});
}

}  // namespace

class Win32SerialPortTest : public QObject {
    Q_OBJECT

    qint16 Com = 0;

    // A port on the device, with its events counted and every byte of the
    // data events kept.
    struct Link {
        Win32SerialPort Port;
        int DataEvents = 0;
        int LineErrors = 0;
        QByteArray Got;
        bool Keep = true;

        explicit Link(qint16 com) {
            Port.SetPortNumber(com);
            Port.SetCommHandler([this](SerialPort::CommEvent event) {
                if (event == SerialPort::CommEvent::DataReceived) {
                    ++DataEvents;
                    if (Keep) {
                        Got += Port.ReadAll();
                    }
                } else {
                    ++LineErrors;
                }
            });
        }

        // Sends a request and waits for reply bytes.
        QByteArray Exchange(const QByteArray& request, int replyLength) {
            Got.clear();
            Port.SetReceiveThreshold(replyLength);
            Port.DiscardInput();
            if (!Port.Write(request) ||
                !QTest::qWaitFor([&] { return Got.size() >= replyLength; }, 3000)) {
                return {};
            }
            return Got;
        }
    };

private slots:
    void initTestCase() {
        Com = static_cast<qint16>(qEnvironmentVariableIntValue("FWLOADER_TEST_COM"));
        QVERIFY2(Com > 0, "FWLOADER_TEST_COM names no port: run through tests/windows/with-device");
    }

    // Every byte value travels unchanged both ways (CR, LF, XON, XOFF and NUL
    // among them), a reply split by the line raises the event once it is
    // whole, and at 9600 baud as at 19200.
    void writtenBlockReadsBackByteForByte() {
        Link link(Com);
        QVERIFY2(link.Port.Open(), qPrintable(link.Port.LastError()));
        QVERIFY(link.Port.SetSettings(QStringLiteral("19200,N,8,1")));
        QCOMPARE(link.Exchange(Header({0x55, 0x82, 1, 2, 3, 1, 3, 0xD5}), 10).size(), 10);
        QByteArray block(128, '\0');
        for (int i = 0; i < block.size(); ++i) {
            block[i] = static_cast<char>(i * 2 + (i & 1 ? 0x80 : 0));  // all even and odd halves
        }
        block.replace(0, 5, QByteArray::fromHex("000a0d1113"));
        const int address = 0x1280;
        QCOMPARE(link.Exchange(Header({0x55, 0x01, 0x00, address >> 8, address & 0xFF}), 1),
                 QByteArray("y"));
        QCOMPARE(link.Exchange(Header({0x55, 0x02, 0x00, address >> 8, address & 0xFF, 128}), 1),
                 QByteArray("y"));
        link.Got.clear();
        QVERIFY(link.Port.Write(block + Xor(block)));  // no discard before a data block
        QVERIFY(QTest::qWaitFor([&] { return link.Got.size() >= 1; }, 3000));
        QCOMPARE(link.Got, QByteArray("y"));

        for (const char* rate : {"9600,N,8,1", "19200,N,8,1"}) {
            QVERIFY(link.Port.SetSettings(QString::fromLatin1(rate)));
            link.DataEvents = 0;
            QCOMPARE(link.Exchange(ReadMemory(address), 129), block + Xor(block));
            QTest::qWait(50);
            QCOMPARE(link.DataEvents, 1);
        }
        link.Port.Close();
        QVERIFY(!link.Port.IsOpen());
    }

    // Bytes that reach the port while the thread handles no events (the
    // session's pause) are not in the port's buffer: ReadAll does not see
    // them, DiscardInput throws them away and returns them, and no event
    // and no byte of them follows.
    void discardThrowsAwayWhatCameWhileTheThreadWasBlocked() {
        Link link(Com);
        QVERIFY(link.Port.Open());
        link.Port.SetReceiveThreshold(1);
        QVERIFY(link.Port.Write(ReadMemory(0x0000)));
        QThread::msleep(400);  // blocked: the 129 bytes come meanwhile
        QCOMPARE(link.Port.ReadAll(), QByteArray());
        QCOMPARE(link.Port.DiscardInput().size(), 129);
        QTest::qWait(200);
        QCOMPARE(link.DataEvents, 0);
        QCOMPARE(link.Port.ReadAll(), QByteArray());

        // What the port has taken in already goes the same way, and a
        // threshold that waiting bytes already meet raises from the event
        // loop, not inside the call.
        link.Keep = false;
        QVERIFY(link.Port.Write(Header({0x55, 0x01, 0x00, 0x00, 0x00})));
        QVERIFY(QTest::qWaitFor([&] { return link.DataEvents == 1; }, 3000));
        link.Port.SetReceiveThreshold(0);
        link.Port.SetReceiveThreshold(1);
        QCOMPARE(link.DataEvents, 1);
        QVERIFY(QTest::qWaitFor([&] { return link.DataEvents == 2; }, 1000));
        QCOMPARE(link.Port.DiscardInput(), QByteArray("y"));
        QCOMPARE(link.Port.ReadAll(), QByteArray());
    }

    // (That a port held by another program does not open is the system's
    // doing, which Wine does not do for serial ports.)
    void openFailsForAMissingPortWithTheSystemsReason() {
        Win32SerialPort port;
        port.SetPortNumber(98);
        QVERIFY(!port.Open());
        QVERIFY(!port.IsOpen());
        QVERIFY(!port.LastError().isEmpty());
        QVERIFY(!port.Write("x"));
        port.SetPortNumber(0);
        QVERIFY(!port.Open());

        port.SetPortNumber(Com);
        QVERIFY2(port.Open(), qPrintable(port.LastError()));
        QVERIFY(port.LastError().isEmpty());
        QCOMPARE(port.DeviceName(), QStringLiteral("\\\\.\\COM%1").arg(Com));
    }

    // Run alone, against a device that vanishes at Connect.
    void vanishingDeviceClosesThePortWithOneLineError() {
        if (!qEnvironmentVariableIsSet("FWLOADER_TEST_VANISH")) {
            QSKIP("the device of this run does not vanish");
        }
        Link link(Com);
        QVERIFY(link.Port.Open());
        link.Port.SetReceiveThreshold(10);
        QVERIFY(link.Port.Write(Header({0x55, 0x82, 1, 2, 3, 1, 3, 0xD5})));
        QVERIFY(QTest::qWaitFor([&] { return !link.Port.IsOpen(); }, 5000));
        QTest::qWait(300);
        QCOMPARE(link.LineErrors, 1);
        QCOMPARE(link.DataEvents, 0);
        QVERIFY(!link.Port.LastError().isEmpty());
        QVERIFY(!link.Port.Write("x"));
        QVERIFY(!link.Port.Open());
    }
};

QTEST_GUILESS_MAIN(Win32SerialPortTest)
#include "Win32SerialPortTest.moc"
