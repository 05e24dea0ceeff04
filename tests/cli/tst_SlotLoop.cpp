// A station's slot on virtual time: boards put in and taken out of a
// fixture by a script, each played by a ScriptedDevice.

#include <QtTest>
#include <memory>
#include <vector>

#include "SessionRig.h"
#include "SlotLoop.h"

namespace {

// The slot's fixture: whether its port exists (a USB adapter), whether a
// board is in it, whether that board runs its application (and hears
// nothing), whether it is a board of another model (it fails).
struct Fixture {
    bool AdapterIn = true;
    bool BoardIn = false;
    bool AppRunning = false;
    bool WrongModel = false;
    bool StaysInBootloader = false;  // after GoApplication it still answers
};

class FixturePort : public TestPort {
public:
    FixturePort(VirtualScheduler& clock, Fixture& fixture) : TestPort(clock), Fix(fixture) {}
    bool Open() override { return Fix.AdapterIn && TestPort::Open(); }
    bool Write(const QByteArray& bytes) override { return Fix.AdapterIn && TestPort::Write(bytes); }

private:
    Fixture& Fix;
};

class FixtureParts : public SessionParts {
public:
    FixtureParts(VirtualScheduler& clock, Fixture& fixture) : Clock(clock), Fix(fixture) {}
    std::unique_ptr<SerialPort> MakePort(const PortJob&) override {
        auto port = std::make_unique<FixturePort>(Clock, Fix);
        Made.push_back(port.get());
        auto device = std::make_unique<ScriptedDevice>(*port);
        device->ReplyDelayMs = 5;
        auto answer = port->Responder;
        port->Responder = [this, answer, d = device.get()](const QByteArray& bytes,
                                                           ScriptedSerialPort& p) {
            if (Fix.BoardIn && !Fix.AppRunning) {
                d->Model = Fix.WrongModel ? std::array<std::uint8_t, 3>{9, 9, 9}
                                          : std::array<std::uint8_t, 3>{1, 2, 3};
                answer(bytes, p);
                Fix.AppRunning = d->StartedAt.has_value() && !Fix.StaysInBootloader;
            }
        };
        Devices.push_back(std::move(device));
        return port;
    }
    std::unique_ptr<OneShotTimer> MakeTimer() override {
        return std::make_unique<ManualTimer>(Clock);
    }
    std::unique_ptr<Pause> MakePause() override { return std::make_unique<FakePause>(Clock); }
    qint64 NowMs() const override { return Clock.Now(); }
    void Later(QObject&, std::function<void()> work) override { Clock.Post(0, std::move(work)); }

    std::vector<FixturePort*> Made;  // each port, while the slot has it

private:
    VirtualScheduler& Clock;
    Fixture& Fix;
    std::vector<std::unique_ptr<ScriptedDevice>> Devices;
};

struct Step {
    qint64 At;
    QString What;  // in, bad (a board of another model), out, unplug, plug, release, interrupt
};

}  // namespace
Q_DECLARE_METATYPE(Step)
namespace {

// Runs the slot against the script for limitMs; returns its events, each
// "what board @ms".
QStringList RunSlot(const QList<Step>& script, SlotSettings settings, qint64 limitMs = 30000) {
    VirtualScheduler clock;
    Fixture fixture;
    settings.Job.Label = "slot";
    settings.Job.State = std::make_shared<ProcessState>();
    settings.Job.State->ModelId = {1, 2, 3};
    settings.Job.State->SessionModeUpdate = true;
    settings.Job.State->ImageLowestAddress = 0x1000;
    settings.Job.State->ImageHighestAddress = 0x17FF;
    settings.Job.TimeoutMs = 20000;
    // Looked for once each time the slot opens its port: it stays open
    // between copies and goes to the session as it is.
    int opened = 0;
    settings.Job.CheckOpenedPort = [&opened] { return QStringLiteral("opened %1").arg(++opened); };
    SlotLoop slot(settings, std::make_shared<FixtureParts>(clock, fixture));
    QStringList events;
    auto note = [&](const QString& what, int board) {
        events << QStringLiteral("%1 %2 @%3").arg(what).arg(board).arg(clock.Now());
    };
    QObject::connect(&slot, &SlotLoop::BoardArrived, [&](int b) { note("arrived", b); });
    QObject::connect(&slot, &SlotLoop::BoardFinished,
                     [&](int b, const PortResult& r) { note(EndingName(r.Ending), b); });
    QObject::connect(&slot, &SlotLoop::BoardLeft, [&](int b) { note("left", b); });
    QObject::connect(&slot, &SlotLoop::LockedOut, [&](int n) { note("locked", n); });
    QStringList warnings;
    QObject::connect(&slot, &SlotLoop::Warning, [&](const QString& text) { warnings << text; });
    bool ended = false;
    QObject::connect(&slot, &SlotLoop::Ended, [&] {
        ended = true;
        note("ended", 0);
    });
    for (const Step& step : script) {
        clock.Post(step.At, [&, what = step.What] {
            if (what == "in" || what == "bad") {
                fixture = {fixture.AdapterIn, true, false, what == "bad"};
            } else if (what == "stays") {
                fixture = {fixture.AdapterIn, true, false, false, true};
            } else if (what == "out") {
                fixture.BoardIn = false;
            } else if (what == "unplug") {
                fixture = {false, false};
            } else if (what == "plug") {
                fixture = {true, true, false, false, true};
            } else if (what == "release") {
                slot.Release();
            } else if (what == "interrupt") {
                slot.Interrupt();
            }
        });
    }
    if (script.value(0).What == "plug") {
        fixture.AdapterIn = false;
    }
    slot.Begin();
    clock.RunUntil([&] { return ended; }, limitMs);
    // The port is opened once for waiting, and once more after each session
    // that the slot outlives (a session closes its port as it ends).
    const auto outlived = std::count_if(events.begin(), events.end(), [](const QString& e) {
        return e.startsWith("success") || e.startsWith("model-error");
    });
    if (warnings.size() != outlived + 1 || warnings.value(0) != "opened 1") {
        events << "warnings: " + warnings.join(", ");
    }
    return events;
}

// The events without their times, and each event's time.
QString Road(const QStringList& events) {
    QStringList road;
    for (const QString& e : events) {
        road << e.section(u' ', 0, 1);
    }
    return road.join(", ");
}

qint64 TimeOf(const QStringList& events, const QString& what) {
    for (const QString& e : events) {
        if (e.startsWith(what + u' ')) {
            return e.section(u'@', 1).toLongLong();
        }
    }
    return -1;
}

}  // namespace

class SlotLoopTest : public QObject {
    Q_OBJECT

private slots:
    // An empty slot: the update's Connect, a copy every 0.9 s on one open
    // port, alternately at 19200 and 9600 baud, each after a discard, and no
    // question.
    void emptySlotAsksQuietly() {
        VirtualScheduler clock;
        Fixture fixture;
        auto parts = std::make_shared<FixtureParts>(clock, fixture);
        SlotSettings settings;
        settings.Job.State = std::make_shared<ProcessState>();
        settings.Job.State->ModelId = {1, 2, 3};
        settings.Job.State->FirmwareVersion = {2, 15};
        SlotLoop slot(settings, parts);
        slot.Begin();
        clock.Advance(8000);
        QCOMPARE(parts->Made.size(), std::size_t{1});
        const FixturePort& port = *parts->Made[0];
        QCOMPARE(port.OpenCount, 1);
        QCOMPARE(port.Writes.size(), 9);
        QCOMPARE(port.Discards.size(), 9);
        for (int i = 0; i < port.Writes.size(); ++i) {
            QCOMPARE(port.Writes[i].Bytes.toHex(' '), QByteArray("55 82 01 02 03 02 0f da"));
            QCOMPARE(port.Writes[i].Time, i * 900);
            QCOMPARE(port.Writes[i].BaudRate, i % 2 ? 9600 : 19200);
            // What the line held (an application's text) is thrown away
            // before each copy, so that only an answer to it is heard.
            QCOMPARE(port.Discards[i].WritesBefore, i);
        }
    }

    // Each row: the fixture's script, the slot's settings, the road of the
    // slot's events, and an event that must come within a window after a
    // step of the script.
    void boardsComeAndGo_data() {
        QTest::addColumn<QList<Step>>("script");
        QTest::addColumn<bool>("manual");
        QTest::addColumn<int>("lockout");
        QTest::addColumn<int>("budget");
        QTest::addColumn<QString>("road");
        QTest::addColumn<QString>("timed");  // "event@earliest-latest"

        QTest::newRow("arrive, flash, leave in silence, arrive again")
            << QList<Step>{{500, "in"}, {6000, "out"}, {9000, "in"}, {16000, "interrupt"}} << false
            << 3 << 0 << "arrived 1, success 1, left 1, arrived 2, success 2, left 2, ended 0"
            << "arrived 2@9000-10000";
        QTest::newRow("a board still in its bootloader is flashed once, and leaves when taken out")
            << QList<Step>{{500, "stays"}, {8000, "out"}, {16000, "interrupt"}} << false << 3 << 0
            << "arrived 1, success 1, left 1, ended 0"
            << "left 1@10000-12300";
        QTest::newRow("failure, then the board is taken out (never locked out)")
            << QList<Step>{{500, "bad"}, {7000, "out"}, {16000, "interrupt"}} << false << 0 << 0
            << "arrived 1, model-error 1, left 1, ended 0"
            << "left 1@9000-11300";
        QTest::newRow("USB adapter: the port goes with the board")
            << QList<Step>{{0, "plug"}, {4000, "unplug"}, {16000, "interrupt"}} << false << 3 << 0
            << "arrived 1, success 1, left 1, ended 0"
            << "left 1@4000-5000";
        QTest::newRow("locked out after two failures, back at the operator's word")
            << QList<Step>{{500, "bad"},  {3000, "out"},      {7000, "bad"},       {9000, "out"},
                           {10000, "in"}, {14000, "release"}, {20000, "interrupt"}}
            << false << 2 << 0
            << "arrived 1, model-error 1, left 1, arrived 2, model-error 2, locked 2, left 2, "
               "arrived 3, success 3, left 3, ended 0"
            << "arrived 3@14000-15500";
        QTest::newRow("manual: a board leaves when the operator says so")
            << QList<Step>{{500, "in"}, {12000, "release"}, {16000, "interrupt"}} << true << 3 << 0
            << "arrived 1, success 1, left 1, ended 0"
            << "left 1@12000-12000";
        QTest::newRow("stop after one board: the next board is not flashed")
            << QList<Step>{{500, "in"}, {6000, "out"}, {9000, "in"}} << false << 3 << 1
            << "arrived 1, success 1, left 1, ended 0"
            << "ended 0@9000-10000";
        QTest::newRow("interrupted mid-board")
            << QList<Step>{{500, "in"}, {1200, "interrupt"}} << false << 3 << 0
            << "arrived 1, interrupted 1, ended 0"
            << "interrupted 1@1200-1200";
    }

    void boardsComeAndGo() {
        QFETCH(QList<Step>, script);
        QFETCH(bool, manual);
        QFETCH(int, lockout);
        QFETCH(int, budget);
        QFETCH(QString, road);
        QFETCH(QString, timed);
        SlotSettings settings;
        settings.ManualNext = manual;
        settings.LockoutAfter = lockout;
        if (budget > 0) {
            settings.Budget = std::make_shared<std::atomic<int>>(budget);
        }
        const QStringList events = RunSlot(script, settings);
        QCOMPARE(Road(events), road);
        const QString what = timed.section(u'@', 0, 0);
        const qint64 at = TimeOf(events, what);
        const QStringList window = timed.section(u'@', 1).split(u'-');
        QVERIFY2(at >= window[0].toLongLong() && at <= window[1].toLongLong(),
                 qPrintable(events.join(", ")));
    }
};

QTEST_GUILESS_MAIN(SlotLoopTest)
#include "tst_SlotLoop.moc"
