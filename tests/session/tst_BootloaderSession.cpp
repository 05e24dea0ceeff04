// The bootloader session against a scripted device, in virtual time.

#include <QtTest>
#include <algorithm>

#include "SessionRig.h"

namespace {

QByteArray Hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text));
}

QList<int> Bauds(const QList<Exchange>& exchanges) {
    QList<int> bauds;
    for (const Exchange& e : exchanges) {
        bauds << e.BaudRate;
    }
    return bauds;
}

QList<qint64> Times(const QList<Exchange>& exchanges) {
    QList<qint64> times;
    for (const Exchange& e : exchanges) {
        times << e.Time;
    }
    return times;
}

// "block@0080:silent*6" plans six silent data blocks at 0x0080.
void PlanFaults(ScriptedDevice& device, const QStringList& plan) {
    static const QMap<QString, Kind> kinds{{"connect", Kind::Connect}, {"erase", Kind::Erase},
                                           {"write", Kind::Write},     {"block", Kind::Block},
                                           {"read", Kind::Read},       {"go", Kind::Go}};
    static const QMap<QString, Fault> faults{
        {"silent", Fault::Silent},    {"refuse", Fault::Refuse}, {"garbage", Fault::Garbage},
        {"badxor", Fault::BadXor},    {"short", Fault::Short},   {"late", Fault::Late},
        {"twice", Fault::Twice},      {"cut", Fault::Cut},       {"stray", Fault::Stray},
        {"slow", Fault::Slow},        {"babble", Fault::Babble}, {"lost", Fault::Lost},
        {"miswrite", Fault::Miswrite}};
    for (const QString& item : plan) {
        const QStringList kindRest = item.split(u'@');
        const QStringList addressRest = kindRest[1].split(u':');
        const QStringList faultTimes = addressRest[1].split(u'*');
        QVERIFY2(kinds.contains(kindRest[0]) && faults.contains(faultTimes[0]), qPrintable(item));
        device.Plan(kinds[kindRest[0]], addressRest[0].toInt(nullptr, 16), faults[faultTimes[0]],
                    faultTimes.size() > 1 ? faultTimes[1].toInt() : 1);
    }
}

std::uint8_t XorOfBytes(const std::uint8_t* bytes, int count) {
    std::uint8_t x = 0;
    for (int i = 0; i < count; ++i) {
        x ^= bytes[i];
    }
    return x;
}

bool ImageHoldsDeviceLowerHalf(const Rig& rig) {
    return std::equal(rig.State.FirmwareImage.begin(), rig.State.FirmwareImage.begin() + 0x8000,
                      rig.Device.Memory.begin());
}

void VerifyClosedCleanly(Rig& rig) {
    QVERIFY(!rig.Session.IsLoaded());
    QVERIFY(!rig.Port.IsOpen());
    QVERIFY(!rig.PortOpenWhenClosed);
    QVERIFY(!rig.Timer.IsActive() && !rig.SettleTimer.IsActive());
    QVERIFY(!rig.State.SessionModeUpdate);
    QVERIFY(!rig.State.SessionModeReadFirmware);
}

}  // namespace

class BootloaderSessionTest : public QObject {
    Q_OBJECT

private slots:
    void packetsMatchTheWorkedExamples_data();
    void packetsMatchTheWorkedExamples();
    void silentDeviceAlternatesRatesThenAsksTheOperator();
    void deviceIsReachedAtTheRateItAnswers_data();
    void deviceIsReachedAtTheRateItAnswers();
    void refusedConnect_data();
    void refusedConnect();
    void modelCheck_data();
    void modelCheck();
    void blocksAreErasedAndWrittenInOrder_data();
    void blocksAreErasedAndWrittenInOrder();
    void readFirmwareFillsTheLowerHalf();
    void retriesAreCountedOverTheWholeSession_data();
    void retriesAreCountedOverTheWholeSession();
    void resendTiming_data();
    void resendTiming();
    void splitAndMergedReplies_data();
    void splitAndMergedReplies();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void progressTexts();
    void tickDuringTheQuestionDoesNothing();
    void sessionEndedDuringTheQuestionStaysEnded();
    void replyDuringTheQuestionIsNotAskedForTwice();
    void closingTheWindowStopsEverything_data();
    void closingTheWindowStopsEverything();
    void retryCountStopsAtItsTop();
    void nothingHappensWithoutAModeOrOnLineErrors();
    void watchdogQuestionText_data();
    void watchdogQuestionText();
    void successClosesThePortAndTheWindowOneMsLater();
    void loadingClearsAnEarlierSuccess();
    void strayBytesDuringThePauseAreThrownAway_data();
    void strayBytesDuringThePauseAreThrownAway();
    void lateAnswerCrossingAResendIsNotTakenForTheNextRequest_data();
    void lateAnswerCrossingAResendIsNotTakenForTheNextRequest();
    void secondConnectAnswerBehindModelErrorChangesNothing();
    void lateAcknowledgementBehindTransferFailureChangesNothing();
    void onlyTrustedRepliesMoveTheSessionOn_data();
    void onlyTrustedRepliesMoveTheSessionOn();
    void servedAtAnyPace_data();
    void servedAtAnyPace();
    void timeAtTheQuestionIsNoQuiet();
    void fillerFailsWhateverTheDeviceTook_data();
    void fillerFailsWhateverTheDeviceTook();
    void watchIntervalLearnsTheDevice_data();
    void watchIntervalLearnsTheDevice();
    void readBackBeforeGoApplication_data();
    void readBackBeforeGoApplication();
};

void BootloaderSessionTest::packetsMatchTheWorkedExamples_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::addColumn<QByteArray>("image");  // placed at low, when given
    QTest::addColumn<int>("index");         // of the write; -1 the last
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("Connect, Update 1.03")
        << true << 0x12A0 << 0x12FF << QByteArray() << 0 << Hex("55820102030103D5");
    QTest::newRow("Connect, ReadFirmware")
        << false << 0 << 0x7FFF << QByteArray() << 0 << Hex("5582010203FFFFD7");
    QTest::newRow("EraseMemory 0x1280")
        << true << 0x12A0 << 0x12FF << QByteArray() << 1 << Hex("5501001280");
    QTest::newRow("WriteMemory 96 at 0x12A0")
        << true << 0x12A0 << 0x12FF << QByteArray() << 2 << Hex("55020012A060");
    QTest::newRow("GoApplication at Low")
        << true << 0x12A0 << 0x12FF << QByteArray() << -1 << Hex("55030012A0");
    QTest::newRow("data block 12 34 56")
        << true << 0x8000 << 0x8002 << Hex("123456") << 3 << Hex("12345670");
    QTest::newRow("data block of one byte")
        << true << 0x8000 << 0x8000 << Hex("A5") << 3 << Hex("A5A5");
    QTest::newRow("second ReadMemory")
        << false << 0 << 0x7FFF << QByteArray() << 2 << Hex("55810000808052");
    QTest::newRow("GoApplication, ReadFirmware")
        << false << 0 << 0x7FFF << QByteArray() << -1 << Hex("5503009000");
}

void BootloaderSessionTest::packetsMatchTheWorkedExamples() {
    QFETCH(bool, update);
    QFETCH(int, low);
    QFETCH(int, high);
    QFETCH(QByteArray, image);
    QFETCH(int, index);
    QFETCH(QByteArray, expected);

    Rig rig;
    if (update) {
        rig.Update(low, high);
    } else {
        rig.ReadFirmware();
    }
    for (int i = 0; i < image.size(); ++i) {
        rig.State.FirmwareImage[low + i] = static_cast<std::uint8_t>(image[i]);
    }
    QVERIFY(rig.Run());
    QVERIFY(rig.State.SessionSucceeded);
    const auto& writes = rig.Port.Writes;
    QCOMPARE(writes.value(index < 0 ? writes.size() - 1 : index).Bytes.toHex(), expected.toHex());
    QCOMPARE(rig.View.Captions,
             QStringList{update ? QStringLiteral("Update") : QStringLiteral("读取固件")});
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::silentDeviceAlternatesRatesThenAsksTheOperator() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.Dead = true;
    rig.Boxes.Answers = {MessageAnswer::Retry, MessageAnswer::Cancel};
    QVERIFY(rig.Run());

    const QList<Exchange> connects = rig.Device.OfKind(Kind::Connect);
    QCOMPARE(connects.size(), 12);
    for (const Exchange& e : connects) {
        QCOMPARE(e.Bytes, connects[0].Bytes);  // built once, resent byte for byte
    }
    QCOMPARE(Times(connects), (QList<qint64>{0, 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000,
                                             9000, 10000, 11000}));
    QCOMPARE(Bauds(connects).mid(0, 7), (QList<int>{19200, 9600, 19200, 9600, 19200, 9600, 19200}));

    QCOMPARE(rig.Boxes.Log.size(), 2);
    for (const auto& box : rig.Boxes.Log) {
        QCOMPARE(box.Text, QStringLiteral("Check connection!Retry or cancel?"));
        QCOMPARE(box.Icon, MessageIcon::Critical);
        QCOMPARE(box.Buttons, MessageButtons::RetryCancel);
        QCOMPARE(box.Title, QStringLiteral("Loader"));
    }
    QCOMPARE(rig.Boxes.Log[0].Time, 6000);
    QCOMPARE(rig.Boxes.Log[1].Time, 12000);
    QCOMPARE(rig.View.CloseTimes, QList<qint64>{12001});
    QVERIFY(!rig.State.SessionSucceeded);
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::deviceIsReachedAtTheRateItAnswers_data() {
    QTest::addColumn<int>("answerBaud");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<int>("answeredConnect");
    QTest::addColumn<int>("sessionBaud");
    QTest::addColumn<QList<int>>("pauses");

    // Without the marker the model bytes are not compared: the device
    // reports another model and the session goes on all the same.
    QTest::newRow("19200, no marker") << 19200 << false << 0 << 19200 << QList<int>{};
    QTest::newRow("9600 only, no marker") << 9600 << false << 1 << 9600 << QList<int>{};
    QTest::newRow("9600 only, marker") << 9600 << true << 1 << 19200 << QList<int>{100};
}

void BootloaderSessionTest::deviceIsReachedAtTheRateItAnswers() {
    QFETCH(int, answerBaud);
    QFETCH(bool, marker);
    QFETCH(int, answeredConnect);
    QFETCH(int, sessionBaud);
    QFETCH(QList<int>, pauses);

    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.Marker = marker;
    rig.Device.AnswerBauds = {answerBaud};
    if (!marker) {
        rig.Device.Model = {0x09, 0x09, 0x09};
    }
    QVERIFY(rig.Run());
    QVERIFY(rig.State.SessionSucceeded);
    QVERIFY(rig.DeviceHoldsImage());

    const QList<Exchange> connects = rig.Device.OfKind(Kind::Connect);
    QCOMPARE(connects.size(), answeredConnect + 1);
    QCOMPARE(connects.last().Time, answeredConnect * 1000);
    QCOMPARE(rig.Sleep.Pauses, pauses);
    // A Connect that went out twice (the watchdog's resend at the other
    // rate) may be answered twice: EraseMemory waits until the line has been
    // quiet (the pause counts) for the quiet time, here the watchdog's
    // interval backed off once (an answer came after its resend).
    const qint64 quiet = answeredConnect > 0
                             ? 2 * BootloaderLink::WatchFloorMs + BootloaderLink::QuietMarginMs
                             : (pauses.isEmpty() ? 0 : 100);
    const Exchange erase = rig.Device.OfKind(Kind::Erase).first();
    QCOMPARE(erase.Time, connects.last().Time + quiet);
    for (const Exchange& e : rig.Device.Log.mid(connects.size())) {
        QCOMPARE(e.BaudRate, sessionBaud);
    }
}

void BootloaderSessionTest::refusedConnect_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<bool>("marker");
    QTest::addColumn<bool>("ends");

    QTest::newRow("Update with marker: the device refuses") << true << true << true;
    QTest::newRow("Update without marker: resent") << true << false << false;
    QTest::newRow("ReadFirmware with marker: resent") << false << true << false;
}

void BootloaderSessionTest::refusedConnect() {
    QFETCH(bool, update);
    QFETCH(bool, marker);
    QFETCH(bool, ends);

    Rig rig;
    if (update) {
        rig.Update(0x8000, 0x807F);
    } else {
        rig.ReadFirmware();
    }
    rig.Device.Marker = marker;
    rig.Device.Plan(Kind::Connect, 0, Fault::Refuse, 12);  // more than any limit
    QVERIFY(rig.Run());
    QVERIFY(rig.Boxes.Log.isEmpty());
    const QList<Exchange> connects = rig.Device.OfKind(Kind::Connect);
    if (ends) {
        QCOMPARE(rig.Port.Writes.size(), 1);
        QCOMPARE(rig.View.CloseTimes, QList<qint64>{10});
        QVERIFY(!rig.State.SessionSucceeded);
    } else {
        // Resent at once, at the other rate each time, without a limit.
        QCOMPARE(connects.size(), 13);
        QCOMPARE(connects.last().Time, 0);
        QCOMPARE(Bauds(connects).mid(0, 4), (QList<int>{19200, 9600, 19200, 9600}));
        QVERIFY(rig.State.SessionSucceeded);
        QCOMPARE(rig.Session.RetryCount, 12);
    }
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::modelCheck_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<QByteArray>("deviceModel");
    QTest::addColumn<bool>("mismatch");

    QTest::newRow("Update, same model") << true << Hex("010203") << false;
    QTest::newRow("Update, byte 0 differs") << true << Hex("FF0203") << true;
    QTest::newRow("Update, byte 1 differs") << true << Hex("01FF03") << true;
    QTest::newRow("Update, byte 2 differs") << true << Hex("0102FF") << true;
    QTest::newRow("ReadFirmware never compares") << false << Hex("FFFFFF") << false;
}

void BootloaderSessionTest::modelCheck() {
    QFETCH(bool, update);
    QFETCH(QByteArray, deviceModel);
    QFETCH(bool, mismatch);

    Rig rig;
    if (update) {
        rig.Update(0x8000, 0x80FF);
    } else {
        rig.ReadFirmware();
    }
    for (int i = 0; i < 3; ++i) {
        rig.Device.Model[i] = static_cast<std::uint8_t>(deviceModel[i]);
    }
    QVERIFY(rig.Run());
    QCOMPARE(rig.State.SessionSucceeded, !mismatch);
    if (mismatch) {
        QCOMPARE(rig.Boxes.Log.size(), 1);
        QCOMPARE(rig.Boxes.Log[0].Text, QStringLiteral("Model Error！"));
        QCOMPARE(rig.Boxes.Log[0].Icon, MessageIcon::Critical);
        QCOMPARE(rig.Boxes.Log[0].Buttons, MessageButtons::Ok);
        QCOMPARE(rig.Boxes.Log[0].Title, QStringLiteral("Loader"));
        QCOMPARE(rig.Port.Writes.size(), 1);  // nothing erased or written
        QVERIFY(rig.Sleep.Pauses.isEmpty());
        QCOMPARE(rig.View.CloseTimes, QList<qint64>{10});
    } else {
        QVERIFY(rig.Boxes.Log.isEmpty());
    }
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::blocksAreErasedAndWrittenInOrder_data() {
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::addColumn<QString>("sequence");

    QTest::newRow("one aligned block") << 0x1200 << 0x127F << "E1200 W1200+128 B G1200";
    QTest::newRow("0x1270 to 0x12A0")
        << 0x1270 << 0x12A0 << "E1200 W1270+16 B E1280 W1280+33 B G1270";
    QTest::newRow("High on a block start")
        << 0x1200 << 0x1280 << "E1200 W1200+128 B E1280 W1280+1 B G1200";
    QTest::newRow("up to 0xFFFF") << 0xFF00 << 0xFFFF
                                  << "EFF00 WFF00+128 B EFF80 WFF80+128 B GFF00";
    QTest::newRow("one byte") << 0x8000 << 0x8000 << "E8000 W8000+1 B G8000";
}

void BootloaderSessionTest::blocksAreErasedAndWrittenInOrder() {
    QFETCH(int, low);
    QFETCH(int, high);
    QFETCH(QString, sequence);

    Rig rig;
    rig.Update(low, high);
    QVERIFY(rig.Run());
    QCOMPARE(rig.Device.Sequence(), sequence);
    QVERIFY(rig.State.SessionSucceeded);
    QVERIFY(rig.DeviceHoldsImage());
    QCOMPARE(rig.Device.StartedAt, std::optional<int>(low));
    QCOMPARE(rig.View.Texts.last(), QStringLiteral("Complete:100%"));
    QCOMPARE(rig.View.Progress.last(), 1.0f);
    for (const float f : rig.View.Progress) {
        QVERIFY(f >= 0.0f && f <= 1.0f);
    }
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::readFirmwareFillsTheLowerHalf() {
    Rig rig;
    rig.ReadFirmware();
    rig.Device.Memory[0x0100] = StatusAck;  // data, not an acknowledgement
    rig.Device.Memory[0x0180] = StatusRefused;
    QVERIFY(rig.Run());
    QVERIFY(rig.State.SessionSucceeded);

    const QList<Exchange> reads = rig.Device.OfKind(Kind::Read);
    QCOMPARE(reads.size(), 256);
    for (int i = 0; i < reads.size(); ++i) {
        QCOMPARE(reads[i].Bytes.toHex(),
                 QByteArray("558100") + QByteArray::number(i * 0x80, 16).rightJustified(4, '0') +
                     "8052");
    }
    const auto& image = rig.State.FirmwareImage;
    QVERIFY(std::equal(image.begin(), image.begin() + 0x8000, rig.Device.Memory.begin()));
    QVERIFY(std::all_of(image.begin() + 0x8000, image.end(), [](auto b) { return b == 0xEE; }));
    QCOMPARE(rig.Device.StartedAt, std::optional<int>(0x9000));
    QVERIFY(rig.Device.OfKind(Kind::Erase).isEmpty());
    QCOMPARE(rig.View.Texts.last(), QStringLiteral("Complete:100%"));
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::retriesAreCountedOverTheWholeSession_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<int>("low");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("failure");  // empty: the session succeeds
    QTest::addColumn<int>("questions");

    const int low = 0x0010;
    QTest::newRow("ten failures spread out are all resent")
        << true << low
        << QStringList{"erase@0000:refuse",   "block@0010:refuse",  "erase@0400:garbage",
                       "block@0800:refuse",   "block@1000:garbage", "erase@1800:refuse",
                       "block@2000:refuse*2", "block@3F80:refuse",  "erase@3F80:refuse"}
        << "" << 0;
    QTest::newRow("the eleventh ends it, at the failed block")
        << true << low
        << QStringList{"erase@0000:refuse",   "block@0010:refuse",  "erase@0400:garbage",
                       "block@0800:refuse",   "block@1000:garbage", "erase@1800:refuse",
                       "block@2000:refuse*2", "block@3F80:refuse",  "erase@3F80:refuse",
                       "block@3F80:refuse"}
        << QStringLiteral("读写失败,地址 = 3F80") << 0;
    QTest::newRow("failed erase shows where writing was to go on")
        << true << low << QStringList{"erase@0000:refuse*11"}
        << QStringLiteral("读写失败,地址 = 010") << 0;
    QTest::newRow("refusals and silences use up the same ten")
        << true << low
        << QStringList{"erase@0000:silent*2", "write@0010:refuse*4", "block@0100:refuse*5"}
        << QStringLiteral("读写失败,地址 = 10") << 0;  // page 1, low byte 0
    QTest::newRow("the operator's Retry starts a new count")
        << true << low << QStringList{"erase@0080:silent*6", "block@0100:refuse*10"} << "" << 1;
    QTest::newRow("lost data blocks are resent")
        << true << low << QStringList{"block@0080:silent*2", "block@0400:silent"} << "" << 0;
    // Each silence is followed by filler bytes that complete the block the
    // device waits for; the device takes them as the block, and loses them
    // too: eleven lost blocks are six silences of the watchdog.
    QTest::newRow("repeatedly lost data block brings the question")
        << true << low << QStringList{"block@0080:silent*11"} << "" << 1;
    QTest::newRow("bad read check bytes are asked again")
        << false << 0 << QStringList{"read@0080:badxor*2", "read@7F80:badxor*8"} << "" << 0;
    QTest::newRow("eleventh bad read block ends it")
        << false << 0 << QStringList{"read@0080:badxor*11"} << QStringLiteral("读写失败,地址 = 080")
        << 0;
}

void BootloaderSessionTest::retriesAreCountedOverTheWholeSession() {
    QFETCH(bool, update);
    QFETCH(int, low);
    QFETCH(QStringList, faults);
    QFETCH(QString, failure);
    QFETCH(int, questions);

    Rig rig;
    if (update) {
        rig.Update(low, 0x3FFF);
    } else {
        rig.ReadFirmware();
    }
    rig.Boxes.Answers = {MessageAnswer::Retry};
    PlanFaults(rig.Device, faults);
    QVERIFY(rig.Run());

    QList<QString> texts;
    int asked = 0;
    for (const auto& box : rig.Boxes.Log) {
        if (box.Buttons == MessageButtons::RetryCancel) {
            ++asked;
        } else {
            texts << box.Text;
            QCOMPARE(box.Icon, MessageIcon::Critical);
            QCOMPARE(box.Title, QStringLiteral("Loader"));
        }
    }
    QCOMPARE(asked, questions);
    if (failure.isEmpty()) {
        QVERIFY(texts.isEmpty());
        QVERIFY(rig.State.SessionSucceeded);
        if (update) {
            QVERIFY(rig.DeviceHoldsImage());
        } else {
            QVERIFY(std::equal(rig.State.FirmwareImage.begin(),
                               rig.State.FirmwareImage.begin() + 0x8000,
                               rig.Device.Memory.begin()));
        }
    } else {
        QCOMPARE(texts, QList<QString>{failure});
        QVERIFY(!rig.State.SessionSucceeded);
        QVERIFY(!rig.Device.StartedAt.has_value());
        QCOMPARE(rig.View.CloseTimes.last() - rig.Boxes.Log.last().Time, 10);
    }
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::resendTiming_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("kind");  // of the packet that goes out again
    QTest::addColumn<int>("resendAfter");
    // Filler goes out only where the device may wait for a data block.
    QTest::addColumn<int>("fillers");

    QTest::newRow("unrecognised Connect reply")
        << true << "connect@0000:garbage" << int(Kind::Connect) << 3000 << 0;
    // The device may wait for the block: the filler bytes go out first, and
    // the header once the line is quiet.
    const int quiet = BootloaderLink::WatchFloorMs + BootloaderLink::QuietMarginMs;
    QTest::newRow("unrecognised WriteMemory reply")
        << true << "write@8080:garbage" << int(Kind::Write) << 3000 + quiet << 1;
    QTest::newRow("unrecognised GoApplication reply")
        << true << "go@8000:garbage" << int(Kind::Go) << 3000 << 0;
    // The device's refusal of the filler comes after the watchdog gave up:
    // the interval backs off, and the quiet with it.
    QTest::newRow("lost data block: announced again")
        << true << "block@8080:silent" << int(Kind::Write) << 1000 + quiet + 1000 << 1;
    // Replies found shorter than awaited are never read past their end; the
    // rest of an answer may still come, so a block goes out again once the
    // line has been quiet.
    QTest::newRow("short Connect reply")
        << true << "connect@0000:short" << int(Kind::Connect) << 3000 << 0;
    QTest::newRow("short erase reply")
        << true << "erase@8080:short" << int(Kind::Erase) << quiet << 0;
    QTest::newRow("short data block reply")
        << true << "block@8080:short" << int(Kind::Write) << quiet << 1;
    QTest::newRow("short read block")
        << false << "read@0080:short" << int(Kind::Read) << quiet << 0;
    // A refused WriteMemory leaves the device waiting for nothing.
    QTest::newRow("refused WriteMemory")
        << true << "write@8080:refuse" << int(Kind::Write) << 0 << 0;
}

void BootloaderSessionTest::resendTiming() {
    QFETCH(bool, update);
    QFETCH(QString, fault);
    QFETCH(int, kind);
    QFETCH(int, resendAfter);
    QFETCH(int, fillers);

    Rig rig;
    if (update) {
        rig.Update(0x8000, 0x80FF);
    } else {
        rig.ReadFirmware();
    }
    PlanFaults(rig.Device, {fault});
    QVERIFY(rig.Run());
    QVERIFY(rig.State.SessionSucceeded);
    QCOMPARE(int(rig.Session.RetryCount), 1);
    // The same packet went out twice in a row, resendAfter after the fault
    // (the first repeat: a header announced again after the line settled
    // may follow).
    qint64 faultAt = -1;
    for (const Exchange& e : rig.Device.Log) {
        faultAt = e.Applied != Fault::None && faultAt < 0 ? e.Time : faultAt;
    }
    const QList<Exchange> sent = rig.Device.OfKind(Kind(kind));
    int again = -1;
    for (int i = 1; i < sent.size(); ++i) {
        again = again < 0 && sent[i].Bytes == sent[i - 1].Bytes ? i : again;
    }
    QVERIFY(again > 0);
    QCOMPARE(sent[again].Time - faultAt, qint64(resendAfter));
    // A filler: a first byte other than 0 and 0x55, zeros behind it.
    const auto isFiller = [](const QByteArray& bytes) {
        return bytes.size() > 1 && bytes[0] != 0 && bytes[0] != char(0x55) &&
               bytes.count(char(0)) == bytes.size() - 1;
    };
    QCOMPARE(std::count_if(rig.Port.Writes.begin(), rig.Port.Writes.end(),
                           [&](const auto& write) { return isFiller(write.Bytes); }),
             fillers);
}

void BootloaderSessionTest::splitAndMergedReplies_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<QList<int>>("pieces");
    QTest::addColumn<QByteArray>("trailing");
    QTest::newRow("Update, split") << true << QList<int>{1, 3, 2} << QByteArray();
    QTest::newRow("ReadFirmware, split") << false << QList<int>{1, 64, 2} << QByteArray();
    QTest::newRow("Update, junk after each reply") << true << QList<int>{} << Hex("EEEE");
}

void BootloaderSessionTest::splitAndMergedReplies() {
    QFETCH(bool, update);
    QFETCH(QList<int>, pieces);
    QFETCH(QByteArray, trailing);

    Rig rig;
    if (update) {
        rig.Update(0x8000, 0x81FF);
    } else {
        rig.ReadFirmware();
    }
    rig.Device.Pieces = pieces;
    rig.Device.Trailing = trailing;
    rig.Device.ReplyDelayMs = 2;
    QVERIFY(rig.Run());
    QVERIFY(rig.State.SessionSucceeded);
    QCOMPARE(rig.Session.RetryCount, 0);
    if (update) {
        QVERIFY(rig.DeviceHoldsImage());
    } else {
        QVERIFY(std::equal(rig.State.FirmwareImage.begin(),
                           rig.State.FirmwareImage.begin() + 0x8000, rig.Device.Memory.begin()));
    }
}

void BootloaderSessionTest::portThatCannotBeOpened_data() {
    QTest::addColumn<bool>("english");
    QTest::addColumn<QString>("text");
    QTest::newRow("English") << true << QStringLiteral("Please reselect COM port!");
    QTest::newRow("Chinese") << false << QStringLiteral("请重新选择端口！");
}

void BootloaderSessionTest::portThatCannotBeOpened() {
    QFETCH(bool, english);
    QFETCH(QString, text);

    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.State.EnglishUi = english;
    rig.Port.PortsThatFailToOpen = {3};
    QVERIFY(rig.Run());
    QCOMPARE(rig.Port.PortNumber, 3);
    QVERIFY(rig.Port.Writes.isEmpty());
    QCOMPARE(rig.Boxes.Log.size(), 1);
    QCOMPARE(rig.Boxes.Log[0].Text, text);
    QCOMPARE(rig.Boxes.Log[0].Icon, MessageIcon::Critical);
    QCOMPARE(rig.Boxes.Log[0].Buttons, MessageButtons::Ok);
    QCOMPARE(rig.Boxes.Log[0].Title, QStringLiteral("Loader"));
    QCOMPARE(rig.View.CloseTimes, QList<qint64>{1});
    QVERIFY(rig.View.Captions.isEmpty());
    QVERIFY(!rig.State.SessionSucceeded);
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::progressTexts() {
    Rig rig;
    rig.Update(0x0000, 0x00FF);
    QVERIFY(rig.Run());
    // After each acknowledged erase and data block: nothing written yet,
    // 128 of 255, the same after the second erase, then all.
    QCOMPARE(rig.View.Texts,
             (QStringList{"Complete:%", "Complete:50%", "Complete:50%", "Complete:100%"}));
    QCOMPARE(rig.View.Progress.first(), 0.0f);
    QCOMPARE(rig.View.Progress.last(), 1.0f);

    // "###%" rounds: 128 of 383 is 33.4 %, 256 of 383 is 66.8 %.
    Rig three;
    three.Update(0x0000, 0x017F);
    QVERIFY(three.Run());
    QCOMPARE(three.View.Texts, (QStringList{"Complete:%", "Complete:33%", "Complete:33%",
                                            "Complete:67%", "Complete:67%", "Complete:100%"}));
}

void BootloaderSessionTest::tickDuringTheQuestionDoesNothing() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    // The device stays silent until its answer to the sixth Connect comes
    // late, while the question is open; nothing answers after that.
    rig.Device.Plan(Kind::Connect, 0, Fault::Silent, 5);
    rig.Device.Marker = false;
    rig.Device.ReplyDelayMs = 1500;
    rig.Boxes.HoldOpenMs = 20000;
    rig.Boxes.Answers = {MessageAnswer::Retry};
    rig.Session.Form_Load();
    rig.Clock.Advance(5999);
    rig.Device.Dead = true;
    rig.Clock.Advance(1);  // the question: open from 6000 to 26000
    QCOMPARE(rig.Boxes.Log.size(), 1);
    // The Connect reply came at 6500, after the watchdog's resend: the
    // interval backs off to 2 s, the line has to be quiet that long plus the
    // margin, and EraseMemory went out at 8750 (not 6.5 s later, as the delay
    // from the first copy would have it). Its watchdog tick 2 s later came
    // during the question and did nothing; Retry sent it again, and the
    // next resend comes after the interval backed off once more.
    const QList<Exchange> erases = rig.Device.OfKind(Kind::Erase);
    QCOMPARE(Times(erases), (QList<qint64>{6500 + 2000 + BootloaderLink::QuietMarginMs, 26000}));
    QCOMPARE(rig.Session.RetryCount, 0);
    QVERIFY(!rig.Session.WatchdogBusy);
    rig.Clock.Advance(3999);
    QCOMPARE(rig.Device.OfKind(Kind::Erase).size(), 2);
    rig.Clock.Advance(1);
    QCOMPARE(rig.Device.OfKind(Kind::Erase).size(), 3);
    QCOMPARE(rig.Session.RetryCount, 1);
}

// The answer to the sixth Connect comes while the question is open and
// reports another model: the session ends, and answering Retry afterwards
// sends nothing and does not hold up the close (a fuzz_session case).
void BootloaderSessionTest::sessionEndedDuringTheQuestionStaysEnded() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.Plan(Kind::Connect, 0, Fault::Silent, 5);
    rig.Device.Model = {0x01, 0x09, 0x03};
    rig.Device.ReplyDelayMs = 1500;
    rig.Boxes.HoldOpenMs = 1000;
    rig.Boxes.Answers = {MessageAnswer::Ok, MessageAnswer::Retry};
    QVERIFY(rig.Run());
    QCOMPARE(rig.Boxes.Log.size(), 2);
    QCOMPARE(rig.Boxes.Log[1].Text, QStringLiteral("Model Error！"));
    QCOMPARE(rig.Device.OfKind(Kind::Connect).size(), 6);
    // Model Error shown at 6500 and closed at 7500, the window 10 ms later.
    QCOMPARE(rig.View.CloseTimes, (QList<qint64>{7510}));
    QVERIFY(!rig.State.SessionSucceeded);
    VerifyClosedCleanly(rig);
}

void BootloaderSessionTest::replyDuringTheQuestionIsNotAskedForTwice() {
    Rig rig;
    rig.ReadFirmware();
    // The answer to the sixth Connect comes at 6500, while the question is
    // open (6000 to 10000); the session reads on meanwhile, a block every
    // 400 ms. Retry at 10000 finds the request for 0x0400 (sent at 9700)
    // still on its way: asking for it again would put two answers on the
    // line, and the second would be stored as the block at 0x0480.
    rig.Device.Plan(Kind::Connect, 0, Fault::Silent, 5);
    rig.Device.Marker = false;
    rig.Device.ReplyDelayMs = 1500;
    rig.Boxes.HoldOpenMs = 4000;
    rig.Boxes.Answers = {MessageAnswer::Retry};
    rig.Session.Form_Load();
    rig.Clock.Advance(5500);
    rig.Device.ReplyDelayMs = 400;
    QVERIFY(rig.RunOn());
    QCOMPARE(rig.Boxes.Log.size(), 1);
    QVERIFY(rig.State.SessionSucceeded);
    QVERIFY(std::equal(rig.State.FirmwareImage.begin(), rig.State.FirmwareImage.begin() + 0x8000,
                       rig.Device.Memory.begin()));
    QCOMPARE(rig.Device.OfKind(Kind::Read).size(), 256);
}

void BootloaderSessionTest::closingTheWindowStopsEverything_data() {
    QTest::addColumn<bool>("duringQuestion");
    QTest::newRow("while the line settles after a late answer") << false;
    QTest::newRow("while the question is open") << true;
}

void BootloaderSessionTest::closingTheWindowStopsEverything() {
    QFETCH(bool, duringQuestion);

    Rig rig;
    rig.Update(0x0000, 0x3FFF);
    rig.Device.ReplyDelayMs = 5;
    if (duringQuestion) {
        rig.Device.Plan(Kind::Erase, 0x0400, Fault::Silent, 6);
        rig.Boxes.HoldOpenMs = 3000;
        rig.Boxes.Answers = {MessageAnswer::Retry};
    }
    rig.Session.Form_Load();
    if (duringQuestion) {
        rig.Clock.RunUntil([&] { return rig.Device.OfKind(Kind::Erase).size() == 14; }, 60000);
        rig.Clock.Post(2000, [&] { rig.Session.Form_Unload(); });  // the close box
    } else {
        rig.Device.Plan(Kind::Erase, 0x0400, Fault::Late);
        rig.Clock.RunUntil([&] { return rig.SettleTimer.IsActive(); }, 60000);
        QVERIFY(rig.Timer.IsActive());
        rig.Session.Form_Unload();
        QVERIFY(!rig.Timer.IsActive() && !rig.SettleTimer.IsActive());
    }
    const int writes = rig.Port.Writes.size();
    rig.Clock.Advance(60000);
    QCOMPARE(rig.Port.Writes.size(), writes);
    QCOMPARE(rig.Boxes.Log.size(), duringQuestion ? 1 : 0);
    QVERIFY(rig.View.CloseTimes.isEmpty());
    QVERIFY(!rig.State.SessionSucceeded);
    QCOMPARE(rig.Port.CloseCount, 1);
    VerifyClosedCleanly(rig);

    // A session loaded afterwards owes nothing to the copies left unanswered
    // and has learnt nothing: with a lost Connect and a lost erase, its
    // packets go out as on a new window.
    Rig fresh;
    for (Rig* r : {&rig, &fresh}) {
        r->Update(0x8000, 0x807F);
        r->Device.ReplyDelayMs = 5;
        r->Device.Plan(Kind::Connect, 0, Fault::Silent);
        r->Device.Plan(Kind::Erase, 0x8000, Fault::Silent);
        QVERIFY(r->Run());
        QVERIFY(r->State.SessionSucceeded);
    }
    QCOMPARE(rig.Port.Writes.size() - writes, fresh.Port.Writes.size());
    for (int i = 1; i < fresh.Port.Writes.size(); ++i) {
        QCOMPARE(rig.Port.Writes[writes + i].Time - rig.Port.Writes[writes].Time,
                 fresh.Port.Writes[i].Time - fresh.Port.Writes[0].Time);
    }
}

void BootloaderSessionTest::retryCountStopsAtItsTop() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.Marker = false;
    rig.Device.Plan(Kind::Connect, 0, Fault::Refuse, 2);
    // Block failures then find the count spent: the first one ends the session.
    rig.Device.Plan(Kind::Erase, 0x8000, Fault::Refuse);
    rig.Session.Form_Load();
    rig.Session.RetryCount = 32766;
    QVERIFY(rig.RunOn());
    QCOMPARE(rig.Device.OfKind(Kind::Connect).size(), 3);
    QCOMPARE(int(rig.Session.RetryCount), 32767);
    QCOMPARE(rig.Boxes.Log.value(0).Text, QStringLiteral("读写失败,地址 = 800"));
}

void BootloaderSessionTest::nothingHappensWithoutAModeOrOnLineErrors() {
    Rig idle;
    idle.Session.Form_Load();
    idle.Clock.Advance(60000);
    QVERIFY(idle.Port.Writes.isEmpty());
    QVERIFY(idle.Session.IsLoaded());
    QVERIFY(!idle.Timer.IsActive());

    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.Dead = true;
    rig.Session.Form_Load();
    rig.Port.RaiseLineErrorLater();
    rig.Clock.Advance(999);
    QCOMPARE(rig.Port.Writes.size(), 1);
    QVERIFY(rig.Session.AwaitingReply);
    QVERIFY(rig.Timer.IsActive());
    rig.Clock.Advance(1);
    QCOMPARE(rig.Port.Writes.size(), 2);
}

void BootloaderSessionTest::watchdogQuestionText_data() {
    QTest::addColumn<bool>("english");
    QTest::addColumn<QString>("text");
    QTest::newRow("English") << true << QStringLiteral("Check connection!Retry or cancel?");
    QTest::newRow("Chinese") << false << QStringLiteral("检测连接！重试或取消？");
}

void BootloaderSessionTest::watchdogQuestionText() {
    QFETCH(bool, english);
    QFETCH(QString, text);

    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.State.EnglishUi = english;
    rig.Device.Dead = true;
    QVERIFY(rig.Run());
    QCOMPARE(rig.Boxes.Log.size(), 1);
    QCOMPARE(rig.Boxes.Log[0].Text, text);
    QCOMPARE(rig.Boxes.Log[0].Buttons, MessageButtons::RetryCancel);
    QCOMPARE(rig.Session.Outcome(), SessionOutcome::Cancelled);
}

void BootloaderSessionTest::successClosesThePortAndTheWindowOneMsLater() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.ReplyDelayMs = 5;
    bool portOpenAtClose = true;
    qint64 closedAt = -1;
    rig.View.OnClose = [&] {
        portOpenAtClose = rig.Port.IsOpen();
        closedAt = rig.Clock.Now();
        rig.Session.Form_Unload();
    };
    rig.Session.Form_Load();
    // Up to the acknowledgement of GoApplication, then what happens after it.
    QVERIFY(rig.Clock.RunUntil([&] { return !rig.Port.IsOpen(); }, 60000));
    const qint64 acknowledged = rig.Clock.Now();
    QCOMPARE(acknowledged, rig.Port.Writes.last().Time + 5);
    QVERIFY(rig.State.SessionSucceeded);
    QCOMPARE(rig.Port.Threshold, 0);
    QVERIFY(rig.Session.IsLoaded());
    QVERIFY(rig.RunOn());
    QCOMPARE(closedAt, acknowledged + 1);
    QVERIFY(!portOpenAtClose);
    QCOMPARE(rig.Port.CloseCount, 1);
    QCOMPARE(rig.Session.Outcome(), SessionOutcome::Success);
    VerifyClosedCleanly(rig);
}

// A failed session after a successful one must not report success.
void BootloaderSessionTest::loadingClearsAnEarlierSuccess() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    QVERIFY(rig.Run());
    QVERIFY(rig.State.SessionSucceeded);

    rig.State.SessionModeUpdate = true;
    rig.Device.Model = {0x01, 0x02, 0x09};
    QVERIFY(rig.Run());
    QCOMPARE(rig.Boxes.Log.value(0).Text, QStringLiteral("Model Error！"));
    QVERIFY(!rig.State.SessionSucceeded);
    QCOMPARE(rig.Session.Outcome(), SessionOutcome::ModelError);
}

// Bytes that come while the thread is blocked in the pause after the Connect
// reply wait in the system, not in the port's buffer. The discard before the
// first EraseMemory or ReadMemory must take them too: taken for its answer,
// they put the session one reply behind the device.
void BootloaderSessionTest::strayBytesDuringThePauseAreThrownAway_data() {
    QTest::addColumn<bool>("update");
    // An acknowledgement taken for the erase's: every later answer is then
    // taken for the request after its own, and the refusal of the data block
    // for the refusal of GoApplication, which is resent and acknowledged.
    QTest::newRow("Update: an acknowledgement, then a refused block") << true;
    // The block's own check byte in front of it: shifted by one byte the
    // block still passes its check and would be stored one byte off.
    QTest::newRow("Read: a byte that leaves the shifted block whole") << false;
}

void BootloaderSessionTest::strayBytesDuringThePauseAreThrownAway() {
    QFETCH(bool, update);

    Rig rig;
    QByteArray stray;
    if (update) {
        rig.Update(0x8000, 0x807F);
        rig.Device.Plan(Kind::Block, 0x8000, Fault::Refuse);
        stray = Hex("79");
    } else {
        rig.ReadFirmware();
        stray = QByteArray(1, static_cast<char>(XorOfBytes(rig.Device.Memory.data(), 128)));
    }
    rig.Device.ReplyDelayMs = 2;
    rig.Session.Form_Load();
    // The Connect reply comes at 2; the pause lasts until 102.
    rig.Port.Deliver(stray, 50);
    QVERIFY(rig.RunOn());

    QCOMPARE(rig.Sleep.Pauses, QList<int>{100});
    QVERIFY(rig.State.SessionSucceeded);
    if (update) {
        QVERIFY(rig.DeviceHoldsImage());
        // The erase went out right after bytes were found waiting: its
        // acknowledgement is not trusted, and it is asked again once the
        // line is quiet. The refusal is the device's answer in time: the
        // block is announced again at once, as on any line.
        QCOMPARE(rig.Device.Sequence(),
                 QStringLiteral("E8000 E8000 W8000+128 B W8000+128 B G8000"));
    } else {
        QVERIFY(ImageHoldsDeviceLowerHalf(rig));
    }
    // Every command header, and no data block, is preceded at the same
    // moment by a discard; the one after the pause threw the stray bytes away.
    const QList<Exchange>& sent = rig.Device.Log;
    QCOMPARE(sent.size(), rig.Port.Writes.size());
    for (int i = 0; i < sent.size(); ++i) {
        const bool discarded = std::any_of(
            rig.Port.Discards.begin(), rig.Port.Discards.end(),
            [&](const auto& d) { return d.WritesBefore == i && d.Time == sent[i].Time; });
        QCOMPARE(discarded, sent[i].What != Kind::Block);
    }
    const auto afterPause = std::find_if(rig.Port.Discards.begin(), rig.Port.Discards.end(),
                                         [](const auto& d) { return d.WritesBefore == 1; });
    QVERIFY(afterPause != rig.Port.Discards.end());
    QCOMPARE(afterPause->Bytes, stray);
}

// A slow device (every answer 400 ms after its request) answers one request
// after 1500 ms: the watchdog has resent it at 1000, and the device answers
// both copies. The answer that comes second must not be taken for the next
// request's; the refusal or spoilt block that follows must be seen as such.
void BootloaderSessionTest::lateAnswerCrossingAResendIsNotTakenForTheNextRequest_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("resends");

    QTest::newRow("Update: late erase answer, refused data block")
        << true << QStringList{"erase@8000:late", "block@8000:refuse"} << 2;
    // The refusal falls on the filler that follows the watchdog's silence:
    // the device took it as the block it waited for.
    QTest::newRow("Update: late WriteMemory answer, refused data block")
        << true << QStringList{"write@8000:late", "block@8000:refuse"} << 1;
    QTest::newRow("Read: late block, spoilt next block")
        << false << QStringList{"read@0000:late", "read@0080:badxor"} << 2;
}

void BootloaderSessionTest::lateAnswerCrossingAResendIsNotTakenForTheNextRequest() {
    QFETCH(bool, update);
    QFETCH(QStringList, faults);
    QFETCH(int, resends);

    Rig rig;
    if (update) {
        rig.Update(0x8000, 0x80FF);
    } else {
        rig.ReadFirmware();
    }
    rig.Device.ReplyDelayMs = 400;
    PlanFaults(rig.Device, faults);
    QVERIFY(rig.Run());

    QVERIFY(rig.Boxes.Log.isEmpty());
    QVERIFY(rig.State.SessionSucceeded);
    QCOMPARE(int(rig.Session.RetryCount), resends);
    if (update) {
        QVERIFY(rig.DeviceHoldsImage());
        QCOMPARE(rig.Device.StartedAt, std::optional<int>(0x8000));
    } else {
        QVERIFY(ImageHoldsDeviceLowerHalf(rig));
    }
    VerifyClosedCleanly(rig);
}

// The device answers Connect twice, reporting another model: the second
// answer comes while "Model Error！" is open and must not show it again.
void BootloaderSessionTest::secondConnectAnswerBehindModelErrorChangesNothing() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.Model = {0x01, 0x09, 0x03};
    rig.Device.TwiceGapMs = 100;
    rig.Device.Plan(Kind::Connect, 0, Fault::Twice);
    rig.Boxes.HoldOpenMs = 1000;
    QVERIFY(rig.Run());
    QCOMPARE(rig.Boxes.Log.size(), 1);
    QCOMPARE(rig.Boxes.Log[0].Text, QStringLiteral("Model Error！"));
    QCOMPARE(rig.Port.Writes.size(), 1);
    QCOMPARE(rig.View.CloseTimes, QList<qint64>{1010});
    QCOMPARE(rig.Session.Outcome(), SessionOutcome::ModelError);
    QVERIFY(!rig.State.SessionSucceeded);
    VerifyClosedCleanly(rig);
}

// The eleventh refusal ends the session with the failure message; an
// acknowledgement that comes while it is open must not carry the session on
// to GoApplication and success.
void BootloaderSessionTest::lateAcknowledgementBehindTransferFailureChangesNothing() {
    Rig rig;
    rig.Update(0x8000, 0x80FF);
    rig.Device.Plan(Kind::Erase, 0x8000, Fault::Refuse, 11);
    rig.Boxes.HoldOpenMs = 5000;
    rig.Session.Form_Load();
    // After the Connect reply and the pause, the erases go out at 100 and the
    // failure box is open from 100 to 5100.
    rig.Port.Deliver(Hex("79"), 200);
    QVERIFY(rig.RunOn());
    QCOMPARE(rig.Boxes.Log.size(), 1);
    QCOMPARE(rig.Boxes.Log[0].Text, QStringLiteral("读写失败,地址 = 800"));
    QCOMPARE(rig.Device.OfKind(Kind::Erase).size(), 11);
    QCOMPARE(rig.Port.Writes.size(), 12);  // Connect and the eleven erases
    QVERIFY(!rig.Device.StartedAt.has_value());
    QCOMPARE(rig.View.CloseTimes, QList<qint64>{5110});
    QCOMPARE(rig.Session.Outcome(), SessionOutcome::TransferFailure);
    QVERIFY(!rig.State.SessionSucceeded);
    VerifyClosedCleanly(rig);
}

// Replies that cannot be told apart from the answer to the request last sent
// without knowing which copy they answer. Each must end in a correct success
// or a failure; a device that answers in time meets the plain traffic.
void BootloaderSessionTest::onlyTrustedRepliesMoveTheSessionOn_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QByteArray>("model");  // the device's, when not the one asked for
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("packets");  // all packets written; -1: not counted

    const int success = int(SessionOutcome::Success);
    const int cancelled = int(SessionOutcome::Cancelled);
    QTest::newRow("Update, answered in time")
        << true << QStringList{} << QByteArray() << success << 8;
    QTest::newRow("Read, answered in time")
        << false << QStringList{} << QByteArray() << success << 258;
    // The tail of the first answer and the head of the copy's answer make a
    // Connect reply that seems to have no marker: the model goes unchecked.
    QTest::newRow("Update, Connect reply cut by the resend")
        << true << QStringList{"connect@0000:cut"} << Hex("090979")
        << int(SessionOutcome::ModelError) << -1;
    // 129 bytes of two answers in a row pass the check, rotated.
    QTest::newRow("Read, read reply cut by the resend")
        << false << QStringList{"read@0080:cut"} << QByteArray() << success << -1;
    QTest::newRow("Update, stray byte before a late acknowledgement")
        << true << QStringList{"block@8000:stray"} << QByteArray() << success << -1;
    // The late check byte leads the copy's answer: shifted by one, it passes.
    QTest::newRow("Read, stray byte before a frame whose check byte is late")
        << false << QStringList{"read@0080:stray"} << QByteArray() << success << -1;
    // The copy's answer to a slow erase comes 1.7 s after the first one.
    QTest::newRow("Update, each copy of a slow erase served, then a refused block")
        << true << QStringList{"erase@8000:slow*2", "block@8000:refuse"} << QByteArray() << success
        << -1;
    QTest::newRow("Read, each copy of a slow read served")
        << false << QStringList{"read@0080:slow*2"} << QByteArray() << success << -1;
    // After the late answer the line never goes quiet: nothing more is sent.
    QTest::newRow("Update, the line babbles after a late answer")
        << true << QStringList{"erase@8000:babble", "block@8000:refuse"} << QByteArray()
        << cancelled << 3;
    QTest::newRow("Read, the line babbles after a late answer")
        << false << QStringList{"read@0080:babble"} << QByteArray() << cancelled << 4;
    // Asked again once.
    QTest::newRow("Read, a frame with bytes behind it")
        << false << QStringList{"read@0080:twice"} << QByteArray() << success << 259;
}

void BootloaderSessionTest::onlyTrustedRepliesMoveTheSessionOn() {
    QFETCH(bool, update);
    QFETCH(QStringList, faults);
    QFETCH(QByteArray, model);
    QFETCH(int, outcome);
    QFETCH(int, packets);

    Rig rig;
    if (update) {
        rig.Update(0x8000, 0x80FF);
    } else {
        rig.ReadFirmware();
    }
    for (int i = 0; i < model.size(); ++i) {
        rig.Device.Model[i] = static_cast<std::uint8_t>(model[i]);
    }
    rig.Device.ReplyDelayMs = 5;
    PlanFaults(rig.Device, faults);
    QVERIFY(rig.Run());

    QCOMPARE(int(rig.Session.Outcome()), outcome);
    if (outcome == int(SessionOutcome::Success)) {
        QVERIFY(update ? rig.DeviceHoldsImage() : ImageHoldsDeviceLowerHalf(rig));
    }
    if (packets >= 0) {
        QCOMPARE(rig.Port.Writes.size(), packets);
    }
    // In time, each packet follows the answer to the one before at once
    // (the first after the pause that follows the Connect reply).
    for (int i = 1; faults.isEmpty() && i < rig.Port.Writes.size(); ++i) {
        QCOMPARE(rig.Port.Writes[i].Time - rig.Port.Writes[i - 1].Time, i == 1 ? 105 : 5);
    }
    VerifyClosedCleanly(rig);
}

// Devices that are slow, switched on late, still printing text, or that
// never give up a data block they were promised and write flash without
// erasing it. Each ends in a correct success or a failure, in time.
void BootloaderSessionTest::servedAtAnyPace_data() {
    QTest::addColumn<bool>("update");
    QTest::addColumn<int>("high");  // of an Update from 0x8000
    QTest::addColumn<QString>("device");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<int>("endsBy");   // ms
    QTest::addColumn<int>("packets");  // -1: not counted

    const int success = int(SessionOutcome::Success);
    // A lost acknowledgement leaves a device waiting for a block it never
    // gives up; the headers that follow must not become that block.
    for (const int length : {9, 19, 20, 128}) {
        QTest::addRow("flash, %d-byte block, its acknowledgement lost", length)
            << true << 0x8000 + length - 1 << "flash" << QStringList{"block@8000:lost"} << success
            << 4000 << -1;
        QTest::addRow("flash, %d-byte block, WriteMemory's acknowledgement lost", length)
            << true << 0x8000 + length - 1 << "flash" << QStringList{"write@8000:lost"} << success
            << 4000 << -1;
    }
    QTest::newRow("flash, two blocks, the erase after a lost acknowledgement lost twice")
        << true << 0x8092 << "flash" << QStringList{"block@8080:lost", "erase@8080:silent*2"}
        << success << 9000 << -1;
    // The question comes at the pace of a silent device, also while the line
    // keeps sending text.
    QTest::newRow("a board still printing text meets the question")
        << true << 0x80FF << "text" << QStringList{} << int(SessionOutcome::Cancelled) << 12000
        << -1;
    // Switched on at 8 s: the question at 6 s is answered Retry.
    QTest::newRow("switched on late, one acknowledgement lost")
        << true << 0x817F << "deaf" << QStringList{"block@8080:lost"} << success << 15000 << -1;
    QTest::newRow("each answer in 1.2 s, Update")
        << true << 0x817F << "slow" << QStringList{} << success << 30000 << -1;
    QTest::newRow("each answer in 1.2 s, Read")
        << false << 0 << "slow" << QStringList{} << success << 400000 << -1;
    QTest::newRow("data blocks acknowledged in 1.2 s")
        << true << 0x81FF << "slowblock" << QStringList{} << success << 20000 << -1;
    // A device that answers in time never meets the learning watchdog.
    QTest::newRow("answered in 0.9 s")
        << true << 0x80FF << "0.9" << QStringList{} << success << 8000 << 8;
}

void BootloaderSessionTest::servedAtAnyPace() {
    QFETCH(bool, update);
    QFETCH(int, high);
    QFETCH(QString, device);
    QFETCH(QStringList, faults);
    QFETCH(int, outcome);
    QFETCH(int, endsBy);
    QFETCH(int, packets);

    Rig rig;
    if (update) {
        rig.Update(0x8000, high);
    } else {
        rig.ReadFirmware();
    }
    rig.Device.ReplyDelayMs = 5;
    rig.Device.Flash = device == "flash";
    rig.Boxes.Answers = {MessageAnswer::Retry};
    std::function<void()> print;  // the board's text, once a second while the session runs
    if (device == "deaf") {
        rig.Device.DeafUntilMs = 8000;
    } else if (device == "slow") {
        rig.Device.ReplyDelayMs = 1200;
    } else if (device == "slowblock") {
        rig.Device.DelayOf[Kind::Block] = 1200;
    } else if (device == "0.9") {
        rig.Device.ReplyDelayMs = 900;
    } else if (device == "text") {
        rig.Device.Dead = true;
        rig.Boxes.Answers.clear();
        print = [&] {
            rig.Port.Deliver("app: running\r\n");
            rig.Clock.Post(1000, print);
        };
        rig.Clock.Post(300, print);
    }
    if (rig.Device.Flash) {
        rig.Device.Memory.fill(0x00);  // nothing erased yet
    }
    PlanFaults(rig.Device, faults);
    QVERIFY(rig.Run(endsBy));

    QCOMPARE(int(rig.Session.Outcome()), outcome);
    if (outcome == int(SessionOutcome::Success)) {
        QVERIFY(update ? rig.DeviceHoldsImage() : ImageHoldsDeviceLowerHalf(rig));
    } else {
        QCOMPARE(rig.Boxes.Log.size(), 1);
    }
    if (packets >= 0) {
        QCOMPARE(rig.Port.Writes.size(), packets);
        for (int i = 2; i < packets; ++i) {
            QCOMPARE(rig.Port.Writes[i].Time - rig.Port.Writes[i - 1].Time, 900);
        }
    }
    VerifyClosedCleanly(rig);
}

// fwloader-cli --verify: the range read back before GoApplication; a block
// read back wrong is written again, one that stays wrong fails the session.
void BootloaderSessionTest::readBackBeforeGoApplication_data() {
    QTest::addColumn<bool>("verify");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QString>("readBack");  // the packets after both blocks
    QTest::addColumn<int>("mismatch");      // -1: a success
    QTest::addColumn<int>("verifyMs");

    QTest::newRow("off: a byte stored wrong goes unnoticed") << false << "block@1280:miswrite"
                                                             << " G1270" << -1 << 0;
    QTest::newRow("equal") << true << ""
                           << " R1200 R1280 G1270" << -1 << 10;
    QTest::newRow("wrong once: written again")
        << true << "block@1270:miswrite"
        << " R1200 E1200 W1270+16 B R1200 R1280 G1270" << -1 << 30;
    QTest::newRow("wrong every time: failure at it")
        << true << "block@1280:miswrite*3"
        << " R1200 R1280 E1280 W1280+33 B R1280 E1280 W1280+33 B R1280" << 0x1290 << 50;
    // Asked again once the line has been quiet (1250 ms).
    QTest::newRow("a frame failing its check is asked again")
        << true << "read@1280:badxor"
        << " R1200 R1280 R1280 G1270" << -1 << 1265;
}

void BootloaderSessionTest::readBackBeforeGoApplication() {
    QFETCH(bool, verify);
    QFETCH(QString, faults);
    QFETCH(QString, readBack);
    QFETCH(int, mismatch);
    QFETCH(int, verifyMs);

    Rig rig;
    rig.Update(0x1270, 0x12A0);
    rig.Device.Memory[0x1250] = 0x5A;  // outside the image: not compared
    rig.Device.ReplyDelayMs = 5;
    rig.Session.VerifyAfterWrite = verify;
    PlanFaults(rig.Device, faults.split(u',', Qt::SkipEmptyParts));
    QVERIFY(rig.Run());
    QCOMPARE(rig.Device.Sequence(), "E1200 W1270+16 B E1280 W1280+33 B" + readBack);
    QCOMPARE(rig.Session.VerifyMismatch(), mismatch);
    QCOMPARE(rig.Session.VerifyMs(), qint64(verifyMs));
    QCOMPARE(rig.Session.Verified(), verify && mismatch < 0);
    QCOMPARE(rig.State.SessionSucceeded, mismatch < 0);
    QCOMPARE(rig.DeviceHoldsImage(), verify && mismatch < 0);
    QCOMPARE(rig.Boxes.Log.size(), mismatch < 0 ? 0 : 1);
    if (mismatch >= 0) {
        QCOMPARE(rig.Boxes.Log[0].Text, QStringLiteral("读写失败,地址 = 1290"));
    }
    VerifyClosedCleanly(rig);
}

// Nobody watched the line while the operator read the question for 20 s:
// the erase resent on Retry goes out on a dirty line, and the late answer of
// an earlier copy that comes right after it is asked about again.
void BootloaderSessionTest::timeAtTheQuestionIsNoQuiet() {
    Rig rig;
    rig.Update(0x8000, 0x807F);
    rig.Device.ReplyDelayMs = 5;
    rig.Device.LateMs = 21500;
    PlanFaults(rig.Device, {"erase@8000:silent*5", "erase@8000:late"});
    rig.Boxes.HoldOpenMs = 20000;
    rig.Boxes.Answers = {MessageAnswer::Retry};
    QVERIFY(rig.Run());
    QCOMPARE(rig.Boxes.Log.size(), 1);
    QVERIFY(rig.State.SessionSucceeded);
    QVERIFY(rig.DeviceHoldsImage());
    QCOMPARE(rig.Device.OfKind(Kind::Erase).size(), 8);
}

// The device acknowledged a WriteMemory of `length` bytes and took the
// packets sent after it (any run of them that ends with the last one) into
// the block; the filler completes it, and the block must fail its check.
void BootloaderSessionTest::fillerFailsWhateverTheDeviceTook_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<QByteArray>>("packets");  // sent after the WriteMemory

    const QByteArray erase = Hex("5501001080");
    const QByteArray write = Hex("550200108013");
    QTest::newRow("nothing since") << 19 << QList<QByteArray>{};
    QTest::newRow("copies of one erase") << 19 << QList<QByteArray>{erase, erase, erase};
    QTest::newRow("copies of the WriteMemory") << 128 << QList<QByteArray>{write, write, write};
    QTest::newRow("a run whose XOR is 1") << 9 << QList<QByteArray>{erase, Hex("01")};
    QTest::newRow("a run of two whose XOR is 1") << 9 << QList<QByteArray>{Hex("02"), Hex("03")};
    QList<QByteArray> many;
    for (int i = 0; i < 40; ++i) {
        many << QByteArray(1, static_cast<char>(i * 37 + 1)) + Hex("00");
    }
    QTest::newRow("forty different packets") << 128 << many;
}

void BootloaderSessionTest::fillerFailsWhateverTheDeviceTook() {
    QFETCH(int, length);
    QFETCH(QList<QByteArray>, packets);

    // An earlier block's packets say nothing about this one's.
    OwedBlock owed;
    owed.Announced(3);
    owed.Sent(Hex("01"));
    owed.Filler();
    owed.Announced(length);
    owed.Announced(7);  // a copy of the header changes nothing
    for (const QByteArray& p : packets) {
        owed.Sent(p);
    }
    QVERIFY(owed.IsOwed());
    const QByteArray filler = owed.Filler();
    QVERIFY(!owed.IsOwed());
    QCOMPARE(filler.size(), length + 1);
    QVERIFY(!filler.contains(char(0x55)));
    if (packets.isEmpty()) {
        QCOMPARE(int(filler[0]), 1);
    }
    for (qsizetype from = 0; from <= packets.size(); ++from) {
        QByteArray taken;
        for (qsizetype i = from; i < packets.size(); ++i) {
            taken += packets[i];
        }
        if (taken.size() > length) {
            continue;  // the block was complete before the filler came
        }
        const QByteArray block = (taken + filler).left(length + 1);
        QVERIFY2(XorOfBytes(reinterpret_cast<const std::uint8_t*>(block.constData()), length) !=
                     static_cast<std::uint8_t>(block[length]),
                 qPrintable(QString::number(from)));
    }
}

// The watchdog's interval per kind of request after a run of events:
// "T1" a timeout of an erase, "L1" a late arrival after it, "S1=1200" a
// trusted erase answer after 1200 ms, "A=1500" an answer of a resent request
// at least that late, "R" a new session. Kinds: Connect, erase, WriteMemory,
// block, read, GoApplication.
void BootloaderSessionTest::watchIntervalLearnsTheDevice_data() {
    QTest::addColumn<QString>("events");
    QTest::addColumn<QList<int>>("watch");  // ms, per kind
    QTest::addColumn<int>("longest");       // ms

    const QList<int> floor{1000, 1000, 1000, 1000, 1000, 1000};
    QTest::newRow("nothing learnt") << "" << floor << 0;
    QTest::newRow("timeouts of a device never late") << "T1 T1 T1" << floor << 0;
    // Unmeasured kinds wait as long as the slowest.
    QTest::newRow("late once: doubled") << "T1 L1" << QList<int>(6, 2000) << 0;
    QTest::newRow("then each timeout doubles, up to 4 s")
        << "T1 L1 T1 T1" << QList<int>(6, 4000) << 0;
    QTest::newRow("a 1.2 s answer: 1.2 s and four variations")
        << "T1 L1 S1=1200" << QList<int>(6, 3600) << 1200;
    QTest::newRow("the same delay again: the variation shrinks")
        << "T3 L3 S3=1200 S3=1200" << QList<int>(6, 3000) << 1200;
    QTest::newRow("a prompt answer: the second, for every kind") << "T0 L0 S0=5" << floor << 5;
    QTest::newRow("a timeout after a sample doubles that kind and the unmeasured")
        << "T4 L4 S4=300 S2=300 T4" << QList<int>{2000, 2000, 1000, 2000, 2000, 2000} << 300;
    QTest::newRow("a delay counts up to 4 s") << "T2 L2 S2=9000" << QList<int>(6, 4000) << 4000;
    QTest::newRow("answers of resent requests: the longest, up to 4 s")
        << "A=1500 A=700" << floor << 1500;
    QTest::newRow("... up to 4 s") << "A=1500 A=6000" << floor << 4000;
    QTest::newRow("a new session forgets") << "T1 L1 S1=1200 A=3000 R" << floor << 0;
}

void BootloaderSessionTest::watchIntervalLearnsTheDevice() {
    QFETCH(QString, events);
    QFETCH(QList<int>, watch);
    QFETCH(int, longest);

    WatchInterval w;
    for (const QString& e : events.split(u' ', Qt::SkipEmptyParts)) {
        const int kind = e.mid(1, 1).toInt();
        const int ms = e.section(u'=', 1).toInt();
        switch (e[0].toLatin1()) {
            case 'T':
                w.TimedOut(kind);
                break;
            case 'L':
                w.ArrivedLate(kind);
                break;
            case 'S':
                w.Sample(kind, ms);
                break;
            case 'A':
                w.AtLeast(ms);
                break;
            default:
                w.Reset();
        }
    }
    QList<int> got;
    for (int kind = 0; kind < watch.size(); ++kind) {
        got << w.WatchMs(kind);
    }
    QCOMPARE(got, watch);
    QCOMPARE(w.LongestMs(), qint64(longest));
}

QTEST_GUILESS_MAIN(BootloaderSessionTest)
#include "tst_BootloaderSession.moc"
