#include "BootloaderSession.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr int BlockSize = 128;
constexpr int ReadBlockLength = 0x80;
constexpr std::uint8_t ReadMarker = 0x52;   // "R"
constexpr std::uint8_t HeaderStart = 0x55;  // "U"
constexpr int ReadSessionGoAddress = 0x9000;
constexpr int RetryLimit = 10;
constexpr int SilentResendsBeforeQuestion = 5;

constexpr int SendWatchMs = 1000;
constexpr int UnrecognisedReplyWatchMs = 3000;
constexpr int CloseAtOnceMs = 1;
constexpr int CloseAfterFailureMs = 10;
constexpr int MarkerPauseMs = 100;

const QString HighRate = QStringLiteral("19200,N,8,1");
const QString LowRate = QStringLiteral("9600,N,8,1");

std::uint8_t XorOf(const char* bytes, int count) {
    std::uint8_t x = 0;
    for (int i = 0; i < count; ++i) {
        x ^= static_cast<std::uint8_t>(bytes[i]);
    }
    return x;
}

std::uint8_t At(const QByteArray& r, int i) {
    return static_cast<std::uint8_t>(r[i]);
}

}  // namespace

BootloaderSession::BootloaderSession(ProcessState& state, SerialPort& msComm1, OneShotTimer& timer1,
                                     OneShotTimer& settleTimer, MessageBoxes& messages,
                                     Pause& pause, SessionView& view)
    : State(state),
      MSComm1(msComm1),
      Timer1(timer1),
      SettleTimer(settleTimer),
      Messages(messages),
      Sleeper(pause),
      View(view) {
    MSComm1.SetCommHandler([this](SerialPort::CommEvent event) { MSComm1_OnComm(event); });
    Timer1.SetTickHandler([this] { Timer1_Timer(); });
    SettleTimer.SetTickHandler([this] { SettleTimer_Timer(); });
}

BootloaderSession::~BootloaderSession() {
    Timer1.Stop();
    SettleTimer.Stop();
    MSComm1.SetCommHandler({});
    Timer1.SetTickHandler({});
    SettleTimer.SetTickHandler({});
}

std::int32_t BootloaderSession::Low() const {
    return std::clamp<std::int32_t>(State.ImageLowestAddress, 0, ImageSize - 1);
}

// The image has 16-bit addresses: a bound beyond it would make the page byte
// wrap round and erase the bottom of the device.
std::int32_t BootloaderSession::High() const {
    return std::clamp<std::int32_t>(State.ImageHighestAddress, 0, ImageSize - 1);
}

void BootloaderSession::DecideEnding(SessionOutcome outcome) {
    if (Ending == SessionOutcome::Running) {
        Ending = outcome;
    }
}

void BootloaderSession::Form_Load() {
    Loaded = true;
    Ending = SessionOutcome::Running;
    Settling = false;
    CopiesSpanMs = 0;
    RequestArmedMs = 0;
    RetryCount = 0;
    WatchdogBusy = false;
    MSComm1.SetPortNumber(State.ComPortNumber);
    NextBaudHigh = true;
    MSComm1.SetBinaryInput();
    MSComm1.SetReceiveThreshold(0);
    View.SetProgress(0.0f);
    State.SessionSucceeded = false;
    CloseRequested = false;

    if (!State.SessionModeUpdate && !State.SessionModeReadFirmware) {
        return;  // nothing to do: the window waits until the operator closes it
    }

    // Connect, with its check byte built up as each byte is stored. It is
    // built once: every resend sends these same eight bytes.
    CommandHeader[0] = HeaderStart;
    CommandHeader[7] = CommandHeader[0];
    CommandHeader[1] = CodeConnect;
    CommandHeader[7] ^= CommandHeader[1];
    for (int i = 0; i < 3; ++i) {
        CommandHeader[2 + i] = State.ModelId[i];
        CommandHeader[7] ^= CommandHeader[2 + i];
    }
    HeaderLength = 8;
    ReplyLength = 10;
    NextPhase = 1;
    if (IsUpdate()) {
        CommandHeader[5] = State.FirmwareVersion.Major;
        CommandHeader[6] = State.FirmwareVersion.Minor;
    } else {
        CommandHeader[5] = 0xFF;
        CommandHeader[6] = 0xFF;
    }
    CommandHeader[7] ^= CommandHeader[5];
    CommandHeader[7] ^= CommandHeader[6];

    SendCommand(IsUpdate() ? StepUpdate() : StepReadFirmware());
}

// Whatever closes the window, also before the load handler ran: the main
// window's request is over.
void BootloaderSession::Form_Unload() {
    State.SessionModeUpdate = false;
    State.SessionModeReadFirmware = false;
    if (!Loaded) {
        return;
    }
    Loaded = false;
    DecideEnding(SessionOutcome::Closed);
    // Nothing may tick into a closed window.
    Timer1.Stop();
    SettleTimer.Stop();
    Settling = false;
    if (MSComm1.IsOpen()) {
        MSComm1.Close();
    }
}

void BootloaderSession::ArmWatch(int milliseconds) {
    Timer1.Start(milliseconds);
    RequestArmedMs += milliseconds;
}

void BootloaderSession::WriteHeader() {
    ArmWatch(SendWatchMs);
    // Reply bytes are counted from the first byte after the send: whatever
    // came before, also what the system still holds, is not part of it.
    MSComm1.DiscardInput();
    ReplyPhase = NextPhase;
    MSComm1.SetReceiveThreshold(ReplyLength);
    MSComm1.Write(QByteArray(reinterpret_cast<const char*>(CommandHeader.data()), HeaderLength));
}

// A request that has not gone out before. When the request answered last went
// out more than once, the line settles first.
void BootloaderSession::SendNext(const QString& stepName) {
    if (CopiesSpanMs > 0) {
        StartSettle(stepName);
        return;
    }
    RequestArmedMs = 0;
    SendCommand(stepName);
}

// The request now outstanding, once more. A crossable resend is one that a
// late answer to an earlier copy can cross: after silence (the answer may
// merely be late) or after a reply that is no answer of the protocol (an
// unrecognised status byte, a reply cut short: a stray byte taken for the
// answer makes the real answer come later). A refusal (0x1F) or a read block
// whose check byte is wrong is the device's answer to that copy, given in
// time: resent at once, it makes the request crossable only when it already
// was, so that a device that answers in time meets the packets and timing of
// a plain session also when it refuses.
void BootloaderSession::Resend(const QString& stepName, bool crossable) {
    if (crossable || CopiesSpanMs > 0) {
        // Every copy so far went out within the watch time armed since the
        // first one (each send arms its watch before the next can go out).
        CopiesSpanMs = std::max(RequestArmedMs, 1);
    }
    SendCommand(stepName);
}

// Why the line settles, and for how long. The copies of the request went out
// over at most CopiesSpanMs. The device needs about the same time to answer
// each copy, so any answer still to come arrives within that span after the
// one that was taken, and the gap between two of them is no longer than it.
// The quiet time is that span (no guess about the device: the session's own
// watch intervals bound it) plus a margin for an answer somewhat slower than
// the first; each byte that comes starts the quiet time again, and all that
// comes is thrown away. A line that never goes quiet does not hold the
// session: Timer1 ends the wait after SettleLimitFactor quiet times, and the
// request then goes out as it would have, watched as every request is.
// Meanwhile no request is outstanding: the watchdog has nothing to resend.
void BootloaderSession::StartSettle(const QString& stepName) {
    Settling = true;
    SettleStep = stepName;
    SettleQuietMs = std::min(CopiesSpanMs, SettleSpanLimitMs) + SettleMarginMs;
    CopiesSpanMs = 0;
    RequestArmedMs = 0;
    AwaitingReply = false;
    ReplyPhase = 0;
    MSComm1.DiscardInput();
    MSComm1.SetReceiveThreshold(1);
    SettleTimer.Start(SettleQuietMs);
    Timer1.Start(SettleQuietMs * SettleLimitFactor);
}

void BootloaderSession::EndSettle() {
    Settling = false;
    SettleTimer.Stop();
    SendCommand(SettleStep);
}

void BootloaderSession::SettleTimer_Timer() {
    SettleTimer.Stop();
    if (Running() && Settling) {
        EndSettle();
    }
}

void BootloaderSession::SendCommand(const QString& stepName) {
    if (!Running()) {
        return;
    }
    AwaitingReply = true;
    if (CommandHeader[1] == CodeConnect) {
        if (MSComm1.IsOpen()) {
            MSComm1.DiscardInput();
        }
        // An unanswered Connect is tried at the other line rate each time.
        if (NextBaudHigh) {
            MSComm1.SetSettings(HighRate);
            NextBaudHigh = false;
        } else {
            MSComm1.SetSettings(LowRate);
            NextBaudHigh = true;
        }
    }

    if (stepName == StepUpdate() || stepName == StepReadFirmware()) {
        ReplyPhase = 0;
        const bool opened = MSComm1.IsOpen() || MSComm1.Open();
        if (!opened) {
            DecideEnding(SessionOutcome::PortNotOpened);
            Messages.Show(State.EnglishUi ? QStringLiteral("Please reselect COM port!")
                                          : QStringLiteral("请重新选择端口！"),
                          MessageIcon::Critical, MessageButtons::Ok, State.AppTitle);
            if (!Loaded) {
                return;
            }
            CloseRequested = true;
            Timer1.Start(CloseAtOnceMs);
            return;
        }
        View.SetCaption(stepName);
    }
    WriteHeader();
}

void BootloaderSession::SendDataBlock() {
    if (!Running()) {
        return;
    }
    RequestArmedMs = 0;
    const int start = CommandHeader[3] * 256 + CommandHeader[4];
    const int n = CommandHeader[5];
    QByteArray block(n + 1, '\0');
    std::uint8_t x = 0;
    for (int i = 0; i < n; ++i) {
        // A block never crosses the end of its 128-byte block, so start + i
        // stays inside the image.
        const std::uint8_t b = State.FirmwareImage[(start + i) % ImageSize];
        block[i] = static_cast<char>(b);
        x ^= b;
    }
    block[n] = static_cast<char>(x);
    ReplyPhase = NextPhase;
    MSComm1.SetReceiveThreshold(ReplyLength);
    MSComm1.Write(block);
    ArmWatch(SendWatchMs);
    // The watchdog watches the block's reply too: when it never comes, the
    // block is announced again (see ResendAfterSilence).
    AwaitingReply = true;
}

void BootloaderSession::EndSession(int delayMs) {
    if (!Loaded) {
        return;
    }
    if (MSComm1.IsOpen()) {
        MSComm1.Close();
    }
    SettleTimer.Stop();
    Settling = false;
    CloseRequested = true;
    Timer1.Start(delayMs);
}

void BootloaderSession::ShowProgress() {
    double f = 1.0;
    if (AddressPage < 256 && High() > Low()) {
        f = static_cast<double>(Current() - Low()) / static_cast<double>(High() - Low());
    }
    // An image of one byte (Low = High) has nothing left to divide: it shows
    // as complete.
    f = std::clamp(f, 0.0, 1.0);
    View.SetProgress(static_cast<float>(f));
    const long percent = std::lround(f * 100.0);
    // "###%": no digit at all when the percentage rounds to 0.
    View.SetProgressText(QStringLiteral("Complete:") +
                         (percent == 0 ? QString() : QString::number(percent)) +
                         QStringLiteral("%"));
}

void BootloaderSession::MSComm1_OnComm(SerialPort::CommEvent event) {
    if (!Loaded || event != SerialPort::CommEvent::DataReceived) {
        return;
    }
    if (Ending != SessionOutcome::Running) {
        // Behind the ending's message box: read and dropped, it changes nothing.
        MSComm1.ReadAll();
        return;
    }
    if (Settling) {
        // The line is not quiet yet: thrown away, and the quiet starts again.
        MSComm1.DiscardInput();
        SettleTimer.Start(SettleQuietMs);
        return;
    }
    const QByteArray r = MSComm1.ReadAll();
    AwaitingReply = false;
    Timer1.Stop();
    if (ReplyPhase == 1) {
        CommandReply(r);
    } else if (ReplyPhase == 2) {
        BlockReply(r);
    }
}

void BootloaderSession::CommandReply(const QByteArray& r) {
    const std::uint8_t command = CommandHeader[1];
    // A reply shorter than awaited (its bytes were thrown away after the event
    // was raised) is not recognised: it is never read beyond its end.
    const bool whole = r.size() >= ReplyLength && !r.isEmpty();
    const std::uint8_t status = whole ? At(r, 0) : 0;

    if (whole && status == StatusAck && command == CodeConnect) {
        ConnectAccepted(r);
    } else if (whole && status == StatusAck && command == CodeWriteMemory) {
        if (CopiesSpanMs > 0) {
            // The acknowledgement may belong to another copy of the header.
            // The data block must follow its acknowledgement at once, so it
            // cannot wait for the line to settle: the block is announced
            // again once the line is quiet, and follows that answer.
            StartSettle(QStringLiteral("WriteMemory"));
            return;
        }
        ReplyLength = 1;
        NextPhase = 2;
        SendDataBlock();
    } else if (whole && status == StatusAck && command == CodeGoApplication) {
        DecideEnding(SessionOutcome::Success);
        MSComm1.Close();
        MSComm1.SetReceiveThreshold(0);
        CloseRequested = true;
        State.SessionSucceeded = true;
        Timer1.Start(CloseAtOnceMs);
    } else if (whole && status == StatusRefused && command == CodeConnect && IsUpdate() &&
               At(r, 1) == ModelMarker) {
        DecideEnding(SessionOutcome::Refused);
        EndSession(CloseAfterFailureMs);  // the device refuses the update
    } else if (whole && status == StatusRefused) {
        Resend(QStringLiteral("Retry"), false);
        CountRetry();
    } else if (!whole || status != StatusAck) {
        AwaitingReply = true;
        ArmWatch(UnrecognisedReplyWatchMs);
    }
}

void BootloaderSession::ConnectAccepted(const QByteArray& r) {
    AddressLow = static_cast<std::int16_t>(Low() % 256);
    AddressPage = static_cast<std::int16_t>(Low() / 256);
    const bool marker = At(r, 1) == ModelMarker;

    if (IsUpdate() && marker &&
        (At(r, 7) != State.ModelId[0] || At(r, 8) != State.ModelId[1] ||
         At(r, 9) != State.ModelId[2])) {
        DecideEnding(SessionOutcome::ModelError);
        Messages.Show(QStringLiteral("Model Error！"), MessageIcon::Critical, MessageButtons::Ok,
                      State.AppTitle);
        EndSession(CloseAfterFailureMs);
        return;
    }
    if (marker) {
        MSComm1.SetSettings(HighRate);
        NextBaudHigh = false;
        Sleeper.Sleep(MarkerPauseMs);
    }

    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(AddressPage);
    CommandHeader[4] = 0;
    if (IsUpdate()) {
        const std::int32_t block = Current() & ~(BlockSize - 1);
        ErasedBlock = block;
        CommandHeader[1] = CodeEraseMemory;
        CommandHeader[3] = static_cast<std::uint8_t>(block / 256);
        CommandHeader[4] = static_cast<std::uint8_t>(block % 256);
        HeaderLength = 5;
        ReplyLength = 1;
        NextPhase = 2;
    } else {
        // The first request goes to AddressPage * 256, the start of the page.
        CommandHeader[1] = CodeReadMemory;
        CommandHeader[5] = ReadBlockLength;
        CommandHeader[6] = ReadMarker;
        HeaderLength = 7;
        ReplyLength = ReadBlockLength + 1;
        NextPhase = 2;
    }
    SendNext(QStringLiteral("EraseMemory"));
}

void BootloaderSession::BlockReply(const QByteArray& r) {
    const std::uint8_t command = CommandHeader[1];
    if (command == CodeReadMemory) {
        ReadBlockReceived(r);
        return;
    }
    const bool whole = r.size() >= ReplyLength && !r.isEmpty();
    if (whole && At(r, 0) == StatusAck) {
        if (command == CodeWriteMemory) {
            Advance(CommandHeader[5]);
        }
        ShowProgress();
        NextUpdateStep();
        return;
    }
    if (command == CodeWriteMemory) {
        // Announce the block again: its acknowledgement is then read as a
        // command reply, after which the block itself is sent again.
        NextPhase = 1;
    }
    if (RetryCount < RetryLimit) {
        Resend(QStringLiteral("Retry"), !whole || At(r, 0) != StatusRefused);
        CountRetry();
    } else {
        TransferFailure();
    }
}

void BootloaderSession::ReadBlockReceived(const QByteArray& r) {
    const int n = CommandHeader[5];
    const int start = CommandHeader[3] * 256 + CommandHeader[4];
    // Byte 0 is data whatever its value; only the check byte tells a good
    // block from a bad one. A short reply counts as a bad one.
    if (r.size() < n + 1 || XorOf(r.constData(), n) != At(r, n)) {
        if (RetryCount < RetryLimit) {
            Resend(QStringLiteral("ReadMemory"), r.size() < n + 1);
            CountRetry();
        } else {
            TransferFailure();
        }
        return;
    }
    for (int i = 0; i < n && start + i < ImageSize; ++i) {
        State.FirmwareImage[start + i] = At(r, i);
    }
    Advance(n);
    ShowProgress();
    if (Current() <= High()) {
        CommandHeader[3] = static_cast<std::uint8_t>(AddressPage);
        CommandHeader[4] = static_cast<std::uint8_t>(AddressLow);
        CommandHeader[5] = ReadBlockLength;
        NextPhase = 2;
        ReplyLength = ReadBlockLength + 1;
        SendNext(QStringLiteral("ReadMemory"));
    } else {
        CommandHeader[1] = CodeGoApplication;
        CommandHeader[2] = 0;
        CommandHeader[3] = ReadSessionGoAddress / 256;
        CommandHeader[4] = ReadSessionGoAddress % 256;
        HeaderLength = 5;
        ReplyLength = 1;
        NextPhase = 1;
        SendNext(QStringLiteral("GoApplication"));
    }
}

void BootloaderSession::NextUpdateStep() {
    const std::int32_t cur = Current();
    if (cur > High()) {
        CommandHeader[1] = CodeGoApplication;
        CommandHeader[2] = 0;
        CommandHeader[3] = static_cast<std::uint8_t>(Low() / 256);
        CommandHeader[4] = static_cast<std::uint8_t>(Low() % 256);
        HeaderLength = 5;
        ReplyLength = 1;
        NextPhase = 1;
        SendNext(QStringLiteral("GoApplication"));
        return;
    }
    const std::int32_t block = cur & ~(BlockSize - 1);
    if (block != ErasedBlock) {
        ErasedBlock = block;
        CommandHeader[1] = CodeEraseMemory;
        CommandHeader[2] = 0;
        CommandHeader[3] = static_cast<std::uint8_t>(block / 256);
        CommandHeader[4] = static_cast<std::uint8_t>(block % 256);
        HeaderLength = 5;
        ReplyLength = 1;
        NextPhase = 2;
        SendNext(QStringLiteral("EraseMemory"));
        return;
    }
    const std::int32_t n = std::min(BlockSize - cur % BlockSize, High() - cur + 1);
    CommandHeader[1] = CodeWriteMemory;
    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(AddressPage);
    CommandHeader[4] = static_cast<std::uint8_t>(AddressLow);
    CommandHeader[5] = static_cast<std::uint8_t>(n);
    HeaderLength = 6;
    ReplyLength = 1;
    NextPhase = 1;
    SendNext(QStringLiteral("WriteMemory"));
}

void BootloaderSession::TransferFailure() {
    DecideEnding(SessionOutcome::TransferFailure);
    Messages.Show(QStringLiteral("读写失败,地址 = ") + QString::number(AddressPage, 16).toUpper() +
                      QString::number(AddressLow, 16).toUpper(),
                  MessageIcon::Critical, MessageButtons::Ok, State.AppTitle);
    EndSession(CloseAfterFailureMs);
}

void BootloaderSession::Advance(int n) {
    AddressLow = static_cast<std::int16_t>(AddressLow + n);
    if (AddressLow >= 256) {
        AddressLow = static_cast<std::int16_t>(AddressLow - 256);
        AddressPage = static_cast<std::int16_t>(AddressPage + 1);
    }
}

// Refusals are resent without limit, so the count stops at its top instead
// of running over.
void BootloaderSession::CountRetry() {
    if (RetryCount < std::numeric_limits<std::int16_t>::max()) {
        ++RetryCount;
    }
}

// A data block whose reply never came is not resent on its own: the block is
// announced again with its WriteMemory header, read as a command reply.
void BootloaderSession::ResendAfterSilence() {
    if (CommandHeader[1] == CodeWriteMemory && ReplyPhase == 2) {
        NextPhase = 1;
    }
    Resend(QStringLiteral("Retry"), true);
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
    if (Settling) {
        EndSettle();  // the line never went quiet for long enough
        return;
    }
    if (!AwaitingReply || WatchdogBusy) {
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
        if (answer == MessageAnswer::Retry) {
            // A reply that came while the operator was asked has moved the
            // session on, and Timer1 already watches the request sent since.
            // Asking for that one again would put a second answer on the
            // line, to be read as the answer to the request after it. Only
            // when nothing watches a request any more (no reply came, or its
            // tick fell into the question) is the request sent again. (While
            // the line settles, Timer1 watches the settling.)
            if (!Timer1.IsActive()) {
                ResendAfterSilence();
            }
            WatchdogBusy = false;
        } else {
            DecideEnding(SessionOutcome::Cancelled);
            EndSession(CloseAtOnceMs);
        }
    } else {
        ResendAfterSilence();
        WatchdogBusy = false;
    }
}
