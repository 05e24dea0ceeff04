// Port sessions of the command line built from fakes on one virtual clock:
// the deadline, an interruption and the isolation of ports from each other,
// in milliseconds of real time.

#include <QtTest>
#include <memory>
#include <vector>

#include "PortSession.h"
#include "SessionRig.h"

namespace {

enum class Behaviour { Good, RefusesConnect, SilentAfterFirstErase, Silent };

// The parts of each session are fakes on one clock; each port's device is
// played by a ScriptedDevice with the behaviour given for its label.
class FakeParts : public SessionParts {
public:
    explicit FakeParts(VirtualScheduler& clock) : Clock(clock) {}
    std::unique_ptr<SerialPort> MakePort(const PortJob& job) override {
        auto port = std::make_unique<TestPort>(Clock);
        auto device = std::make_unique<ScriptedDevice>(*port);
        device->ReplyDelayMs = 5;
        // One clock stands for the threads of all ports here, and the pause
        // after the marker would block it for all of them.
        device->Marker = false;
        const Behaviour behaviour = Behaviours.value(job.Label);
        // Refused without the marker: resent at once, for ever.
        if (behaviour == Behaviour::RefusesConnect) {
            device->ConnectStatus = StatusRefused;
        }
        if (behaviour == Behaviour::SilentAfterFirstErase) {
            device->Plan(Kind::Write, 0x1000, Fault::Silent, 1000);
        }
        device->Dead = behaviour == Behaviour::Silent;
        Devices.push_back(std::move(device));
        return port;
    }
    std::unique_ptr<OneShotTimer> MakeTimer() override {
        return std::make_unique<ManualTimer>(Clock);
    }
    std::unique_ptr<Pause> MakePause() override { return std::make_unique<FakePause>(Clock); }
    qint64 NowMs() const override { return Clock.Now(); }
    void Later(QObject&, std::function<void()> work) override { Clock.Post(0, std::move(work)); }

    QMap<QString, Behaviour> Behaviours;

private:
    VirtualScheduler& Clock;
    std::vector<std::unique_ptr<ScriptedDevice>> Devices;
};

struct Ended {
    PortResult Result;
    qint64 At = -1;
};

// Runs the ports' sessions at once on one clock; interruptAtMs >= 0
// interrupts the first port then.
std::vector<Ended> RunPorts(const QList<std::pair<QString, Behaviour>>& ports, int timeoutMs,
                            qint64 interruptAtMs = -1) {
    VirtualScheduler clock;
    auto parts = std::make_shared<FakeParts>(clock);
    std::vector<std::unique_ptr<PortSession>> sessions;
    std::vector<Ended> ended(ports.size());
    for (qsizetype i = 0; i < ports.size(); ++i) {
        parts->Behaviours.insert(ports[i].first, ports[i].second);
        PortJob job;
        job.Label = ports[i].first;
        job.State = std::make_shared<ProcessState>();
        job.State->ModelId = {1, 2, 3};
        job.State->SessionModeUpdate = true;
        job.State->ImageLowestAddress = 0x1000;
        job.State->ImageHighestAddress = 0x17FF;
        job.TimeoutMs = timeoutMs;
        sessions.push_back(std::make_unique<PortSession>(job, parts));
        QObject::connect(sessions.back().get(), &PortSession::Finished,
                         [&ended, &clock, i](const PortResult& result) {
                             ended[i] = {result, clock.Now()};
                         });
    }
    for (auto& session : sessions) {
        session->Begin();
    }
    if (interruptAtMs >= 0) {
        clock.Post(interruptAtMs, [&] { sessions.front()->Interrupt(); });
    }
    clock.RunUntil(
        [&] {
            return std::all_of(ended.begin(), ended.end(),
                               [](const Ended& e) { return e.At >= 0; });
        },
        600000);
    return ended;
}

}  // namespace

class PortSessionsTest : public QObject {
    Q_OBJECT

private slots:
    // Whatever the first port's device does and however its session ends,
    // the good port beside it ends as it does alone, at the same moment.
    void eachPortEndsOnItsOwn_data() {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<qint64>("interruptAtMs");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<qint64>("endsAt");
        QTest::addColumn<bool>("halfWritten");
        QTest::newRow("refusing device ends at the deadline")
            << int(Behaviour::RefusesConnect) << 4000 << qint64(-1) << "timed-out" << qint64(4000)
            << false;
        QTest::newRow("silent after the first erase: at the deadline, half-written")
            << int(Behaviour::SilentAfterFirstErase) << 3500 << qint64(-1) << "timed-out"
            << qint64(3500) << true;
        QTest::newRow("without a deadline the question comes")
            << int(Behaviour::Silent) << 0 << qint64(-1) << "cancelled" << qint64(-1) << false;
        QTest::newRow("interrupted before the deadline")
            << int(Behaviour::Silent) << 9000 << qint64(2500) << "interrupted" << qint64(2500)
            << false;
    }

    void eachPortEndsOnItsOwn() {
        QFETCH(int, behaviour);
        QFETCH(int, timeoutMs);
        QFETCH(qint64, interruptAtMs);
        QFETCH(QString, ending);
        QFETCH(qint64, endsAt);
        QFETCH(bool, halfWritten);
        const std::vector<Ended> alone = RunPorts({{"good", Behaviour::Good}}, timeoutMs);
        QCOMPARE(EndingName(alone[0].Result.Ending), QStringLiteral("success"));
        QCOMPARE(alone[0].Result.Verified, std::optional<bool>(false));  // not asked for

        const std::vector<Ended> both = RunPorts(
            {{"other", Behaviour(behaviour)}, {"good", Behaviour::Good}}, timeoutMs, interruptAtMs);

        const PortResult& other = both[0].Result;
        QCOMPARE(EndingName(other.Ending), ending);
        if (endsAt >= 0) {
            QCOMPARE(both[0].At, endsAt);
            QCOMPARE(other.Seconds, endsAt / 1000.0);
        }
        QCOMPARE(other.HalfWritten, halfWritten);
        if (halfWritten) {
            QCOMPARE(other.Address, 0x1000);
            QVERIFY(
                other.Detail.contains("stopped at 0x1000; the device may be left half-written"));
        } else if (ending != "success") {
            QVERIFY2(other.Detail.contains("the device is unchanged"), qPrintable(other.Detail));
        }
        QCOMPARE(EndingName(both[1].Result.Ending), QStringLiteral("success"));
        QCOMPARE(both[1].At, alone[0].At);
    }
};

QTEST_GUILESS_MAIN(PortSessionsTest)
#include "tst_PortSessions.moc"
