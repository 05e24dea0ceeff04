// The bootloader session driven by a script of far-end events in virtual time.
//
// Input: a header, then a script of actions.
//   header: flags (bit 0: ReadFirmware session, else Update; bit 1: the port
//   cannot be opened), low address (16 bits), span (16 bits, taken modulo
//   1024), model bytes (3), version (2), image pattern (1).
//   actions, each an opcode byte and its operands (see RunAction).
//
// Every packet the session writes is checked as it is written: a header of
// the right length and code with the right fixed bytes and check byte, or a
// data block of the announced length and XOR right after its WriteMemory;
// addresses inside the bounds, blocks erased before they are written, no block
// skipped, GoApplication only when everything has gone out. After every action:
// SessionSucceeded only after an acknowledged GoApplication, and a loaded
// session always has Timer1 armed. Nothing but Timer1 moves a session that
// hears nothing, so every handler ends with it armed: 1000 ms after a send
// (a data block included: its silence announces the block again), 3000 ms
// after an unrecognised reply, 1 or 10 ms when closing. A session waits
// unarmed only while one of its own message boxes is open, which is inside an
// action, never between two; and a window loaded with no session mode, which
// sends nothing and is not driven here. The ending, once the session has
// decided on one, never changes; nothing is written after it; at most one
// message other than the watchdog's question is shown; SessionSucceeded goes
// with the ending Success only. After the script, silence with every
// question answered Cancel must end the session.
//
// Bytes may arrive while the session is blocked in its pause after the
// Connect reply: they wait in the system (the scripted port) and must not be
// taken for the answer to the request that follows.

#include <cstring>
#include <memory>
#include <vector>

#include "BootloaderSession.h"
#include "Fakes.h"
#include "FuzzInput.h"

namespace {

// FUZZ_TRACE=1 in the environment prints the packets and the outcome.
const bool Trace = std::getenv("FUZZ_TRACE") != nullptr;

enum class Kind { Connect, Erase, Write, Block, Read, Go };

struct Sent {
    Kind What;
    int Address = 0;
    int Length = 0;
};

// Checks each packet against the session's parameters and what went before.
class PacketChecker {
public:
    PacketChecker(const ProcessState& state, bool update, int low, int high)
        : State(state),
          Update(update),
          Low(low),
          High(high),
          Image(state.FirmwareImage),
          LastWrite(low),
          CoveredEnd(low) {}

    void OnWrite(const QByteArray& bytes) {
        const auto at = [&bytes](int i) { return static_cast<std::uint8_t>(bytes[i]); };
        Written.push_back(bytes);
        if (Trace) {
            std::fprintf(stderr, "sent %s\n", bytes.toHex(' ').constData());
        }
        if (!Log.empty() && Log.back().What == Kind::Write && IsDataBlock(bytes, Log.back())) {
            const Sent& header = Log.back();
            CoveredEnd = std::max(CoveredEnd, header.Address + header.Length);
            Log.push_back({Kind::Block, header.Address, header.Length});
            return;
        }
        if (IsFiller(bytes)) {
            return;
        }
        FUZZ_CHECK(bytes.size() >= 5 && at(0) == 0x55 && (at(1) == CodeConnect || at(2) == 0x00),
                   "packet %d is neither a header nor an announced data block",
                   int(Written.size()));
        const int address = at(3) * 256 + at(4);
        FUZZ_CHECK(!GoSent || at(1) == CodeGoApplication, "a packet after GoApplication");
        FUZZ_CHECK(!Connected || at(1) != CodeConnect, "Connect after the session went on");
        Connected = Connected || at(1) != CodeConnect;
        switch (at(1)) {
            case CodeConnect: {
                std::uint8_t x = 0;
                for (int i = 0; i < 7; ++i) {
                    x ^= at(i);
                }
                const int major = Update ? State.FirmwareVersion.Major : 0xFF;
                const int minor = Update ? State.FirmwareVersion.Minor : 0xFF;
                FUZZ_CHECK(bytes.size() == 8 && at(2) == State.ModelId[0] &&
                               at(3) == State.ModelId[1] && at(4) == State.ModelId[2] &&
                               at(5) == major && at(6) == minor && at(7) == x,
                           "malformed Connect");
                Log.push_back({Kind::Connect});
                return;
            }
            case CodeEraseMemory: {
                FUZZ_CHECK(Update && bytes.size() == 5, "malformed EraseMemory");
                const int first = Low & ~127;
                const bool resend = Erased >= 0 && address == Erased;
                const bool next = Erased < 0 ? address == first
                                             : address == Erased + 128 && CoveredEnd >= address;
                FUZZ_CHECK(resend || next, "EraseMemory of 0x%04X after 0x%04X, written to 0x%04X",
                           address, Erased, CoveredEnd);
                FUZZ_CHECK(address <= High, "EraseMemory of 0x%04X beyond 0x%04X", address, High);
                Erased = address;
                Log.push_back({Kind::Erase, address});
                return;
            }
            case CodeWriteMemory: {
                FUZZ_CHECK(Update && bytes.size() == 6, "malformed WriteMemory");
                const int n = at(5);
                const int expected = std::min(128 - address % 128, High - address + 1);
                FUZZ_CHECK(address >= Low && address <= High && n == expected,
                           "WriteMemory of %d bytes at 0x%04X in 0x%04X..0x%04X", n, address, Low,
                           High);
                FUZZ_CHECK((address & ~127) == Erased, "WriteMemory at 0x%04X, block 0x%04X erased",
                           address, Erased);
                FUZZ_CHECK(address <= CoveredEnd && address >= LastWrite,
                           "WriteMemory at 0x%04X leaves a gap or goes back (written to 0x%04X)",
                           address, CoveredEnd);
                LastWrite = address;
                Announced = n;
                Log.push_back({Kind::Write, address, n});
                return;
            }
            case CodeReadMemory: {
                FUZZ_CHECK(!Update && bytes.size() == 7 && at(5) == 0x80 && at(6) == 0x52,
                           "malformed ReadMemory");
                const bool resend = LastRead >= 0 && address == LastRead;
                const bool next = LastRead < 0 ? address == Low : address == LastRead + 128;
                FUZZ_CHECK((resend || next) && address <= High, "ReadMemory at 0x%04X after 0x%04X",
                           address, LastRead);
                LastRead = address;
                Log.push_back({Kind::Read, address, 128});
                return;
            }
            case CodeGoApplication: {
                FUZZ_CHECK(bytes.size() == 5, "malformed GoApplication");
                if (Update) {
                    FUZZ_CHECK(address == Low && CoveredEnd > High,
                               "GoApplication at 0x%04X with data sent to 0x%04X", address,
                               CoveredEnd);
                } else {
                    FUZZ_CHECK(address == 0x9000 && LastRead >= 0 && LastRead + 128 > High,
                               "GoApplication at 0x%04X with reads to 0x%04X", address, LastRead);
                }
                GoSent = true;
                Log.push_back({Kind::Go, address});
                return;
            }
            default:
                FUZZ_CHECK(false, "unknown command code 0x%02X", at(1));
        }
    }

    // The last packet, or nothing.
    const Sent* Last() const { return Log.empty() ? nullptr : &Log.back(); }
    int Count() const { return static_cast<int>(Written.size()); }
    int LastReadAddress() const { return LastRead; }

private:
    // What releases a device that may wait for an announced block after a
    // doubt: as long as the block and its check byte, a first byte that no
    // header starts with, zeros behind it.
    bool IsFiller(const QByteArray& bytes) const {
        if (Announced == 0 || bytes.size() != Announced + 1 || bytes[0] == 0 ||
            static_cast<std::uint8_t>(bytes[0]) == 0x55) {
            return false;
        }
        return bytes.mid(1).count('\0') == bytes.size() - 1;
    }

    bool IsDataBlock(const QByteArray& bytes, const Sent& header) const {
        if (bytes.size() != header.Length + 1) {
            return false;
        }
        std::uint8_t x = 0;
        for (int i = 0; i < header.Length; ++i) {
            if (static_cast<std::uint8_t>(bytes[i]) != Image[header.Address + i]) {
                return false;
            }
            x ^= Image[header.Address + i];
        }
        return static_cast<std::uint8_t>(bytes[header.Length]) == x;
    }

    const ProcessState& State;
    bool Update;
    int Low;
    int High;
    std::array<std::uint8_t, ImageSize> Image;
    std::vector<QByteArray> Written;
    std::vector<Sent> Log;
    int Erased = -1;
    int LastWrite;      // address of the last WriteMemory
    int CoveredEnd;     // one past the data sent so far, from Low on
    int Announced = 0;  // length of the last WriteMemory
    int LastRead = -1;
    bool Connected = false;  // a command other than Connect has gone out
    bool GoSent = false;
};

// The scripted port with every write checked and every read recorded.
class CheckedPort : public ScriptedSerialPort {
public:
    struct Read {
        QByteArray Bytes;
        int AfterWrites;
    };
    CheckedPort(VirtualScheduler& clock, PacketChecker& checker)
        : ScriptedSerialPort(clock), Clock(clock), Checker(checker) {}

    bool Write(const QByteArray& bytes) override {
        FUZZ_CHECK(IsOpen(), "a packet written to a closed port");
        FUZZ_CHECK(Session == nullptr || Session->Outcome() == SessionOutcome::Running,
                   "a packet written after the session's ending");
        Checker.OnWrite(bytes);
        return ScriptedSerialPort::Write(bytes);
    }
    QByteArray ReadAll() override {
        QByteArray bytes = ScriptedSerialPort::ReadAll();
        Reads.push_back({bytes, Checker.Count()});
        return bytes;
    }
    // A data-received event of an open port whatever is waiting, as when
    // waiting input was thrown away after the event was raised.
    void RaiseSpuriousEvent() {
        Clock.Post(0, [this] {
            if (IsOpen()) {
                RaiseComm(CommEvent::DataReceived);
            }
        });
    }

    std::vector<Read> Reads;
    const BootloaderSession* Session = nullptr;

private:
    VirtualScheduler& Clock;
    PacketChecker& Checker;
};

// The session's pause; bytes set beforehand arrive at the port while it lasts.
class PauseWithBytes : public Pause {
public:
    explicit PauseWithBytes(VirtualScheduler& clock) : Inner(clock) {}
    void Sleep(int milliseconds) override {
        if (Port != nullptr && !Bytes.isEmpty() && milliseconds > 0) {
            Port->Deliver(Bytes, Offset % milliseconds);
        }
        Inner.Sleep(milliseconds);
    }
    ScriptedSerialPort* Port = nullptr;
    QByteArray Bytes;
    int Offset = 0;

private:
    FakePause Inner;
};

class View : public SessionView {
public:
    void SetCaption(const QString&) override {}
    void CloseWindow() override {
        if (OnClose) {
            OnClose();
        }
    }
    void SetProgress(float fraction) override {
        FUZZ_CHECK(fraction >= 0.0f && fraction <= 1.0f, "progress %f", double(fraction));
    }
    void SetProgressText(const QString&) override {}
    std::function<void()> OnClose;
};

struct Run {
    VirtualScheduler Clock;
    std::unique_ptr<ProcessState> State = std::make_unique<ProcessState>();
    std::unique_ptr<PacketChecker> Checker;
    std::unique_ptr<CheckedPort> Port;
    ManualTimer Timer{Clock};
    ManualTimer SettleTimer{Clock};
    ScriptedMessageBoxes Boxes{&Clock};
    PauseWithBytes Sleep{Clock};
    View Window;
    SessionOutcome Decided = SessionOutcome::Running;
    std::unique_ptr<BootloaderSession> Session;
    bool Update = true;
    int Low = 0;
    int High = 0;
    std::unique_ptr<std::array<std::uint8_t, ImageSize>> ImageBefore;
    std::uint8_t ReadPattern = 0;

    // The reply a working device gives to the last packet, spoilt as variant
    // says.
    QByteArray Reply(int variant) {
        const Sent* last = Checker->Last();
        if (last == nullptr) {
            return {};
        }
        QByteArray reply(1, char(StatusAck));
        if (last->What == Kind::Connect) {
            reply = QByteArray(10, '\0');
            reply[0] = char(StatusAck);
            reply[1] = variant == 5 ? '\0' : char(ModelMarker);
            for (int i = 0; i < 3; ++i) {
                reply[7 + i] = char(State->ModelId[i] ^ (variant == 6 && i == 1 ? 1 : 0));
            }
        } else if (last->What == Kind::Read) {
            reply = QByteArray(129, '\0');
            std::uint8_t x = 0;
            for (int i = 0; i < 128; ++i) {
                const auto b = static_cast<std::uint8_t>(ReadPattern + last->Address + 3 * i);
                reply[i] = char(b);
                x ^= b;
            }
            reply[128] = char(x);
            ++ReadPattern;
        }
        switch (variant) {
            case 1:  // refused; a read block with a bad check byte
                if (last->What == Kind::Read) {
                    reply[128] = char(reply[128] ^ 1);
                } else {
                    reply[0] = char(StatusRefused);
                }
                break;
            case 2:
                reply[0] = '\0';
                break;
            case 3:
                reply.truncate(reply.size() / 2);
                break;
            case 4:
                reply += QByteArray("\x79\x1F\x55", 3);
                break;
            default:
                break;
        }
        return reply;
    }

    static QList<int> Pieces(int size, int pieceSize) {
        QList<int> pieces;
        if (pieceSize > 0) {
            for (int i = 0; i < size; i += pieceSize) {
                pieces.append(pieceSize);
            }
        }
        return pieces;
    }

    void CheckStep() {
        FUZZ_CHECK(Session->RetryCount >= 0, "RetryCount %d", Session->RetryCount);
        const SessionOutcome outcome = Session->Outcome();
        FUZZ_CHECK(Decided == SessionOutcome::Running || outcome == Decided,
                   "the ending changed from %d to %d", int(Decided), int(outcome));
        Decided = outcome;
        FUZZ_CHECK(!State->SessionSucceeded || outcome == SessionOutcome::Success,
                   "SessionSucceeded with the ending %d", int(outcome));
        int endingMessages = 0;
        for (const auto& shown : Boxes.Log) {
            endingMessages += shown.Buttons == MessageButtons::Ok;
        }
        FUZZ_CHECK(endingMessages <= 1, "%d messages of an ending", endingMessages);
        if (State->SessionSucceeded) {
            const Sent* last = Checker->Last();
            FUZZ_CHECK(last != nullptr && last->What == Kind::Go, "success without GoApplication");
            bool acknowledged = false;
            for (const auto& read : Port->Reads) {
                acknowledged = acknowledged || (read.AfterWrites == Checker->Count() &&
                                                !read.Bytes.isEmpty() && read.Bytes[0] == 0x79);
            }
            FUZZ_CHECK(acknowledged, "success without an acknowledged GoApplication");
        }
        if (Session->IsLoaded()) {
            FUZZ_CHECK(Timer.IsActive(),
                       "the session waits with nothing armed (phase %d, code "
                       "0x%02X, awaiting %d, closing %d)",
                       Session->ReplyPhase, Session->CommandHeader[1], Session->AwaitingReply,
                       Session->CloseRequested);
        }
    }

    void RunAction(FuzzInput& input) {
        switch (input.Byte() % 13) {
            case 0: {  // bytes from the device, possibly in pieces, possibly late
                const QByteArray bytes = input.Take(input.Byte() % 140);
                const std::uint8_t how = input.Byte();
                Port->Deliver(bytes, (how >> 4) * 500, Pieces(int(bytes.size()), (how & 15) % 9));
                break;
            }
            case 1: {  // the reply a device gives, possibly spoilt, possibly late
                const std::uint8_t how = input.Byte();
                const int variant = how & 7;
                const QByteArray reply = Reply(variant);
                Port->Deliver(reply, (how >> 3) * 250,
                              variant == 7 ? Pieces(int(reply.size()), 1) : QList<int>{});
                break;
            }
            case 2:
                Clock.Advance(input.Byte() * 8);
                break;
            case 3:
                Clock.Advance(input.Word() % 10000);
                break;
            case 4: {  // answers to the next one to eight boxes
                const std::uint8_t how = input.Byte();
                for (int k = 0; k <= ((how >> 1) & 7); ++k) {
                    Boxes.Answers.push_back((how & 1) ? MessageAnswer::Retry
                                                      : MessageAnswer::Cancel);
                }
                break;
            }
            case 5:
                Port->RaiseLineErrorLater();
                break;
            case 6:
                Port->RaiseSpuriousEvent();
                break;
            case 7:
                Boxes.HoldOpenMs = input.Byte() * 16;
                break;
            case 8:
                Port->WriteFails = !Port->WriteFails;
                break;
            case 9:
                Port->PutWaitingInput(input.Take(input.Byte() % 8));
                break;
            case 10: {  // a device that works, for a number of exchanges
                for (int k = input.Byte() % 64; k > 0 && Session->IsLoaded(); --k) {
                    Port->Deliver(Reply(0));
                    Clock.Advance(1);
                }
                break;
            }
            case 12:  // bytes that arrive during the next pause, this far into it
                Sleep.Bytes = input.Take(input.Byte() % 16);
                Sleep.Offset = input.Byte();
                break;
            default:
                if (input.Byte() == 0xFF) {
                    Window.CloseWindow();  // the operator closes the window
                }
                break;
        }
        Clock.RunDue();
        CheckStep();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    auto run = std::make_unique<Run>();
    const std::uint8_t flags = input.Byte();
    run->Update = (flags & 1) == 0;
    ProcessState& state = *run->State;
    if (run->Update) {
        run->Low = input.Word();
    } else {
        run->Low = (input.Word() % 4) * 256;  // a read starts at the start of a page
    }
    const int span = input.Word() % 1024;
    run->High = std::min(run->Low + span, ImageSize - 1);
    for (auto& b : state.ModelId) {
        b = input.Byte();
    }
    state.FirmwareVersion.Major = input.Byte();
    state.FirmwareVersion.Minor = input.Byte();
    const std::uint8_t pattern = input.Byte();
    // The firmware and the blocks around it; the rest of the image stays 0.
    for (int a = run->Low & ~127; a <= std::min(run->High + 128, ImageSize - 1); ++a) {
        state.FirmwareImage[a] = static_cast<std::uint8_t>(pattern ^ (a * 7) ^ (a >> 8));
    }
    state.ImageLowestAddress = run->Low;
    state.ImageHighestAddress = run->High;
    state.SessionModeUpdate = run->Update;
    state.SessionModeReadFirmware = !run->Update;
    state.AppTitle = QStringLiteral("Loader");
    state.EnglishUi = true;
    state.ComPortNumber = 3;
    run->ImageBefore = std::make_unique<std::array<std::uint8_t, ImageSize>>(state.FirmwareImage);

    run->Checker = std::make_unique<PacketChecker>(state, run->Update, run->Low, run->High);
    run->Port = std::make_unique<CheckedPort>(run->Clock, *run->Checker);
    if (flags & 2) {
        run->Port->PortsThatFailToOpen.insert(3);
    }
    run->Session = std::make_unique<BootloaderSession>(
        state, *run->Port, run->Timer, run->SettleTimer, run->Boxes, run->Sleep, run->Window);
    run->Port->Session = run->Session.get();
    run->Sleep.Port = run->Port.get();
    run->Window.OnClose = [&run] { run->Session->Form_Unload(); };

    run->Session->Form_Load();
    run->Clock.RunDue();
    run->CheckStep();
    for (int steps = 0; !input.Empty() && steps < 2000; ++steps) {
        run->RunAction(input);
    }

    // Silence from here on, every question answered Cancel: the session ends.
    run->Boxes.Answers.clear();
    run->Boxes.HoldOpenMs = 0;
    const bool ended = run->Clock.RunUntil([&run] { return !run->Session->IsLoaded(); }, 60000);
    if (Trace) {
        std::fprintf(stderr, "%d packets; %s at %lld ms\n", run->Checker->Count(),
                     state.SessionSucceeded ? "succeeded" : "did not succeed",
                     static_cast<long long>(run->Clock.Now()));
    }
    FUZZ_CHECK(ended, "the session goes on in silence (phase %d, code 0x%02X, awaiting %d)",
               run->Session->ReplyPhase, run->Session->CommandHeader[1],
               run->Session->AwaitingReply);
    FUZZ_CHECK(!run->Port->IsOpen() && !run->Timer.IsActive() && !run->SettleTimer.IsActive() &&
                   !state.SessionModeUpdate && !state.SessionModeReadFirmware,
               "the ended session left its port, its timer or its mode behind");

    // Only a read session changes the image, and only where it read.
    const int lastRead = run->Checker->LastReadAddress();
    if (std::memcmp(state.FirmwareImage.data(), run->ImageBefore->data(), ImageSize) != 0) {
        for (int a = 0; a < ImageSize; ++a) {
            FUZZ_CHECK(state.FirmwareImage[a] == (*run->ImageBefore)[a] ||
                           (!run->Update && a >= run->Low && lastRead >= 0 && a < lastRead + 128),
                       "image byte 0x%04X changed", a);
        }
    }
    return 0;
}
