// Port sessions of the command line built from fakes on one virtual clock:
// the deadline, an interruption and the isolation of ports from each other,
// in milliseconds of real time.

#include <QtTest>
#include <atomic>
#include <memory>
#include <vector>

#include "Gang.h"
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

// A port whose Open does not return until let go: the session's thread is
// held as by a hung driver or disk.
class HeldPort : public SerialPort {
public:
    explicit HeldPort(std::atomic<bool>& release) : Release(release) {}
    void SetPortNumber(qint16) override {}
    bool SetSettings(const QString&) override { return true; }
    void SetBinaryInput() override {}
    void SetReceiveThreshold(int) override {}
    bool IsOpen() const override { return false; }
    bool Open() override {
        while (!Release) {
            QThread::msleep(5);
        }
        return false;
    }
    void Close() override {}
    bool Write(const QByteArray&) override { return false; }
    QByteArray ReadAll() override { return {}; }
    QByteArray DiscardInput() override { return {}; }

private:
    std::atomic<bool>& Release;
};

class HeldParts : public SessionParts {
public:
    std::unique_ptr<SerialPort> MakePort(const PortJob&) override {
        return std::make_unique<HeldPort>(Release);
    }
    std::unique_ptr<OneShotTimer> MakeTimer() override { return Real->MakeTimer(); }
    std::unique_ptr<Pause> MakePause() override { return Real->MakePause(); }
    qint64 NowMs() const override { return Real->NowMs(); }
    void Later(QObject& context, std::function<void()> work) override {
        Real->Later(context, std::move(work));
    }
    std::atomic<bool> Release{false};

private:
    std::shared_ptr<SessionParts> Real = QtSessionParts();
};

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

    // A session whose thread never comes back still ends, from the gang's
    // thread, a short grace after its deadline (as timed-out) or after it
    // was interrupted (as interrupted).
    void endsWhileTheSessionThreadIsHeld_data() {
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("interrupt");
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("detail");
        QTest::newRow("deadline") << 50 << false << "timed-out"
                                  << "no ending within 0.05 s";
        QTest::newRow("interrupted, no deadline") << 0 << true << "interrupted"
                                                  << "interrupted";
    }

    void endsWhileTheSessionThreadIsHeld() {
        QFETCH(int, timeoutMs);
        QFETCH(bool, interrupt);
        QFETCH(QString, ending);
        QFETCH(QString, detail);
        auto parts = std::make_shared<HeldParts>();
        PortJob job;
        job.Label = QStringLiteral("held");
        job.State = std::make_shared<ProcessState>();
        job.State->SessionModeUpdate = true;
        job.TimeoutMs = timeoutMs;
        std::vector<PortJob> jobs;
        jobs.push_back(job);
        Gang gang(std::move(jobs), nullptr, parts, 30);
        QList<PortResult> results;
        bool allFinished = false;
        QObject::connect(&gang, &Gang::PortFinished,
                         [&](int, const PortResult& result) { results << result; });
        QObject::connect(&gang, &Gang::AllFinished, [&] { allFinished = true; });
        QElapsedTimer clock;
        clock.start();
        gang.Start();
        if (interrupt) {
            gang.Interrupt();
        }
        QTRY_VERIFY_WITH_TIMEOUT(allFinished, 5000);
        const qint64 took = clock.elapsed();
        parts->Release = true;

        QVERIFY2(took >= timeoutMs + 30 && took < 2000, qPrintable(QString::number(took)));
        QCOMPARE(results.size(), 1);
        QCOMPARE(EndingName(results[0].Ending), ending);
        QVERIFY(results[0].HalfWritten);
        QVERIFY2(results[0].Detail.startsWith(detail + ", and the session did not stop in the "
                                                       "0.03 s after"),
                 qPrintable(results[0].Detail));
        // The thread, once let go, adds no second result.
        QTest::qWait(100);
        QCOMPARE(results.size(), 1);
    }
};

QTEST_GUILESS_MAIN(PortSessionsTest)
#include "tst_PortSessions.moc"
