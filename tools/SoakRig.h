#pragma once

#include <QMap>

// Runs soak sessions in-process: the session logic with the program's real
// serial port against the simulated device on a pseudo-terminal, on one
// event loop, with every interval of the program and of the device scaled
// by one time scale.

#include <QTemporaryDir>
#include <array>
#include <functional>
#include <memory>
#include <random>

#include "MessageBoxes.h"
#include "OneShotTimer.h"
#include "Pause.h"
#include "QtPlatform.h"
#include "QtSerialPort.h"
#include "SimulatedDevice.h"
#include "SoakJudge.h"
#include "SoakPlan.h"

// An interval of the program at time scale `scale`; never 0 for a positive
// interval, so that "soon" stays later than "now".
int ScaledMs(int milliseconds, double scale);

// Which boxes are open, and what reaches the session meanwhile.
struct BoxWatch {
    int OpenBoxes = 0;
    int SerialEvents = 0;  // port events delivered while a box was open
    int TimerTicks = 0;    // Timer1 ticks delivered while a box was open
};

// Timer1 with every interval scaled.
class ScaledTimer : public OneShotTimer {
public:
    ScaledTimer(OneShotTimer& inner, double scale, BoxWatch* watch = nullptr);
    void Start(int milliseconds) override { Inner.Start(ScaledMs(milliseconds, Scale)); }
    void Stop() override { Inner.Stop(); }
    bool IsActive() const override { return Inner.IsActive(); }
    // The program's time: real time divided by the scale.
    qint64 NowMs() const override {
        return static_cast<qint64>(static_cast<double>(Inner.NowMs()) / Scale);
    }

private:
    OneShotTimer& Inner;
    double Scale;
};

// The pause of the session, scaled; Before runs first (the device putting
// bytes on the line while the program is blocked).
class ScaledPause : public Pause {
public:
    ScaledPause(Pause& inner, double scale) : Inner(inner), Scale(scale) {}
    void Sleep(int milliseconds) override {
        if (Before) {
            Before();
        }
        Inner.Sleep(ScaledMs(milliseconds, Scale));
    }
    std::function<void()> Before;

private:
    Pause& Inner;
    double Scale;
};

// The port of the session window, passed through to the real one; counts
// what arrives while a box is open.
class WatchedPort : public SerialPort {
public:
    WatchedPort(SerialPort& inner, BoxWatch& watch);
    ~WatchedPort() override { Inner.SetCommHandler({}); }
    void SetPortNumber(qint16 n) override { Inner.SetPortNumber(n); }
    bool SetSettings(const QString& settings) override { return Inner.SetSettings(settings); }
    void SetBinaryInput() override { Inner.SetBinaryInput(); }
    void SetReceiveThreshold(int n) override { Inner.SetReceiveThreshold(n); }
    bool IsOpen() const override { return Inner.IsOpen(); }
    bool Open() override { return Inner.Open(); }
    void Close() override { Inner.Close(); }
    bool Write(const QByteArray& bytes) override;
    QByteArray ReadAll() override { return Inner.ReadAll(); }
    QByteArray DiscardInput() override { return Inner.DiscardInput(); }

    int FailedWrites = 0;
    int LineErrors = 0;

private:
    SerialPort& Inner;
};

// The operator: answers every box, records it, and now and then keeps a box
// open for a while with a nested event loop, as a modal box does.
class SoakOperator : public MessageBoxes {
public:
    SoakOperator(double scale, BoxWatch& watch) : Scale(scale), Watch(watch) {}
    // sessionOver tells whether the session has ended or is closing.
    void BeginSession(const SessionPlan& plan, SessionRecord* record,
                      std::function<bool()> sessionOver);
    void EndSession() {
        Record = nullptr;
        SessionOver = {};
    }
    // The main window's message after the session window has closed.
    void ShowAsCaller(const QString& text);
    MessageAnswer Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                       const QString& title) override;

    int Questions = 0;
    int Retries = 0;
    int Cancels = 0;
    int Held = 0;

private:
    double Scale;
    BoxWatch& Watch;
    SessionRecord* Record = nullptr;
    std::function<bool()> SessionOver;
    std::mt19937 Dice;
    double RetryChance = 0.8;
    int GiveUpAfter = 8;
    double HoldChance = 0;
    int HoldMaxMs = 0;
    int FirstQuestionHoldMs = 0;
    int SessionQuestions = 0;
    bool Caller = false;
};

struct RigTotals {
    std::array<int, FaultKindCount> ByFault{};
    int LostDataReplies = 0;  // DropReply on data blocks (in ByFault too)
    int SplitReplies = 0;
    int LateReplies = 0;
    int PauseStrays = 0;  // sessions whose device sent bytes during the pause
    int PortMissing = 0;
    int PortBusy = 0;
    int OperatorCloses = 0;
    int Exchanges = 0;
    int FailedWrites = 0;
    int LineErrors = 0;
    int SkippedBytes = 0;
    int DroppedPartials = 0;
    int UnerasedWrites = 0;
    // By the board's kind (SessionPlan::BoardKind): sessions, and of them
    // those that ended in success.
    QMap<QString, std::pair<int, int>> Boards;
};

class SoakRig {
public:
    explicit SoakRig(double timeScale);
    ~SoakRig();
    // Makes the temporary store root and starts the device behind COM99.
    bool Start(QString* error);
    // Runs one session and fills in what it left behind. False with the
    // reason when the session could not be set up.
    bool Run(const SessionPlan& plan, SessionRecord& record, QString* error);

    double TimeScale() const { return Scale; }
    void SetSessionTimeoutMs(int ms) { SessionTimeoutMs = ms; }
    int SessionTimeout() const { return SessionTimeoutMs; }
    // The device's quiet gap: scaled like every interval, but not below
    // QuietGapFloorMs of real time (below that, scheduling on a loaded
    // machine rather than the protocol would decide whether a data block came
    // in time), and at most half the watchdog's interval, so that a header
    // resent after silence is always read afresh.
    int QuietGapMs() const;
    // The device's traffic of the last session, newest last.
    QStringList LastTraffic(int records) const;

    RigTotals Totals;
    BoxWatch Watch;
    SoakOperator Operator;

    // At time scale 1: the device's quiet gap and the program's resend interval.
    static constexpr int DeviceQuietGapMs = 200;
    static constexpr int WatchdogMs = 1000;
    static constexpr int QuietGapFloorMs = 50;

private:
    bool PrepareDevice(const SessionPlan& plan, QString* error);
    void OnRequestHandled(ExchangeKind kind, FaultKind fault);
    void OnRequestBytes(const QByteArray& bytes);

    double Scale;
    int SessionTimeoutMs;
    QTemporaryDir Root;
    SimulatedDevice Device;
    QtPause RealPause;
    std::mt19937 Dice;
    const SessionPlan* Plan = nullptr;
    SessionRecord* Record = nullptr;
    int Connects = 0;         // Connect requests of the session so far
    bool ReplySplit = false;  // the reply to the request being handled comes in two pieces
    bool ReplyLate = false;   // its second piece after the watchdog's second
};
