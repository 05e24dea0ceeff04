// Whole sessions over a real pseudo-terminal: the session window run
// modally with the program's own serial port, timer and pause, against the
// simulated device on the same event loop. What counts is what ends up in
// device memory and in the image.

#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <memory>

#include "Fakes.h"
#include "FormProcess.h"
#include "QtPlatform.h"
#include "QtSerialPort.h"
#include "RandomBytes.h"
#include "SimulatedDevice.h"

namespace {

constexpr int DeviceCom = 7;
// Far beyond what a session takes even on a busy machine; only a hang gets here.
constexpr int GuardMs = 30000;

QByteArray ImageBytes(const ProcessState& state, int from, int count) {
    return QByteArray(reinterpret_cast<const char*>(state.FirmwareImage.data()) + from, count);
}

char XorOf(const QByteArray& bytes) {
    char x = 0;
    for (const char b : bytes) {
        x ^= b;
    }
    return x;
}

// The program's own pause (the thread blocks), with something done first:
// the device sending bytes that then reach the terminal during the pause.
class PauseWithBytes : public Pause {
public:
    void Sleep(int milliseconds) override {
        if (Before) {
            Before();
        }
        Real.Sleep(milliseconds);
    }
    std::function<void()> Before;

private:
    QtPause Real;
};

// The device published as a COM port below a temporary per-machine store
// root, and the process state of one session that uses it.
struct Wire {
    QTemporaryDir Root;
    SimulatedDevice Device;
    ProcessState State;
    ScriptedMessageBoxes Boxes;
    PauseWithBytes Sleep;
    bool TimedOut = false;

    Wire() {
        State.ModelId = {0x01, 0x02, 0x03};
        State.FirmwareVersion = {2, 7};
        State.AppTitle = QStringLiteral("Loader");
        State.EnglishUi = true;
        State.ComPortNumber = DeviceCom;
        Device.SetModel(0x01, 0x02, 0x03);
    }

    void Start() {
        QVERIFY(Root.isValid());
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(Root.path()));
        QString error;
        QVERIFY2(Device.Start(&error) && Device.PublishAsComPort(DeviceCom, Root.path(), &error),
                 qPrintable(error));
    }

    void AskUpdate(int low, int high, const QByteArray& image) {
        std::copy_n(image.constData(), ImageSize,
                    reinterpret_cast<char*>(State.FirmwareImage.data()));
        State.ImageLowestAddress = low;
        State.ImageHighestAddress = high;
        State.SessionModeUpdate = true;
    }

    void AskRead(const QByteArray& imageBefore) {
        std::copy_n(imageBefore.constData(), ImageSize,
                    reinterpret_cast<char*>(State.FirmwareImage.data()));
        State.ImageLowestAddress = 0;
        State.ImageHighestAddress = 0x7FFF;
        State.SessionModeReadFirmware = true;
    }

    // Shows the session window modally until it closes by itself.
    int Run() {
        FormProcess form(State, std::make_unique<QtSerialPort>(), Boxes, Sleep);
        QTimer::singleShot(GuardMs, &form, [&] {
            TimedOut = true;
            form.reject();
        });
        return form.exec();
    }

    QString Messages() const {
        QStringList texts;
        for (const auto& shown : Boxes.Log) {
            texts << shown.Text;
        }
        return texts.join(u'|');
    }
};

}  // namespace

class SessionOverWireTest : public QObject {
    Q_OBJECT

private slots:
    void fullUpdateWritesExactlyTheImage_data();
    void fullUpdateWritesExactlyTheImage();
    void updateWithinOddBoundsTouchesOnlyItsBlocks();
    void readFillsTheLowerHalfOfTheImageOnly_data();
    void readFillsTheLowerHalfOfTheImageOnly();
    void bytesArrivingDuringThePauseAreThrownAway();
    void lateAnswerCrossingAResendNeverGivesAFalseSuccess_data();
    void lateAnswerCrossingAResendNeverGivesAFalseSuccess();
};

// Replies in pieces change nothing: the session waits for the whole reply.
void SessionOverWireTest::fullUpdateWritesExactlyTheImage_data() {
    QTest::addColumn<QList<int>>("pieces");
    QTest::newRow("whole replies") << QList<int>{};
    QTest::newRow("Connect reply in pieces") << QList<int>{1, 2, 3};
}

void SessionOverWireTest::fullUpdateWritesExactlyTheImage() {
    QFETCH(QList<int>, pieces);
    Wire w;
    w.Start();
    w.Device.SetReplyPieces(pieces, 2);
    w.Device.SetMemory(RandomBytes(ImageSize, 11));  // nothing of it may survive
    const QByteArray image = RandomBytes(ImageSize, 12);
    w.AskUpdate(0, 0xFFFF, image);

    QCOMPARE(w.Run(), int(QDialog::Accepted));

    QVERIFY(!w.TimedOut);
    QCOMPARE(w.Messages(), QString());
    QVERIFY(w.State.SessionSucceeded);
    QVERIFY(w.Device.Memory() == image);
    // Every block was erased before it was written. (Exact exchange counts
    // are not asserted: a stall of a second on a busy machine lets the
    // watchdog resend a header, which is harmless.)
    QCOMPARE(w.Device.Counters().UnerasedWrites, 0);
    QCOMPARE(w.Device.LastApplicationAddress(), 0);
    QCOMPARE(w.Device.LastConnect(), QByteArray::fromHex("55820102030207d2"));
}

void SessionOverWireTest::updateWithinOddBoundsTouchesOnlyItsBlocks() {
    constexpr int low = 0x1270;
    constexpr int high = 0x92A0;
    Wire w;
    w.Start();
    const QByteArray before = RandomBytes(ImageSize, 21);
    w.Device.SetMemory(before);
    const QByteArray image = RandomBytes(ImageSize, 22);
    w.AskUpdate(low, high, image);

    QCOMPARE(w.Run(), int(QDialog::Accepted));

    QVERIFY(!w.TimedOut);
    QCOMPARE(w.Messages(), QString());
    const QByteArray& after = w.Device.Memory();
    const int firstBlock = low & ~0x7F;            // 0x1200
    const int endOfLastBlock = (high | 0x7F) + 1;  // 0x9300
    QVERIFY(after.mid(low, high - low + 1) == image.mid(low, high - low + 1));
    // The erased blocks keep the erased value where the image does not reach.
    QCOMPARE(after.mid(firstBlock, low - firstBlock), QByteArray(low - firstBlock, char(0xFF)));
    QCOMPARE(after.mid(high + 1, endOfLastBlock - high - 1),
             QByteArray(endOfLastBlock - high - 1, char(0xFF)));
    // Everything outside the erased blocks is as it was.
    QVERIFY(after.left(firstBlock) == before.left(firstBlock));
    QVERIFY(after.mid(endOfLastBlock) == before.mid(endOfLastBlock));
    QCOMPARE(w.Device.LastApplicationAddress(), low);
}

void SessionOverWireTest::readFillsTheLowerHalfOfTheImageOnly_data() {
    QTest::addColumn<QList<int>>("pieces");
    QTest::newRow("whole replies") << QList<int>{};
    QTest::newRow("every reply in pieces") << QList<int>{1, 60, 8};
}

void SessionOverWireTest::readFillsTheLowerHalfOfTheImageOnly() {
    QFETCH(QList<int>, pieces);
    Wire w;
    w.Start();
    w.Device.SetReplyPieces(pieces, 1);
    QByteArray memory = RandomBytes(ImageSize, 31);
    memory[0x0080] = char(0x79);  // a block that starts like an acknowledgement is data
    w.Device.SetMemory(memory);
    const QByteArray imageBefore = RandomBytes(ImageSize, 32);
    w.AskRead(imageBefore);

    QCOMPARE(w.Run(), int(QDialog::Accepted));

    QVERIFY(!w.TimedOut);
    QCOMPARE(w.Messages(), QString());
    QVERIFY(w.State.SessionSucceeded);
    QVERIFY(ImageBytes(w.State, 0, 0x8000) == memory.left(0x8000));
    QVERIFY(ImageBytes(w.State, 0x8000, 0x8000) == imageBefore.mid(0x8000));
    QVERIFY(w.Device.Memory() == memory);  // reading changes nothing on the device
    QCOMPARE(w.Device.LastApplicationAddress(), 0x9000);
}

// The device sends a byte while the program is blocked in its pause after
// the Connect reply: the first read block's own check byte. Taken for the
// first byte of that block, the block shifted by one byte would pass its
// check and be stored one byte off.
void SessionOverWireTest::bytesArrivingDuringThePauseAreThrownAway() {
    Wire w;
    w.Start();
    const QByteArray memory = RandomBytes(ImageSize, 41);
    w.Device.SetMemory(memory);
    w.AskRead(RandomBytes(ImageSize, 42));
    const QByteArray stray(1, XorOf(memory.left(128)));
    w.Sleep.Before = [&] { w.Device.SendStray(stray); };

    QCOMPARE(w.Run(), int(QDialog::Accepted));

    QVERIFY(!w.TimedOut);
    QCOMPARE(w.Messages(), QString());
    QCOMPARE(w.Device.Counters().StrayBytes, 1);
    QVERIFY(ImageBytes(w.State, 0, 0x8000) == memory.left(0x8000));
}

// The device answers one request 1.5 s late; the watchdog has resent it
// after 1 s, and the device, as slow for that copy, answers it too. Then it
// refuses a data block (spoils a read block). The session must end either in
// success with the right data or in a failure message; a single late answer
// on an otherwise healthy line must not make it fail.
void SessionOverWireTest::lateAnswerCrossingAResendNeverGivesAFalseSuccess_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("kind");   // ExchangeKind of the late answer
    QTest::addColumn<int>("plain");  // how many of that kind without the late answer
    QTest::newRow("Update, late erase answer")
        << true << QStringList{"erase#1:late=1500", "data#1:nack"} << int(ExchangeKind::EraseMemory)
        << 4;
    QTest::newRow("Read, late block") << false << QStringList{"read#3:late=1500", "read#5:badxor"}
                                      << int(ExchangeKind::ReadMemory) << 256 + 1;
}

void SessionOverWireTest::lateAnswerCrossingAResendNeverGivesAFalseSuccess() {
    QFETCH(bool, update);
    QFETCH(QStringList, faults);
    QFETCH(int, kind);
    QFETCH(int, plain);
    Wire w;
    w.Start();
    const QByteArray memory = RandomBytes(ImageSize, 51);
    w.Device.SetMemory(memory);
    const QByteArray image = RandomBytes(ImageSize, 52);
    for (const QString& fault : faults) {
        QVERIFY(w.Device.AddFault(fault));
    }
    if (update) {
        w.AskUpdate(0x8000, 0x81FF, image);
    } else {
        w.AskRead(image);
    }

    const int result = w.Run();

    QVERIFY(!w.TimedOut);
    const bool right = update ? w.Device.Memory().mid(0x8000, 0x200) == image.mid(0x8000, 0x200)
                              : ImageBytes(w.State, 0, 0x8000) == memory.left(0x8000);
    QVERIFY2(!w.State.SessionSucceeded || right, "success over wrong data");
    QVERIFY2(w.State.SessionSucceeded || !w.Messages().isEmpty(), "failure without a message");
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(w.Messages(), QString());
    // The late answer did cross a resent copy.
    QVERIFY(w.Device.Counters().Of(ExchangeKind(kind)) > plain);
}

QTEST_MAIN(SessionOverWireTest)
#include "tst_SessionOverWire.moc"
