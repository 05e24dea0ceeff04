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
                                     MessageBoxes& messages, Pause& pause, SessionView& view)
    : State(state),
      MSComm1(msComm1),
      Timer1(timer1),
      Messages(messages),
      Sleeper(pause),
      View(view) {
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

void BootloaderSession::Form_Unload() {
    if (!Loaded) {
        return;
    }
    Loaded = false;
    DecideEnding(SessionOutcome::Closed);
    // Nothing may tick into a closed window.
    Timer1.Stop();
    State.SessionModeUpdate = false;
    State.SessionModeReadFirmware = false;
    if (MSComm1.IsOpen()) {
        MSComm1.Close();
    }
}

void BootloaderSession::WriteHeader() {
    Timer1.Start(SendWatchMs);
    MSComm1.ReadAll();  // reply bytes are counted from the first byte after the send
    ReplyPhase = NextPhase;
    MSComm1.SetReceiveThreshold(ReplyLength);
    MSComm1.Write(QByteArray(reinterpret_cast<const char*>(CommandHeader.data()), HeaderLength));
}

void BootloaderSession::SendCommand(const QString& stepName) {
    if (!Loaded) {
        return;
    }
    AwaitingReply = true;
    if (CommandHeader[1] == CodeConnect) {
        if (MSComm1.IsOpen()) {
            MSComm1.ReadAll();
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
    if (!Loaded) {
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
    MSComm1.SetReceiveThreshold(ReplyLength);
    MSComm1.Write(block);
    Timer1.Start(SendWatchMs);
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
        SendCommand(QStringLiteral("Retry"));
        CountRetry();
    } else if (!whole || status != StatusAck) {
        AwaitingReply = true;
        Timer1.Start(UnrecognisedReplyWatchMs);
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
    SendCommand(QStringLiteral("EraseMemory"));
}

void BootloaderSession::BlockReply(const QByteArray& r) {
    const std::uint8_t command = CommandHeader[1];
    if (command == CodeReadMemory) {
        ReadBlockReceived(r);
        return;
    }
    if (r.size() >= ReplyLength && !r.isEmpty() && At(r, 0) == StatusAck) {
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
        SendCommand(QStringLiteral("Retry"));
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
            SendCommand(QStringLiteral("ReadMemory"));
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
        SendCommand(QStringLiteral("ReadMemory"));
    } else {
        CommandHeader[1] = CodeGoApplication;
        CommandHeader[2] = 0;
        CommandHeader[3] = ReadSessionGoAddress / 256;
        CommandHeader[4] = ReadSessionGoAddress % 256;
        HeaderLength = 5;
        ReplyLength = 1;
        NextPhase = 1;
        SendCommand(QStringLiteral("GoApplication"));
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
        SendCommand(QStringLiteral("GoApplication"));
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
        SendCommand(QStringLiteral("EraseMemory"));
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
    SendCommand(QStringLiteral("WriteMemory"));
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
    SendCommand(QStringLiteral("Retry"));
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
        if (!Loaded || CloseRequested) {
            return;
        }
        if (answer == MessageAnswer::Retry) {
            // A reply that came while the operator was asked has moved the
            // session on, and Timer1 already watches the request sent since.
            // Asking for that one again would put a second answer on the
            // line, to be read as the answer to the request after it. Only
            // when nothing watches a request any more (no reply came, or its
            // tick fell into the question) is the request sent again.
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
