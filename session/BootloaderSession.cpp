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

std::uint8_t At(const QByteArray& r, int i) {
    return static_cast<std::uint8_t>(r[i]);
}

}  // namespace

BootloaderSession::BootloaderSession(ProcessState& state, SerialPort& msComm1, OneShotTimer& timer1,
                                     OneShotTimer& quietTimer, MessageBoxes& messages, Pause& pause,
                                     SessionView& view)
    : State(state),
      MSComm1(msComm1),
      Timer1(timer1),
      Messages(messages),
      Sleeper(pause),
      View(view),
      Link(msComm1, quietTimer) {
    MSComm1.SetCommHandler([this](SerialPort::CommEvent event) { MSComm1_OnComm(event); });
    Timer1.SetTickHandler([this] { Timer1_Timer(); });
}

BootloaderSession::~BootloaderSession() {
    Timer1.Stop();
    MSComm1.SetCommHandler({});
    Timer1.SetTickHandler({});
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
    Link.Reset();
    Owed = {};
    RetryCount = 0;
    WatchdogBusy = false;
    MSComm1.SetPortNumber(State.ComPortNumber);
    NextBaudHigh = true;
    MSComm1.SetBinaryInput();
    MSComm1.SetReceiveThreshold(0);
    View.SetProgress(0.0f);
    State.SessionSucceeded = false;
    CloseRequested = false;
    ReadingBack = false;
    ReadBackOver = false;
    ReadBackEqual = false;
    ReadBackRewrites = 0;
    Mismatch = -1;

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
    Link.Stop();
    if (MSComm1.IsOpen()) {
        MSComm1.Close();
    }
}

BootloaderLink::Request BootloaderSession::LastKind() const {
    if (CommandHeader[1] == CodeWriteMemory && ReplyPhase == 2) {
        return BootloaderLink::Request::Block;
    }
    return BootloaderLink::KindOfHeader(
        QByteArray(reinterpret_cast<const char*>(CommandHeader.data()), 2));
}

void BootloaderSession::WriteHeader() {
    const QByteArray header(reinterpret_cast<const char*>(CommandHeader.data()), HeaderLength);
    ReplyPhase = NextPhase;
    Timer1.Start(Link.WatchMs(LastKind()));
    WaitExtended = false;
    Owed.Sent(header);
    // Reply bytes are counted from the first byte after the send: the link
    // throws away whatever came before, also what the system still holds.
    Link.SendHeader(header, ReplyLength,
                    CommandHeader[1] == CodeReadMemory ? BootloaderLink::ReplyForm::Frame
                                                       : BootloaderLink::ReplyForm::Status);
    if (CommandHeader[1] == CodeWriteMemory) {
        Owed.Announced(CommandHeader[5]);
    }
}

// The next packet, once the line is clean: at once after a trusted reply,
// else when the line has been quiet long enough. Meanwhile no request is
// outstanding and Timer1 watches the line: a line that never goes quiet
// meets the watchdog's question as silence does.
void BootloaderSession::SendNext(const QString& stepName) {
    if (Owed.IsOwed()) {
        // After doubt in a block: the block the device may wait for is
        // completed with bytes that fail its check before any header goes.
        Link.SendFiller(Owed.Filler());
    }
    if (Link.IsClean()) {
        SendCommand(stepName);
        return;
    }
    AwaitingReply = false;
    ReplyPhase = 0;
    SettleWatchDueMs = Timer1.NowMs() + Link.QuietMs() + SendWatchMs;
    Timer1.Start(Link.QuietMs() + SendWatchMs);
    Link.Settle([this, stepName] { EndSettle(stepName); });
}

void BootloaderSession::EndSettle(const QString& stepName) {
    Timer1.Stop();
    SendCommand(stepName);
}

void BootloaderSession::SendCommand(const QString& stepName) {
    if (!Running()) {
        return;
    }
    AwaitingReply = true;
    if (CommandHeader[1] == CodeConnect) {
        if (MSComm1.IsOpen()) {
            Link.Discard();
        }
        // An unanswered Connect is tried at the other line rate each time.
        Link.SetLine(NextBaudHigh ? HighRate : LowRate);
        NextBaudHigh = !NextBaudHigh;
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
    Owed.Sent(block);
    Timer1.Start(Link.WatchMs(BootloaderLink::Request::Block));
    WaitExtended = false;
    Link.SendBlock(block, ReplyLength);
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
    Link.Stop();
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
        Link.Drop();
        return;
    }
    if (Link.IsSettling()) {
        // When what came shows the device late, the quiet grows, and the
        // watchdog's watch over the settling line with it.
        const int quiet = Link.QuietMs();
        Link.BytesWhileSettling();
        const int grown = Link.QuietMs() - quiet;
        if (grown > 0 && !WatchdogBusy) {
            SettleWatchDueMs += grown;
            Timer1.Start(static_cast<int>(std::max<qint64>(1, SettleWatchDueMs - Timer1.NowMs())));
        }
        return;
    }
    const Reply r = Link.TakeReply();
    AwaitingReply = false;
    Timer1.Stop();
    if (ReplyPhase != 1 && ReplyPhase != 2) {
        return;
    }
    // What the reply may mean is the link's to say; what the session does
    // then is its own.
    switch (r.Next) {
        case BootloaderLink::Move::Act:
            if (ReplyPhase == 1) {
                CommandReply(r.Bytes);
            } else {
                BlockReply(r.Bytes);
            }
            break;
        case BootloaderLink::Move::KeepWaiting:
            KeepWaiting();
            break;
        case BootloaderLink::Move::AskAgain:
        case BootloaderLink::Move::RedoBlock:
            Doubt(r);
            break;
    }
}

// No answer of this request: a reply that is no answer at all fails like a
// refusal (within the limit in a block phase); an answer that may be another
// copy's is only asked for again.
void BootloaderSession::Doubt(const Reply& r) {
    const bool failed = !r.Answer;
    if (failed && ReplyPhase == 2 && RetryCount >= RetryLimit) {
        TransferFailure();
        return;
    }
    if (r.Next == BootloaderLink::Move::RedoBlock) {
        RedoBlock();
    } else {
        SendNext(CommandHeader[1] == CodeReadMemory ? QStringLiteral("ReadMemory")
                                                    : QStringLiteral("Retry"));
    }
    if (failed) {
        CountRetry();
    }
}

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

// The answer of the request last sent: its status byte decides.
void BootloaderSession::CommandReply(const QByteArray& r) {
    const std::uint8_t command = CommandHeader[1];
    const std::uint8_t status = At(r, 0);
    if (status == StatusAck && command == CodeConnect) {
        ConnectAccepted(r);
    } else if (status == StatusAck && command == CodeWriteMemory) {
        ReplyLength = 1;
        NextPhase = 2;
        SendDataBlock();
    } else if (status == StatusAck && command == CodeGoApplication) {
        DecideEnding(SessionOutcome::Success);
        MSComm1.Close();
        MSComm1.SetReceiveThreshold(0);
        CloseRequested = true;
        State.SessionSucceeded = true;
        Timer1.Start(CloseAtOnceMs);
    } else if (command == CodeConnect && IsUpdate() && At(r, 1) == ModelMarker) {
        DecideEnding(SessionOutcome::Refused);
        EndSession(CloseAfterFailureMs);  // the device refuses the update
    } else {
        // Refused: asked again. A refused WriteMemory leaves no block owed.
        if (command == CodeWriteMemory) {
            Owed.Settled();
        }
        SendNext(QStringLiteral("Retry"));
        CountRetry();
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
        BuildRead();
    }
    SendNext(QStringLiteral("EraseMemory"));
}

void BootloaderSession::BlockReply(const QByteArray& r) {
    const std::uint8_t command = CommandHeader[1];
    if (command == CodeReadMemory) {
        ReadBlockReceived(r);
        return;
    }
    // The device took the data block (or erased): it waits for nothing.
    Owed.Settled();
    if (At(r, 0) == StatusAck) {
        if (command != CodeEraseMemory) {
            Advance(CommandHeader[5]);
        }
        ShowProgress();
        NextUpdateStep();
        return;
    }
    if (RetryCount >= RetryLimit) {
        TransferFailure();
        return;
    }
    if (command == CodeWriteMemory) {
        // Refused: announce the block again; its acknowledgement is then read
        // as a command reply, after which the block itself is sent again.
        NextPhase = 1;
    }
    SendNext(QStringLiteral("Retry"));
    CountRetry();
}

// Byte 0 is data whatever its value; the frame is the trusted answer (its
// check byte right, nothing behind it, the request sent on a clean line).
void BootloaderSession::ReadBlockReceived(const QByteArray& r) {
    if (ReadingBack) {
        CompareReadBack(r);
        return;
    }
    const int n = CommandHeader[5];
    const int start = CommandHeader[3] * 256 + CommandHeader[4];
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
    if (ReadBackNext()) {
        return;
    }
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
        BuildErase(block);
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

// After the last block, and after a block read back wrong has been written
// again to its end: the next read-back request, if the read-back is asked
// for and not over.
bool BootloaderSession::ReadBackNext() {
    if (!VerifyAfterWrite || ReadBackOver) {
        return false;
    }
    const std::int32_t cur = Current();
    if (!ReadingBack) {
        if (cur <= High()) {
            return false;
        }
        ReadingBack = true;
        ReadBackStartMs = Timer1.NowMs();
        ReadBackBlock = Low() & ~(BlockSize - 1);
    } else if (cur <= High() && (cur & ~(BlockSize - 1)) == ReadBackBlock) {
        return false;  // the block being written again is not written to its end yet
    }
    RequestReadBack();
    return true;
}

// ReadMemory of the whole 128-byte block; its frame is taken as a read
// session takes one (ReadBlockReceived), then compared. Meanwhile the
// current address is the block's first byte of the image: where a rewrite
// starts, and what a failure names.
void BootloaderSession::RequestReadBack() {
    SetCurrent(std::max(ReadBackBlock, Low()));
    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(ReadBackBlock / 256);
    CommandHeader[4] = static_cast<std::uint8_t>(ReadBackBlock % 256);
    BuildRead();
    SendNext(QStringLiteral("ReadMemory"));
}

// A ReadMemory of 128 bytes at the address in bytes 3 and 4.
void BootloaderSession::BuildRead() {
    CommandHeader[1] = CodeReadMemory;
    CommandHeader[5] = ReadBlockLength;
    CommandHeader[6] = ReadMarker;
    HeaderLength = 7;
    ReplyLength = ReadBlockLength + 1;
    NextPhase = 2;
}

// Only the image's bytes of the block are compared: the rest of it is not
// the firmware's.
void BootloaderSession::CompareReadBack(const QByteArray& r) {
    const std::int32_t last = std::min(ReadBackBlock + BlockSize - 1, High());
    std::int32_t differs = -1;
    for (std::int32_t a = std::max(ReadBackBlock, Low()); a <= last && differs < 0; ++a) {
        if (At(r, a - ReadBackBlock) != State.FirmwareImage[a]) {
            differs = a;
        }
    }
    if (differs < 0) {
        ReadBackRewrites = 0;
        ReadBackBlock += BlockSize;
        if (ReadBackBlock <= High()) {
            RequestReadBack();
            return;
        }
        ReadBackOver = true;
        ReadBackEqual = true;
        ReadBackEndMs = Timer1.NowMs();
        SetCurrent(High() + 1);
        NextUpdateStep();  // GoApplication
        return;
    }
    if (ReadBackRewrites < VerifyRewriteLimit) {
        // Erased and written again from the block's first byte of the image
        // (the current address already), then read back once more.
        ++ReadBackRewrites;
        BuildErase(ReadBackBlock);
        SendNext(QStringLiteral("EraseMemory"));
        return;
    }
    ReadBackOver = true;
    Mismatch = differs;
    ReadBackEndMs = Timer1.NowMs();
    SetCurrent(differs);
    TransferFailure();
}

qint64 BootloaderSession::VerifyMs() const {
    if (!ReadingBack) {
        return 0;
    }
    return (ReadBackOver ? ReadBackEndMs : Timer1.NowMs()) - ReadBackStartMs;
}

void BootloaderSession::SetCurrent(std::int32_t address) {
    AddressPage = static_cast<std::int16_t>(address / 256);
    AddressLow = static_cast<std::int16_t>(address % 256);
}

void BootloaderSession::BuildErase(std::int32_t block) {
    ErasedBlock = block;
    CommandHeader[1] = CodeEraseMemory;
    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(block / 256);
    CommandHeader[4] = static_cast<std::uint8_t>(block % 256);
    HeaderLength = 5;
    ReplyLength = 1;
    NextPhase = 2;
}

// Doubt inside a block: once the line is clean (and any block the device may
// wait for is released), the block is erased and written again from its
// start (cur has not moved past it).
void BootloaderSession::RedoBlock() {
    BuildErase(Current() & ~(BlockSize - 1));
    SendNext(QStringLiteral("EraseMemory"));
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
