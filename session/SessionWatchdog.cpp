// The session's watchdog (Timer1): it resends what goes unanswered and,
// after repeated silence, asks the operator whether to go on.
#include "BootloaderSession.h"

#include <algorithm>
#include <limits>

namespace {

constexpr int SilentResendsBeforeQuestion = 5;
constexpr int UnrecognisedReplyWatchMs = 3000;

}  // namespace

// An unrecognised reply on a clean line: the watchdog resends 3 s after the
// first one; more of them do not put the resend off again, so a line that
// keeps sending text meets the watchdog's resends and its question.
void BootloaderSession::KeepWaiting() {
    const qint64 now = Timer1.NowMs();
    if (!WaitExtended) {
        WaitExtended = true;
        WaitUntilMs = now + std::max(UnrecognisedReplyWatchMs, Link.WatchMs(LastKind()));
    }
    AwaitingReply = true;
    Timer1.Start(static_cast<int>(std::max<qint64>(1, WaitUntilMs - now)));
}

// A data block whose reply never came is not resent on its own: the block is
// announced again with its WriteMemory header, read as a command reply.
void BootloaderSession::ResendAfterSilence() {
    if (CommandHeader[1] == CodeWriteMemory && ReplyPhase == 2) {
        NextPhase = 1;
    }
    Link.TimedOut();
    if (Owed.IsOwed()) {
        // Silence after a WriteMemory or its data block: the device may have
        // acknowledged the header and wait for the block.
        SendNext(QStringLiteral("Retry"));
        return;
    }
    SendCommand(QStringLiteral("Retry"));
}

// The watchdog's move after a silence: the request again, or, while the line
// settles (nothing is outstanding), another second of watching it.
void BootloaderSession::WatchAgain() {
    if (Link.IsSettling()) {
        Timer1.Start(SendWatchMs);
    } else {
        ResendAfterSilence();
    }
}

void BootloaderSession::Timer1_Timer() {
    if (!Loaded) {
        return;
    }
    Timer1.Stop();
    if (CloseRequested) {
        View.CloseWindow();
        return;
    }
    if (Ending != SessionOutcome::Running) {
        return;  // only the closing tick acts once the session has ended
    }
    if ((!AwaitingReply && !Link.IsSettling()) || WatchdogBusy) {
        return;
    }
    WatchdogBusy = true;
    CountRetry();
    if (RetryCount > SilentResendsBeforeQuestion) {
        RetryCount = 0;
        const MessageAnswer answer =
            Messages.Show(State.EnglishUi ? QStringLiteral("Check connection!Retry or cancel?")
                                          : QStringLiteral("检测连接！重试或取消？"),
                          MessageIcon::Critical, MessageButtons::RetryCancel, State.AppTitle);
        // A reply that came while the question was open may have ended the
        // session; its close is then pending and nothing more is sent.
        if (!Running() || CloseRequested) {
            return;
        }
        // Nobody watched the line meanwhile: its quiet counts from now.
        Link.RestartQuiet();
        if (answer == MessageAnswer::Retry) {
            // A reply that came while the operator was asked has moved the
            // session on, and Timer1 already watches what came since. Asking
            // for the request again would put a second answer on the line.
            // Only when nothing is watched any more (no reply came, or its
            // tick fell into the question) does the watchdog go on.
            if (!Timer1.IsActive()) {
                WatchAgain();
            }
            WatchdogBusy = false;
        } else {
            DecideEnding(SessionOutcome::Cancelled);
            EndSession(CloseAtOnceMs);
        }
    } else {
        WatchAgain();
        WatchdogBusy = false;
    }
}

// Refusals are resent without limit, so the count stops at its top instead
// of running over.
void BootloaderSession::CountRetry() {
    if (RetryCount < std::numeric_limits<std::int16_t>::max()) {
        ++RetryCount;
    }
}
