#include "PortSession.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <cmath>
#include <ctime>

#include "BootloaderSession.h"
#include "MessageBoxes.h"
#include "QtPlatform.h"
#include "SystemSerialPort.h"
#include "TracingPort.h"

namespace {

double ThreadCpuSeconds() {
#ifdef CLOCK_THREAD_CPUTIME_ID
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) == 0) {
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }
#endif
    return 0;
}

PortEnding EndingOf(SessionOutcome outcome) {
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
    return PortEnding::Interrupted;
}

}  // namespace

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
    Live(PortSession& owner, const PortJob& job)
        : Owner(owner),
          Trace(job.Trace),
          Traced(Port, job.Trace ? std::function<void(const QString&)>(
                                       [this](const QString& record) { Trace.Write(record); })
                                 : std::function<void(const QString&)>()),
          RetriesLeft(job.Retries),
          Session(*job.State, Traced, Timer1, SettleTimer, *this, Pause, *this) {
        Port.SetDevicePath(job.DevicePath);
        Trace.Write(QStringLiteral("session on %1 (%2)").arg(job.Label, Describe(job)));
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
        QMetaObject::invokeMethod(
            &Owner, [this] { Owner.End(); }, Qt::QueuedConnection);
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

    PortSession& Owner;
    TraceFile Trace;
    SystemSerialPort Port;
    TracingPort Traced;
    QtOneShotTimer Timer1;
    QtOneShotTimer SettleTimer;
    QtPause Pause;
    int RetriesLeft;
    int RetriesGiven = 0;
    int LastPercent = -1;
    QString Message;
    QString LastQuestion;
    QElapsedTimer Clock;
    double CpuAtStart = 0;
    BootloaderSession Session;  // last: it lets go of the port and timer first
};

PortSession::PortSession(PortJob job) : Task(std::move(job)) {}

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
    Running = std::make_unique<Live>(*this, Task);
    Task.Trace = nullptr;  // the session's trace has it now
    Running->Clock.start();
    Running->CpuAtStart = ThreadCpuSeconds();
    Running->Session.Form_Load();
}

void PortSession::Interrupt() {
    if (!Running || Ended) {
        return;
    }
    if (Running->Session.IsLoaded()) {
        Running->Trace.Write(QStringLiteral("interrupted"));
        Running->Session.Form_Unload();  // stops Timer1, closes the port
    }
    End();
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
    result.Ending = EndingOf(live.Session.Outcome());
    switch (result.Ending) {
        case PortEnding::Success:
            result.Message = Task.SuccessText;
            break;
        case PortEnding::Cancelled:
            result.Message = live.LastQuestion;
            break;
        case PortEnding::Refused:
        case PortEnding::Interrupted:
            break;
        default:
            result.Message = live.Message;
            break;
    }
    result.Seconds = static_cast<double>(live.Clock.nsecsElapsed()) / 1e9;
    result.CpuSeconds = ThreadCpuSeconds() - live.CpuAtStart;
    result.BytesSent = live.Traced.BytesSent();
    result.BytesReceived = live.Traced.BytesReceived();
    result.Retries = live.RetriesGiven;
    live.Trace.Write(
        QStringLiteral("end: %1%2")
            .arg(EndingName(result.Ending),
                 result.Message.isEmpty() ? QString() : QStringLiteral(": ") + result.Message));
    result.TraceFailed = !live.Trace.Ok();
    Running.reset();  // the port, the timer and the session go on their own thread
    emit Finished(result);
}
