// The soak's own parts: its time scale, its session plans and, above all,
// its judge, which must see every way a session can go wrong.

#include <QtTest>
#include <functional>

#include "Fakes.h"
#include "SoakJudge.h"
#include "SoakPlan.h"
#include "SoakRig.h"

namespace {

ShownMessage Box(const QString& text, MessageAnswer answer = MessageAnswer::Ok) {
    ShownMessage m;
    m.Text = text;
    m.Icon = MessageIcon::Critical;
    m.Buttons = text == QuestionText ? MessageButtons::RetryCancel : MessageButtons::Ok;
    m.Title = SoakTitle;
    m.Answer = answer;
    return m;
}

ShownMessage CallerBox(const QString& text) {
    ShownMessage m;
    m.Text = text;
    m.Icon = MessageIcon::Exclamation;
    m.Title = SoakTitle;
    m.FromCaller = true;
    return m;
}

// A plan without faults and a record of the session going right, both
// ready to be spoilt by one change.
struct Case {
    SessionPlan Plan;
    SessionRecord Record;

    explicit Case(bool update) {
        SoakMix none;
        none.Level = 0;
        // The first seed that draws the wanted kind of session.
        for (quint32 seed = 1;; ++seed) {
            Plan = MakeSessionPlan(seed, none);
            if (Plan.Update == update) {
                break;
            }
        }
        Record.WindowCloses = 1;
        Record.Succeeded = true;
        Record.Captions = {update ? QStringLiteral("Update") : QStringLiteral("读取固件")};
        Record.Progress = {0.0f, 0.5f, 1.0f};
        Record.ProgressTexts = {"Complete:%", "Complete:50%", "Complete:100%"};
        Record.Device.ApplicationStarts = 1;
        Record.ImageAfter = Plan.Image;
        if (update) {
            Rebound(Plan.Low, Plan.High);
            Record.Messages = {CallerBox(UpdateSuccessText)};
        } else {
            Record.ApplicationAddress = 0x9000;
            Record.MemoryAfter = Plan.DeviceMemory;
            Record.ImageAfter.replace(0, 0x8000, Plan.DeviceMemory.left(0x8000));
            Record.Messages = {CallerBox(ReadSuccessText)};
        }
    }

    // An Update of low..high that went right: its blocks erased, the image
    // written between the bounds.
    void Rebound(int low, int high) {
        Plan.Low = low;
        Plan.High = high;
        Record.ApplicationAddress = low;
        Record.MemoryAfter = Plan.DeviceMemory;
        for (int i = low & ~127; i <= (high | 127); ++i) {
            Record.MemoryAfter[i] = (i < low || i > high) ? char(0xFF) : Plan.Image[i];
        }
    }

    // The session ended without success: no success message, nothing started.
    void Unsuccessful() {
        Record.Succeeded = false;
        Record.Messages.clear();
        Record.Device.ApplicationStarts = 0;
        Record.MemoryAfter = Plan.DeviceMemory;
        Record.ImageAfter = Plan.Image;
        Record.Progress = {0.0f};
        Record.ProgressTexts.clear();
    }
};

using Spoil = std::function<void(Case&)>;

}  // namespace

Q_DECLARE_METATYPE(Spoil)
Q_DECLARE_METATYPE(SessionEnding)

class SoakTest : public QObject {
    Q_OBJECT

private slots:
    void intervalsAreScaledButNeverVanish() {
        QCOMPARE(ScaledMs(1000, 0.1), 100);
        QCOMPARE(ScaledMs(3000, 0.05), 150);
        QCOMPARE(ScaledMs(1, 0.05), 1);  // a closing delay stays a delay
        QCOMPARE(ScaledMs(0, 0.05), 0);
        QCOMPARE(ScaledMs(1000, 1.0), 1000);

        VirtualScheduler clock;
        ManualTimer inner(clock);
        ScaledTimer timer(inner, 0.1);
        int ticks = 0;
        timer.SetTickHandler([&] { ++ticks; });
        timer.Start(1000);
        QVERIFY(timer.IsActive());
        clock.Advance(99);
        QCOMPARE(ticks, 0);
        clock.Advance(1);
        QCOMPARE(ticks, 1);
        QVERIFY(!timer.IsActive());
        timer.Start(3000);
        timer.Stop();
        clock.Advance(1000);
        QCOMPARE(ticks, 1);
    }

    void deviceQuietGapStaysBelowTheResendInterval() {
        QCOMPARE(SoakRig(1.0).QuietGapMs(), 200);
        QCOMPARE(SoakRig(0.1).QuietGapMs(), 50);   // floor of real time
        QCOMPARE(SoakRig(0.05).QuietGapMs(), 25);  // half of the 50 ms resend interval
    }

    void plansComeFromTheirSeedAlone() {
        SoakMix mix;
        for (quint32 seed = 0; seed < 300; ++seed) {
            const SessionPlan a = MakeSessionPlan(seed, mix);
            const SessionPlan b = MakeSessionPlan(seed, mix);
            QCOMPARE(a.Image, b.Image);
            QCOMPARE(a.DeviceMemory, b.DeviceMemory);
            QCOMPARE(a.Describe(), b.Describe());
            QCOMPARE(a.Scripted.size(), b.Scripted.size());
            QVERIFY(0 <= a.Low && a.Low <= a.High && a.High < ImageSize);
            QCOMPARE(a.Image.size(), ImageSize);
            QCOMPARE(a.DeviceMemory.size(), ImageSize);
            if (!a.Update) {
                QCOMPARE(a.Low, 0);
                QCOMPARE(a.High, 0x7FFF);
            }
            QVERIFY(a.Rates.Status != 0x79 && a.Rates.Status != 0x1F);
        }
        QVERIFY(SessionSeed(1, 0) != SessionSeed(1, 1));
        QVERIFY(SessionSeed(1, 0) != SessionSeed(2, 0));

        SoakMix none;
        none.Level = 0;
        for (quint32 seed = 0; seed < 100; ++seed) {
            const SessionPlan p = MakeSessionPlan(seed, none);
            QVERIFY(!p.Rates.Any());
            QVERIFY(p.Scripted.isEmpty());
            QCOMPARE(p.Port, PortTrouble::None);
            QCOMPARE(p.SplitReplyRate, 0.0);
            QVERIFY(p.CloseAfterMs < 0);
        }
    }

    void soundSessionsPassWithTheirEnding_data() {
        QTest::addColumn<bool>("update");
        QTest::addColumn<Spoil>("make");
        QTest::addColumn<SessionEnding>("ending");
        QTest::newRow("update succeeds") << true << Spoil([](Case&) {}) << SessionEnding::Success;
        QTest::newRow("read succeeds") << false << Spoil([](Case&) {}) << SessionEnding::Success;
        QTest::newRow("success after a question answered Retry") << true << Spoil([](Case& c) {
            c.Record.Device.FaultsInjected = 6;
            c.Record.Messages.prepend(Box(QuestionText, MessageAnswer::Retry));
        }) << SessionEnding::Success;
        QTest::newRow("Cancel after the session had succeeded") << false << Spoil([](Case& c) {
            c.Record.Device.FaultsInjected = 6;
            ShownMessage late = Box(QuestionText, MessageAnswer::Cancel);
            late.AnsweredAfterEnd = true;
            c.Record.Messages.prepend(late);
        }) << SessionEnding::Success;
        QTest::newRow("model error") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 1;
            c.Record.Device.ByFault[int(FaultKind::WrongModel)] = 1;
            c.Record.Messages = {Box(ModelErrorText)};
        }) << SessionEnding::ModelError;
        QTest::newRow("refused") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 1;
            c.Record.Device.ByFault[int(FaultKind::RefuseConnect)] = 1;
        }) << SessionEnding::Refused;
        QTest::newRow("transfer failure in the image") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 11;
            const int at = c.Plan.High;
            c.Record.Messages = {Box(TransferFailurePrefix +
                                     QString::number(at >> 8, 16).toUpper() +
                                     QString::number(at & 0xFF, 16).toUpper())};
        }) << SessionEnding::TransferFailure;
        QTest::newRow("port missing") << false << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Plan.Port = PortTrouble::Missing;
            c.Record.Captions.clear();
            c.Record.Messages = {Box(ReselectPortText)};
        }) << SessionEnding::PortUnusable;
        QTest::newRow("cancelled") << false << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 12;
            c.Record.Messages = {Box(QuestionText, MessageAnswer::Retry),
                                 Box(QuestionText, MessageAnswer::Cancel)};
        }) << SessionEnding::Cancelled;
        QTest::newRow("closed by the operator") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.WindowCloses = 0;
            c.Record.ClosedByOperator = true;
            c.Record.MemoryAfter[c.Plan.Low] = char(0xFF);  // half erased is allowed
        }) << SessionEnding::ClosedByOperator;
    }

    void soundSessionsPassWithTheirEnding() {
        QFETCH(bool, update);
        QFETCH(Spoil, make);
        QFETCH(SessionEnding, ending);
        Case c(update);
        make(c);
        const Judgement j = JudgeSession(c.Plan, c.Record);
        QVERIFY2(j.Violations.isEmpty(), qPrintable(j.Violations.join(u'\n')));
        QCOMPARE(j.Ending, ending);
    }

    void everyBrokenRuleIsReported_data() {
        QTest::addColumn<bool>("update");
        QTest::addColumn<Spoil>("spoil");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a written byte differs") << true << Spoil([](Case& c) {
            c.Record.MemoryAfter[c.Plan.High] = char(~c.Plan.Image[c.Plan.High]);
        }) << "differs from the image";
        QTest::newRow("memory outside the blocks changed") << true << Spoil([](Case& c) {
            const int at = (c.Plan.High | 127) + 1 < ImageSize ? (c.Plan.High | 127) + 1 : 0;
            c.Record.MemoryAfter[at] = char(~c.Plan.DeviceMemory[at]);
        }) << "outside the image's blocks";
        QTest::newRow("block margin not erased") << true << Spoil([](Case& c) {
            c.Rebound(0x1270, 0x12A0);
            c.Record.MemoryAfter[0x12A1] = 0x12;
        }) << "is not 0xFF";
        QTest::newRow("read image differs") << false << Spoil([](Case& c) {
            c.Record.ImageAfter[0x7FFF] = char(~c.Plan.DeviceMemory[0x7FFF]);
        }) << "read image differs";
        QTest::newRow("read wrote the device") << false << Spoil([](Case& c) {
            c.Record.MemoryAfter[5] = char(~c.Plan.DeviceMemory[5]);
        }) << "changed device memory";
        QTest::newRow("success without application start")
            << true << Spoil([](Case& c) { c.Record.Device.ApplicationStarts = 0; })
            << "never started its application";
        QTest::newRow("application at the wrong address")
            << false << Spoil([](Case& c) { c.Record.ApplicationAddress = 0; }) << "was started at";
        QTest::newRow("no success message")
            << true << Spoil([](Case& c) { c.Record.Messages.clear(); }) << "0 success messages";
        QTest::newRow("success message after failure") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 1;
            c.Record.Device.ByFault[int(FaultKind::WrongModel)] = 1;
            c.Record.Messages = {Box(ModelErrorText), CallerBox(UpdateSuccessText)};
        }) << "1 success messages";
        QTest::newRow("two endings") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 12;
            c.Record.Messages = {Box(ModelErrorText), Box(TransferFailurePrefix + "0")};
        }) << "more than one ending";
        QTest::newRow("succeeded flag with a failure message") << true << Spoil([](Case& c) {
            c.Record.Device.FaultsInjected = 12;
            c.Record.Messages.prepend(Box(QuestionText, MessageAnswer::Cancel));
        }) << "SessionSucceeded is true";
        QTest::newRow("failure address outside the image") << false << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 11;
            c.Record.Messages = {Box(TransferFailurePrefix + "8000")};
        }) << "not one of the image";
        QTest::newRow("fault-free session cancelled") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Messages = {Box(QuestionText, MessageAnswer::Cancel)};
        }) << "no fault was injected";
        QTest::newRow("closed without a message and no refusal") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 3;
        }) << "nothing refused the update";
        QTest::newRow("model error without wrong model") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 1;
            c.Record.Messages = {Box(ModelErrorText)};
        }) << "without a wrong model";
        QTest::newRow("model error after erasing") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Device.FaultsInjected = 1;
            c.Record.Device.ByFault[int(FaultKind::WrongModel)] = 1;
            c.Record.Device.BlocksErased = 1;
            c.Record.Messages = {Box(ModelErrorText)};
        }) << "after the device was erased";
        QTest::newRow("usable port reported unusable") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Messages = {Box(ReselectPortText)};
        }) << "for a usable port";
        QTest::newRow("unusable port used")
            << true << Spoil([](Case& c) { c.Plan.Port = PortTrouble::Busy; })
            << "but the session went on";
        QTest::newRow("failure message open while the session succeeded")
            << true << Spoil([](Case& c) {
                   c.Record.Device.FaultsInjected = 11;
                   ShownMessage failure = Box(TransferFailurePrefix + "80");
                   failure.AnsweredAfterEnd = true;
                   c.Record.Messages.prepend(failure);
               })
            << "still open when the session ended otherwise";
        QTest::newRow("the session's own ending disagrees")
            << false << Spoil([](Case& c) { c.Record.Outcome = SessionOutcome::TransferFailure; })
            << "decided on transfer failure but ended as success";
        QTest::newRow("unknown message") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Messages = {Box("Boom")};
        }) << "unknown message";
        QTest::newRow("hang") << true << Spoil([](Case& c) {
            c.Unsuccessful();
            c.Record.Hung = true;
        }) << "did not end";
        QTest::newRow("port left open")
            << true << Spoil([](Case& c) { c.Record.PortOpenAfter = true; }) << "still open";
        QTest::newRow("timer left armed")
            << false << Spoil([](Case& c) { c.Record.TimerArmedAfter = true; }) << "still armed";
        QTest::newRow("mode left set")
            << false << Spoil([](Case& c) { c.Record.ModeReadAfter = true; }) << "SessionMode";
        QTest::newRow("window closed twice")
            << true << Spoil([](Case& c) { c.Record.WindowCloses = 2; }) << "closed 2 times";
        QTest::newRow("progress went back") << true << Spoil([](Case& c) {
            c.Record.Progress = {0.0f, 0.6f, 0.5f, 1.0f};
        }) << "progress went from";
        QTest::newRow("success short of 100%")
            << false << Spoil([](Case& c) { c.Record.ProgressTexts.last() = "Complete:99%"; })
            << "progress ended";
        QTest::newRow("malformed progress text")
            << true << Spoil([](Case& c) { c.Record.ProgressTexts[0] = "Complete:0%"; })
            << "progress text";
        QTest::newRow("box with the wrong title")
            << true << Spoil([](Case& c) { c.Record.Messages[0].Title = "Update"; })
            << "has the title";
        QTest::newRow("malformed request reached the device")
            << true << Spoil([](Case& c) { c.Record.Device.MalformedRequests = 1; }) << "malformed";
    }

    void everyBrokenRuleIsReported() {
        QFETCH(bool, update);
        QFETCH(Spoil, spoil);
        QFETCH(QString, expected);
        Case c(update);
        spoil(c);
        const Judgement j = JudgeSession(c.Plan, c.Record);
        QVERIFY2(j.Violations.join(u'\n').contains(expected),
                 qPrintable(QStringLiteral("expected \"%1\" among: %2")
                                .arg(expected, j.Violations.join(QStringLiteral(" / ")))));
    }
};

QTEST_GUILESS_MAIN(SoakTest)
#include "SoakTest.moc"
