#include "PortSession.h"

#include <QMetaObject>
#include <chrono>
#include <cmath>
#include <ctime>

#include "BootloaderSession.h"
#include "MessageBoxes.h"
#include "QtPlatform.h"
#include "SystemSerialPort.h"
#include "TracingPort.h"

namespace {

// How long the end of a session waits for its trace to reach the disk.
constexpr int TraceFinishMs = 1000;

double ThreadCpuSeconds() {
#ifdef CLOCK_THREAD_CPUTIME_ID
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) {
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }
#endif
    return 0;
}

// The session's own ending; Running and Closed (closed from outside before
// it came to one) give `forced`.
PortEnding EndingOf(SessionOutcome outcome, PortEnding forced) {
    switch (outcome) {
        case SessionOutcome::Success:
            return PortEnding::Success;
        case SessionOutcome::ModelError:
            return PortEnding::ModelError;
        case SessionOutcome::Refused:
            return PortEnding::Refused;
        case SessionOutcome::TransferFailure:
            return PortEnding::TransferFailure;
        case SessionOutcome::PortNotOpened:
            return PortEnding::PortNotOpened;
        case SessionOutcome::Cancelled:
            return PortEnding::Cancelled;
        case SessionOutcome::Running:
        case SessionOutcome::Closed:
            break;
    }
    return forced;
}

// A Connect header: the only packet an Update sends before its first erase.
bool IsConnectHeader(const QByteArray& bytes) {
    return bytes.size() == 8 && static_cast<std::uint8_t>(bytes[1]) == CodeConnect;
}

QString AddressText(int address) {
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper();
}

QString ModelText(const QByteArray& reply) {
    // The model bytes are bytes 7 to 9 of the Connect reply.
    if (reply.size() < 10) {
        return QStringLiteral("?");
    }
    return QStringLiteral("%1:%2:%3")
        .arg(static_cast<std::uint8_t>(reply[7]))
        .arg(static_cast<std::uint8_t>(reply[8]))
        .arg(static_cast<std::uint8_t>(reply[9]));
}

class QtParts : public SessionParts {
public:
    std::unique_ptr<SerialPort> MakePort(const PortJob& job) override {
        auto port = std::make_unique<SystemSerialPort>();
        port->SetDevicePath(job.DevicePath);
        port->SetLowLatencyWanted(true);
        return port;
    }
    std::unique_ptr<OneShotTimer> MakeTimer() override {
        return std::make_unique<QtOneShotTimer>();
    }
    std::unique_ptr<Pause> MakePause() override { return std::make_unique<QtPause>(); }
    qint64 NowMs() const override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void Later(QObject& context, std::function<void()> work) override {
        QMetaObject::invokeMethod(&context, std::move(work), Qt::QueuedConnection);
    }
};

}  // namespace

std::shared_ptr<SessionParts> QtSessionParts() {
    return std::make_shared<QtParts>();
}

QString EndingName(PortEnding ending) {
    switch (ending) {
        case PortEnding::Success:
            return QStringLiteral("success");
        case PortEnding::ModelError:
            return QStringLiteral("model-error");
        case PortEnding::Refused:
            return QStringLiteral("refused");
        case PortEnding::TransferFailure:
            return QStringLiteral("transfer-failure");
        case PortEnding::PortNotOpened:
            return QStringLiteral("port-not-opened");
        case PortEnding::Cancelled:
            return QStringLiteral("cancelled");
        case PortEnding::TimedOut:
            return QStringLiteral("timed-out");
        case PortEnding::NotSaved:
            return QStringLiteral("not-saved");
        case PortEnding::Interrupted:
            break;
    }
    return QStringLiteral("interrupted");
}

// Everything of one session that lives on its thread: the session window
// without a window. Message boxes are answered at once: a question by the
// job's retries, a message with OK is kept as the session's message.
class PortSession::Live : public SessionView, public MessageBoxes {
public:
    Live(PortSession& owner, const PortJob& job, SessionParts& parts)
        : Owner(owner),
          Trace(job.Trace),
          Port(parts.MakePort(job)),
          Traced(*Port, job.Trace ? std::function<void(const QString&)>(
                                        [this](const QString& record) { Trace.Write(record); })
                                  : std::function<void(const QString&)>()),
          Timer1(parts.MakeTimer()),
          SettleTimer(parts.MakeTimer()),
          Deadline(parts.MakeTimer()),
          Sleeper(parts.MakePause()),
          RetriesLeft(job.Retries),
          UpdateSession(job.State->SessionModeUpdate),
          Session(*job.State, Traced, *Timer1, *SettleTimer, *this, *Sleeper, *this) {
        Trace.Write(QStringLiteral("session on %1 (%2)").arg(job.Label, Describe(job)));
        Session.VerifyAfterWrite = job.Verify;
        Traced.AfterWrite = [this](const QByteArray& bytes) {
            PastConnect = PastConnect || !IsConnectHeader(bytes);
        };
        if (job.CheckOpenedPort) {
            Traced.AfterOpen = [this, check = job.CheckOpenedPort] {
                const QString warning = check();
                if (!warning.isEmpty()) {
                    Trace.Write(QStringLiteral("warning: ") + warning);
                    emit Owner.Warning(warning);
                }
            };
        }
    }

    static QString Describe(const PortJob& job) {
        const ProcessState& state = *job.State;
        return QStringLiteral("%1, model %2:%3:%4")
            .arg(state.SessionModeUpdate
                     ? QStringLiteral("update %1.%2, 0x%3 to 0x%4")
                           .arg(state.FirmwareVersion.Major)
                           .arg(state.FirmwareVersion.Minor)
                           .arg(state.ImageLowestAddress, 4, 16, QLatin1Char('0'))
                           .arg(state.ImageHighestAddress, 4, 16, QLatin1Char('0'))
                     : QStringLiteral("read"))
            .arg(state.ModelId[0])
            .arg(state.ModelId[1])
            .arg(state.ModelId[2]);
    }

    // SessionView
    void SetCaption(const QString&) override {}
    void CloseWindow() override {
        // As the window's closing: the unload handler runs now; everything
        // else goes once the session's own call has returned.
        Session.Form_Unload();
        Owner.Parts->Later(Owner, [owner = &Owner] { owner->End(); });
    }
    void SetProgress(float fraction) override {
        const int percent = static_cast<int>(std::lround(fraction * 100.0));
        if (percent == LastPercent) {
            return;
        }
        LastPercent = percent;
        emit Owner.Progress(fraction, Session.AddressPage * 256 + Session.AddressLow);
    }
    void SetProgressText(const QString&) override {}

    // MessageBoxes
    MessageAnswer Show(const QString& text, MessageIcon, MessageButtons buttons,
                       const QString&) override {
        if (buttons == MessageButtons::RetryCancel) {
            const bool retry = RetriesLeft > 0;
            if (retry) {
                --RetriesLeft;
                ++RetriesGiven;
            }
            LastQuestion = text;
            emit Owner.Question(text, retry);
            return retry ? MessageAnswer::Retry : MessageAnswer::Cancel;
        }
        Message = text;
        return MessageAnswer::Ok;
    }

    // Why the session ended where it did, and what that left on the device.
    void Explain(int timeoutMs, PortResult& result) const {
        if (result.Ending == PortEnding::Success) {
            return;
        }
        const bool update = UpdateSession;
        result.Address = Session.AddressPage * 256 + Session.AddressLow;
        result.HalfWritten = update && PastConnect;
        QStringList parts;
        const QString portError = Traced.LastError();
        if (result.Ending == PortEnding::PortNotOpened) {
            result.Address = 0;
            result.Detail =
                (portError.isEmpty() ? QStringLiteral("the port did not open") : portError) +
                QStringLiteral("; nothing was sent");
            return;
        }
        if (result.Ending == PortEnding::ModelError) {
            parts
                << QStringLiteral("the device reported model %1").arg(ModelText(Traced.LastRead()));
        } else if (result.Ending == PortEnding::TimedOut) {
            parts << QStringLiteral("no ending within %1 s").arg(timeoutMs / 1000.0);
        }
        if (!portError.isEmpty()) {
            parts << QStringLiteral("the port reported: %1").arg(portError);
        }
        if (Session.VerifyMismatch() >= 0) {
            parts << QStringLiteral(
                         "read back different from the firmware at %1 after %2 "
                         "rewrites of its block")
                         .arg(AddressText(Session.VerifyMismatch()))
                         .arg(BootloaderSession::VerifyRewriteLimit);
        }
        if (!update) {
            parts << QStringLiteral("stopped at %1; a read leaves the device unchanged")
                         .arg(AddressText(result.Address));
        } else if (PastConnect) {
            parts << QStringLiteral("stopped at %1; the device may be left half-written")
                         .arg(AddressText(result.Address));
        } else {
            parts << QStringLiteral("stopped before the first erase; the device is unchanged");
        }
        result.Detail = parts.join(QStringLiteral("; "));
    }

    PortSession& Owner;
    TraceFile Trace;
    std::unique_ptr<SerialPort> Port;
    TracingPort Traced;
    std::unique_ptr<OneShotTimer> Timer1;
    std::unique_ptr<OneShotTimer> SettleTimer;
    std::unique_ptr<OneShotTimer> Deadline;
    std::unique_ptr<Pause> Sleeper;
    int RetriesLeft;
    // The session mode as the session began (its unload clears it).
    bool UpdateSession;
    int RetriesGiven = 0;
    int LastPercent = -1;
    // Something other than Connect went out: an Update has sent its first
    // erase, so the device may no longer hold what it held.
    bool PastConnect = false;
    QString Message;
    QString LastQuestion;
    qint64 StartMs = 0;
    double CpuAtStart = 0;
    BootloaderSession Session;  // last: it lets go of the port and timers first
};

PortSession::PortSession(PortJob job, std::shared_ptr<SessionParts> parts)
    : Task(std::move(job)), Parts(std::move(parts)) {}

PortSession::~PortSession() {
    // A session that never began still owns its trace file.
    if (!Running && !Ended && Task.Trace) {
        std::fclose(Task.Trace);
    }
}

void PortSession::Begin() {
    if (Running || Ended) {
        return;
    }
    Running = std::make_unique<Live>(*this, Task, *Parts);
    Task.Trace = nullptr;  // the session's trace has it now
    Running->StartMs = Parts->NowMs();
    Running->CpuAtStart = ThreadCpuSeconds();
    if (Task.TimeoutMs > 0) {
        Running->Deadline->SetTickHandler([this] { Stop(PortEnding::TimedOut); });
        Running->Deadline->Start(Task.TimeoutMs);
    }
    Running->Session.Form_Load();
}

void PortSession::Interrupt() {
    Stop(PortEnding::Interrupted);
}

void PortSession::Stop(PortEnding why) {
    if (!Running || Ended) {
        return;
    }
    Live& live = *Running;
    live.Deadline->Stop();
    if (live.Session.IsLoaded()) {
        Forced = why;
        live.Trace.Write(why == PortEnding::TimedOut ? QStringLiteral("timed out")
                                                     : QStringLiteral("interrupted"));
        live.Session.Form_Unload();  // stops Timer1, closes the port
    }
    Parts->Later(*this, [this] { End(); });
}

void PortSession::End() {
    if (!Running || Ended) {
        return;
    }
    Ended = true;
    Live& live = *Running;
    if (live.Session.IsLoaded()) {
        live.Session.Form_Unload();
    }
    PortResult result;
    result.Ending = EndingOf(live.Session.Outcome(), Forced);
    switch (result.Ending) {
        case PortEnding::Success:
            result.Message = Task.SuccessText;
            break;
        case PortEnding::Cancelled:
            result.Message = live.LastQuestion;
            break;
        case PortEnding::Refused:
        case PortEnding::Interrupted:
        case PortEnding::TimedOut:
            break;
        default:
            result.Message = live.Message;
            break;
    }
    live.Explain(Task.TimeoutMs, result);
    result.Seconds = static_cast<double>(Parts->NowMs() - live.StartMs) / 1000.0;
    result.CpuSeconds = ThreadCpuSeconds() - live.CpuAtStart;
    result.BytesSent = live.Traced.BytesSent();
    result.BytesReceived = live.Traced.BytesReceived();
    result.Retries = live.RetriesGiven;
    if (live.UpdateSession) {
        result.Verified = live.Session.Verified();
        result.VerifySeconds = static_cast<double>(live.Session.VerifyMs()) / 1000.0;
    }
    live.Trace.Write(
        QStringLiteral("end: %1%2%3")
            .arg(EndingName(result.Ending),
                 result.Message.isEmpty() ? QString() : QStringLiteral(": ") + result.Message,
                 result.Detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(result.Detail)));
    result.TraceFailed = !live.Trace.Finish(TraceFinishMs);
    Running.reset();  // the port, the timers and the session go on their own thread
    emit Finished(result);
}
