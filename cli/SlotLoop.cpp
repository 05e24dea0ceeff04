#include "SlotLoop.h"

#include <algorithm>

#include "BootloaderSession.h"

namespace {

const QString HighRate = QStringLiteral("19200,N,8,1");
const QString LowRate = QStringLiteral("9600,N,8,1");
constexpr int ConnectReplyLength = 10;

// The Connect of an Update: "U", the code, the model bytes, the version and
// the XOR of the seven bytes before it.
QByteArray ConnectOf(const ProcessState& state) {
    QByteArray header(8, '\0');
    header[0] = 0x55;
    header[1] = static_cast<char>(CodeConnect);
    for (int i = 0; i < 3; ++i) {
        header[2 + i] = static_cast<char>(state.ModelId[i]);
    }
    header[5] = static_cast<char>(state.FirmwareVersion.Major);
    header[6] = static_cast<char>(state.FirmwareVersion.Minor);
    char check = 0;
    for (int i = 0; i < 7; ++i) {
        check = static_cast<char>(check ^ header[i]);
    }
    header[7] = check;
    return header;
}

// A bootloader's answer to Connect: a whole reply whose status is an
// acknowledgement or a refusal. What a running application prints is not.
bool IsConnectAnswer(const QByteArray& heard) {
    if (heard.size() < ConnectReplyLength) {
        return false;
    }
    const auto status = static_cast<std::uint8_t>(heard[0]);
    return status == StatusAck || status == StatusRefused;
}

// Each board's session gets the port that heard its answer, open as it is
// (closing and opening it again would reset a board wired for auto-reset);
// everything else comes from the slot's parts.
class HandOverParts : public SessionParts {
public:
    HandOverParts(std::shared_ptr<SessionParts> base, std::unique_ptr<SerialPort> port)
        : Base(std::move(base)), Held(std::move(port)) {}
    std::unique_ptr<SerialPort> MakePort(const PortJob& job) override {
        return Held ? std::move(Held) : Base->MakePort(job);
    }
    std::unique_ptr<OneShotTimer> MakeTimer() override { return Base->MakeTimer(); }
    std::unique_ptr<Pause> MakePause() override { return Base->MakePause(); }
    qint64 NowMs() const override { return Base->NowMs(); }
    void Later(QObject& context, std::function<void()> work) override {
        Base->Later(context, std::move(work));
    }

private:
    std::shared_ptr<SessionParts> Base;
    std::unique_ptr<SerialPort> Held;
};

}  // namespace

QString SlotStateName(SlotState state) {
    switch (state) {
        case SlotState::Waiting:
            return QStringLiteral("waiting");
        case SlotState::Flashing:
            return QStringLiteral("flashing");
        case SlotState::Leaving:
            return QStringLiteral("leaving");
        case SlotState::Manual:
            return QStringLiteral("next?");
        case SlotState::Locked:
            return QStringLiteral("locked");
        case SlotState::Stopped:
            break;
    }
    return QStringLiteral("stopped");
}

SlotLoop::SlotLoop(SlotSettings settings, std::shared_ptr<SessionParts> parts)
    : Set(std::move(settings)), Parts(std::move(parts)) {
    qRegisterMetaType<PortResult>();
    Connect = ConnectOf(*Set.Job.State);
}

SlotLoop::~SlotLoop() = default;

void SlotLoop::Begin() {
    PollTimer = Parts->MakeTimer();
    PollTimer->SetTickHandler([this] { Asking ? OnAnswerWait() : Poll(); });
    Enter(SlotState::Waiting);
    Poll();
}

void SlotLoop::Enter(SlotState state) {
    if (State == state) {
        return;
    }
    State = state;
    emit StateChanged(static_cast<int>(state));
}

// One Connect copy, on a port kept open between copies.
void SlotLoop::Poll() {
    if (State != SlotState::Waiting && State != SlotState::Leaving) {
        return;
    }
    if (!Port) {
        Port = Parts->MakePort(Set.Job);
        Port->SetPortNumber(Set.Job.Number);
        Port->SetBinaryInput();
        Port->SetCommHandler([this](SerialPort::CommEvent event) { OnComm(event); });
    }
    const QString rate = NextHigh ? HighRate : LowRate;
    NextHigh = !NextHigh;
    bool sent = true;
    if (!Port->IsOpen()) {
        Port->SetSettings(rate);
        sent = Port->Open();
        // The sessions get this port open: what is known to break serial
        // flashing is looked for here, once for each adapter plugged in.
        const QString warning =
            sent && Set.Job.CheckOpenedPort ? Set.Job.CheckOpenedPort() : QString();
        if (!warning.isEmpty()) {
            emit Warning(warning);
        }
    }
    if (sent) {
        Port->SetReceiveThreshold(0);
        Port->DiscardInput();
        Port->SetSettings(rate);
        Heard.clear();
        Port->SetReceiveThreshold(ConnectReplyLength);
        sent = Port->Write(Connect);
    }
    if (!sent) {
        // No port (the adapter is out) or it went: the board is not there.
        ClosePort();
        Unanswered();
        PollTimer->Start(Set.PollMs);
        return;
    }
    Asking = true;
    SentMs = Parts->NowMs();
    PollTimer->Start(Set.AnswerWaitMs);
}

void SlotLoop::PollAgain() {
    const qint64 since = Parts->NowMs() - SentMs;
    PollTimer->Start(static_cast<int>(std::clamp<qint64>(Set.PollMs - since, 0, Set.PollMs)));
}

void SlotLoop::OnComm(SerialPort::CommEvent event) {
    if (!Port) {
        return;
    }
    if (event == SerialPort::CommEvent::LineError) {
        return;  // a port that closed itself (its device went) is opened again by the next copy
    }
    if (!Asking) {
        Port->ReadAll();  // what a running application says between copies
        return;
    }
    Heard += Port->ReadAll();
    if (Heard.size() < ConnectReplyLength) {
        return;
    }
    Asking = false;
    Port->SetReceiveThreshold(0);
    if (IsConnectAnswer(Heard)) {
        PollTimer->Stop();
        // Not from inside the port's own handler: the port goes to the
        // board's session.
        Parts->Later(*this, [this] { Answered(); });
    } else {
        PollAgain();
        Unanswered();
    }
}

void SlotLoop::OnAnswerWait() {
    Asking = false;
    if (Port) {
        Port->SetReceiveThreshold(0);
    }
    PollAgain();
    Unanswered();
}

void SlotLoop::Answered() {
    if (!PollTimer) {
        return;  // stopped meanwhile
    }
    if (State == SlotState::Waiting) {
        StartBoard();
        return;
    }
    LastAnswerMs = Parts->NowMs();  // the board is still in
    PollAgain();
}

void SlotLoop::Unanswered() {
    if (State != SlotState::Leaving) {
        return;
    }
    if (!Port || Parts->NowMs() - LastAnswerMs >= Set.LeaveMs) {
        emit BoardLeft(Board);
        Enter(SlotState::Waiting);
    }
}

void SlotLoop::ClosePort() {
    Asking = false;
    if (Port) {
        Port->SetCommHandler({});
        Port->Close();
        Port.reset();
    }
}

void SlotLoop::StartBoard() {
    if (Finishing || (Set.Budget && Set.Budget->fetch_sub(1) <= 0)) {
        Stop();
        return;
    }
    ++Board;
    PortJob job = Set.Job;
    job.State = std::make_shared<ProcessState>(*Set.Job.State);
    job.Trace = Set.TraceOf ? Set.TraceOf(Board) : nullptr;
    Port->SetCommHandler({});
    Session = std::make_unique<PortSession>(
        std::move(job), std::make_shared<HandOverParts>(Parts, std::move(Port)));
    connect(Session.get(), &PortSession::Progress, this, &SlotLoop::Progress);
    connect(Session.get(), &PortSession::Question, this, &SlotLoop::Question);
    connect(Session.get(), &PortSession::Warning, this, &SlotLoop::Warning);
    connect(Session.get(), &PortSession::Finished, this, &SlotLoop::OnSessionFinished);
    Enter(SlotState::Flashing);
    emit BoardArrived(Board);
    Session->Begin();
    if (Interrupting) {
        Session->Interrupt();
    }
}

void SlotLoop::OnSessionFinished(const PortResult& result) {
    // The session is over on this thread; it goes once its call has returned.
    Parts->Later(*this, [this] { Session.reset(); });
    emit BoardFinished(Board, result);
    FailuresInRow = result.Ending == PortEnding::Success ? 0 : FailuresInRow + 1;
    if (Finishing) {
        Stop();
        return;
    }
    LastAnswerMs = Parts->NowMs();
    if (Set.LockoutAfter > 0 && FailuresInRow >= Set.LockoutAfter) {
        Enter(SlotState::Locked);
        emit LockedOut(FailuresInRow);
        return;
    }
    Enter(Set.ManualNext ? SlotState::Manual : SlotState::Leaving);
    if (State == SlotState::Leaving) {
        Poll();
    }
}

// The operator has seen to the slot: whatever board is in it now is a new
// one (a locked slot's operator has checked the fixture and put a board in).
void SlotLoop::Release() {
    if (State != SlotState::Manual && State != SlotState::Locked) {
        return;
    }
    FailuresInRow = 0;
    emit BoardLeft(Board);
    Enter(SlotState::Waiting);
    Poll();
}

void SlotLoop::Finish() {
    Finishing = true;
    if (!Session) {
        Stop();
    }
}

void SlotLoop::Interrupt() {
    Interrupting = true;
    Finish();
    if (Session) {
        Session->Interrupt();
    }
}

void SlotLoop::Stop() {
    if (State == SlotState::Stopped && !PollTimer) {
        return;
    }
    PollTimer.reset();
    ClosePort();
    Enter(SlotState::Stopped);
    emit Ended();
}
