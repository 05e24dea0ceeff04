#include "BootloaderSession.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int ReadSessionGoAddress = 0x9000;
constexpr int RetryLimit = 10;
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

    BuildConnect();
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
    const QByteArray block = DataBlock();
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

    if (IsUpdate()) {
        BuildErase(Current() & ~(BlockSize - 1));
    } else {
        // The first request goes to AddressPage * 256, the start of the page.
        BuildRead(AddressPage * 256);
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
        BuildRead(Current());
        SendNext(QStringLiteral("ReadMemory"));
    } else {
        BuildGo(ReadSessionGoAddress);
        SendNext(QStringLiteral("GoApplication"));
    }
}

void BootloaderSession::NextUpdateStep() {
    if (ReadBackNext()) {
        return;
    }
    const std::int32_t cur = Current();
    if (cur > High()) {
        BuildGo(Low());
        SendNext(QStringLiteral("GoApplication"));
        return;
    }
    const std::int32_t block = cur & ~(BlockSize - 1);
    if (block != ErasedBlock) {
        BuildErase(block);
        SendNext(QStringLiteral("EraseMemory"));
        return;
    }
    BuildWrite(cur, std::min(BlockSize - cur % BlockSize, High() - cur + 1));
    SendNext(QStringLiteral("WriteMemory"));
}

void BootloaderSession::SetCurrent(std::int32_t address) {
    AddressPage = static_cast<std::int16_t>(address / 256);
    AddressLow = static_cast<std::int16_t>(address % 256);
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
