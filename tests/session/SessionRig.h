#pragma once

// A device with a serial bootloader, played by a script on a ScriptedSerialPort,
// and a rig that runs a BootloaderSession against it in virtual time.

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>
#include <QStringList>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "BootloaderSession.h"
#include "Fakes.h"

// A scripted port that can also raise a data-received event for fewer bytes
// than the threshold, as happens when input is thrown away after the event
// was raised.
class TestPort : public ScriptedSerialPort {
public:
    explicit TestPort(VirtualScheduler& clock) : ScriptedSerialPort(clock), Clock(clock) {}
    void RaiseShortReplyLater(const QByteArray& waiting) {
        Clock.Post(0, [this, waiting] {
            PutWaitingInput(waiting);
            RaiseComm(CommEvent::DataReceived);
        });
    }
    VirtualScheduler& Scheduler() { return Clock; }

private:
    VirtualScheduler& Clock;
};

enum class Kind { Connect, Erase, Write, Block, Read, Go, Unknown };
// Silent: the packet is lost. Refuse: 0x1F. Garbage: a status byte of 0x00.
// BadXor: a read block with a wrong check byte. Short: half the reply, raised
// as if it were whole. Late: the reply comes LateMs after the packet instead
// of ReplyDelayMs. Twice: the reply comes, and a copy of it TwiceGapMs later.
// Cut: all of the reply but its last byte (of a read block, its first half)
// comes 990 ms after the packet, the rest 300 ms later. Stray: a stray byte
// right before the reply, whose last byte comes 40 ms after the rest. Slow:
// the device takes 1.7 s over the packet. Babble: Late, and from the reply on
// 0x79 every 100 ms while the port is open. Lost: carried out, no reply.
// Miswrite: a data block stored with its middle byte wrong, and acknowledged.
enum class Fault {
    None,
    Silent,
    Refuse,
    Garbage,
    BadXor,
    Short,
    Late,
    Twice,
    Cut,
    Stray,
    Slow,
    Babble,
    Lost,  // carried out, the reply lost
    Miswrite
};

struct Exchange {
    Kind What = Kind::Unknown;
    int Address = 0;
    int Length = 0;
    QByteArray Bytes;
    qint64 Time = 0;
    int BaudRate = 0;
    Fault Applied = Fault::None;
};

class ScriptedDevice {
public:
    explicit ScriptedDevice(TestPort& port) : Port(port) {
        Memory.fill(0xFF);
        Port.Responder = [this](const QByteArray& bytes, ScriptedSerialPort&) { Receive(bytes); };
    }

    // The next `times` packets of this kind at this address meet the fault.
    void Plan(Kind what, int address, Fault fault, int times = 1) {
        for (int i = 0; i < times; ++i) {
            Faults[{what, address}].append(fault);
        }
    }

    std::array<std::uint8_t, 3> Model{0x01, 0x02, 0x03};
    bool Marker = true;
    std::uint8_t ConnectStatus = StatusAck;
    QSet<int> AnswerBauds;  // empty: answers at every rate; 19200 after reporting the marker
    bool Dead = false;      // answers nothing at all
    qint64 ReplyDelayMs = 0;
    qint64 LateMs = 1500;
    qint64 TwiceGapMs = 0;
    QList<int> Pieces;
    QByteArray Trailing;  // junk sent right after every reply

    // Flash: a data block ANDs its bytes into memory (only an erase brings
    // bytes back to 0xFF), and the device reads a stream: an announced data
    // block is the next BlockLength + 1 bytes whenever they come, never given
    // up; otherwise bytes before a 0x55 are passed over.
    bool Flash = false;
    // Hears nothing before this moment (switched on late).
    qint64 DeafUntilMs = 0;
    // The reply to a packet of this kind takes this long instead of ReplyDelayMs.
    QMap<Kind, qint64> DelayOf;

    std::array<std::uint8_t, ImageSize> Memory{};
    QList<Exchange> Log;
    std::optional<int> StartedAt;

    QList<Exchange> OfKind(Kind what) const {
        QList<Exchange> found;
        for (const Exchange& e : Log) {
            if (e.What == what) {
                found.append(e);
            }
        }
        return found;
    }

    // The packets after Connect as a short text: E1200 W1270+16 B R0080 G1270.
    QString Sequence() const {
        QStringList parts;
        for (const Exchange& e : Log) {
            const QString at =
                QStringLiteral("%1").arg(e.Address, 4, 16, QLatin1Char('0')).toUpper();
            switch (e.What) {
                case Kind::Erase:
                    parts << QLatin1Char('E') + at;
                    break;
                case Kind::Write:
                    parts << QLatin1Char('W') + at + QLatin1Char('+') + QString::number(e.Length);
                    break;
                case Kind::Block:
                    parts << QStringLiteral("B");
                    break;
                case Kind::Read:
                    parts << QLatin1Char('R') + at;
                    break;
                case Kind::Go:
                    parts << QLatin1Char('G') + at;
                    break;
                default:
                    break;
            }
        }
        return parts.join(QLatin1Char(' '));
    }

private:
    static std::uint8_t XorOf(const QByteArray& bytes, int count) {
        std::uint8_t x = 0;
        for (int i = 0; i < count; ++i) {
            x ^= static_cast<std::uint8_t>(bytes[i]);
        }
        return x;
    }
    static int Byte(const QByteArray& b, int i) {
        return i < b.size() ? static_cast<std::uint8_t>(b[i]) : -1;
    }

    void Receive(const QByteArray& bytes) {
        if (Port.Scheduler().Now() < DeafUntilMs) {
            return;
        }
        if (!Flash) {
            Handle(bytes);
            return;
        }
        Stream += bytes;
        for (;;) {
            if (ExpectBlock) {
                if (Stream.size() < BlockLength + 1) {
                    return;
                }
                const QByteArray block = Stream.left(BlockLength + 1);
                Stream.remove(0, BlockLength + 1);
                Handle(block);
                continue;
            }
            const qsizetype start = Stream.indexOf(char(0x55));
            Stream.remove(0, start < 0 ? Stream.size() : start);
            if (Stream.size() < 2) {
                return;
            }
            static const QMap<int, int> lengths{{CodeConnect, 8},
                                                {CodeEraseMemory, 5},
                                                {CodeWriteMemory, 6},
                                                {CodeReadMemory, 7},
                                                {CodeGoApplication, 5}};
            const int length = lengths.value(Byte(Stream, 1), 0);
            if (length == 0) {
                Stream.remove(0, 1);
                continue;
            }
            if (Stream.size() < length) {
                return;
            }
            const QByteArray header = Stream.left(length);
            Stream.remove(0, length);
            Handle(header);
        }
    }

    void Handle(const QByteArray& bytes) {
        Exchange e;
        e.Bytes = bytes;
        e.Time = Port.Writes.isEmpty() ? 0 : Port.Writes.last().Time;
        e.BaudRate = Port.BaudRate;
        const bool block = ExpectBlock && bytes.size() == BlockLength + 1;
        if (block) {
            e.What = Kind::Block;
            e.Address = BlockAddress;
            e.Length = BlockLength;
        } else if (Byte(bytes, 0) == 0x55 && bytes.size() >= 5) {
            const int address = Byte(bytes, 3) * 256 + Byte(bytes, 4);
            e.Address = address;
            switch (Byte(bytes, 1)) {
                case CodeConnect:
                    e.What = bytes.size() == 8 ? Kind::Connect : Kind::Unknown;
                    break;
                case CodeEraseMemory:
                    e.What = Kind::Erase;
                    break;
                case CodeWriteMemory:
                    e.What = Kind::Write;
                    e.Length = Byte(bytes, 5);
                    break;
                case CodeReadMemory:
                    e.What = Kind::Read;
                    e.Length = Byte(bytes, 5);
                    break;
                case CodeGoApplication:
                    e.What = Kind::Go;
                    break;
                default:
                    break;
            }
        }
        if (e.What == Kind::Connect) {
            e.Address = 0;
        }
        Fault fault = Fault::None;
        auto planned = Faults.find({e.What, e.Address});
        if (planned != Faults.end() && !planned->isEmpty()) {
            fault = planned->takeFirst();
        }
        if (Dead || (!AnswerBauds.isEmpty() && !AnswerBauds.contains(Port.BaudRate))) {
            fault = Fault::Silent;
        }
        e.Applied = fault;
        const Fault changed = fault;  // carried out as usual, only the reply differs
        if (fault == Fault::Late || fault == Fault::Twice || fault >= Fault::Cut) {
            // Miswrite too: carried out, the damage done below.
            fault = Fault::None;
        }
        Log.append(e);
        if (fault == Fault::Silent) {
            return;
        }

        QByteArray reply;
        bool acted = fault == Fault::None;
        switch (e.What) {
            case Kind::Connect: {
                const bool checked = XorOf(bytes, 7) == Byte(bytes, 7);
                reply = QByteArray(10, '\0');
                reply[0] = static_cast<char>(checked ? ConnectStatus : std::uint8_t{StatusRefused});
                reply[1] = static_cast<char>(Marker ? ModelMarker : 0x00);
                for (int i = 0; i < 3; ++i) {
                    reply[7 + i] = static_cast<char>(Model[i]);
                }
                ExpectBlock = false;
                if (Marker && !AnswerBauds.isEmpty()) {
                    AnswerBauds = {19200};  // the device goes on at 19200
                }
                break;
            }
            case Kind::Erase:
                if (acted) {
                    std::fill_n(Memory.begin() + (e.Address & ~127), 128, 0xFF);
                }
                reply = QByteArray(1, static_cast<char>(StatusAck));
                break;
            case Kind::Write:
                ExpectBlock = acted;
                BlockAddress = e.Address;
                BlockLength = e.Length;
                reply = QByteArray(1, static_cast<char>(StatusAck));
                break;
            case Kind::Block: {
                ExpectBlock = false;
                const bool checked = XorOf(bytes, BlockLength) == Byte(bytes, BlockLength);
                if (acted && checked) {
                    for (int i = 0; i < BlockLength; ++i) {
                        const auto b = static_cast<std::uint8_t>(bytes[i]);
                        Memory[BlockAddress + i] = Flash ? Memory[BlockAddress + i] & b : b;
                    }
                    if (changed == Fault::Miswrite) {
                        Memory[BlockAddress + BlockLength / 2] ^= 0x10;
                    }
                }
                reply = QByteArray(1, static_cast<char>(checked ? StatusAck : StatusRefused));
                break;
            }
            case Kind::Read: {
                reply = QByteArray(129, '\0');
                for (int i = 0; i < 128; ++i) {
                    reply[i] = static_cast<char>(Memory[(e.Address + i) % ImageSize]);
                }
                reply[128] = static_cast<char>(XorOf(reply, 128));
                break;
            }
            case Kind::Go:
                if (acted) {
                    StartedAt = e.Address;
                }
                reply = QByteArray(1, static_cast<char>(StatusAck));
                break;
            case Kind::Unknown:
                reply = QByteArray(1, static_cast<char>(StatusRefused));
                break;
        }
        switch (fault) {
            case Fault::Refuse:
                reply[0] = static_cast<char>(StatusRefused);
                break;
            case Fault::Garbage:
                reply[0] = 0x00;
                break;
            case Fault::BadXor:
                reply[reply.size() - 1] = static_cast<char>(~reply[reply.size() - 1]);
                break;
            case Fault::Short:
                Port.RaiseShortReplyLater(reply.left(reply.size() / 2));
                return;
            default:
                break;
        }
        if (changed == Fault::Lost) {
            return;
        }
        // One request at a time: a reply never comes before the one ahead of it.
        const bool late = changed == Fault::Late || changed == Fault::Babble;
        const qint64 now = Port.Scheduler().Now();
        const qint64 start = std::max(now, BusyUntil);
        const qint64 due = start + (late ? LateMs : DelayOf.value(e.What, ReplyDelayMs)) +
                           (changed == Fault::Slow ? 1700 : 0) + (start > now ? 1 : 0);
        BusyUntil = due;
        const qint64 delay = due - now;
        const qsizetype tail = changed == Fault::Cut && reply.size() == 129 ? 65 : 1;
        if (changed == Fault::Cut) {
            Port.Deliver(reply.left(reply.size() - tail), 990);
            BusyUntil = now + 1290;
            Port.Deliver(reply.right(tail), 1290);
        } else if (changed == Fault::Stray) {
            Port.Deliver(QByteArray(1, char(reply.back() ^ 0xFF)) + reply.left(reply.size() - 1),
                         delay);
            BusyUntil = due + 40;
            Port.Deliver(reply.right(1), delay + 40);
        } else {
            Port.Deliver(reply + Trailing, delay, Pieces);
        }
        if (changed == Fault::Twice) {
            Port.Deliver(reply, delay + TwiceGapMs);
        }
        if (changed == Fault::Babble) {
            Babble(delay + 100);
        }
    }

    void Babble(qint64 delay) {
        Port.Deliver(QByteArray(1, char(StatusAck)), delay);
        Port.Scheduler().Post(delay, [this] {
            if (Port.IsOpen()) {
                Babble(100);
            }
        });
    }

    TestPort& Port;
    QByteArray Stream;
    QMap<std::pair<Kind, int>, QList<Fault>> Faults;
    bool ExpectBlock = false;
    qint64 BusyUntil = 0;
    int BlockAddress = 0;
    int BlockLength = 0;
};

class RecordingView : public SessionView {
public:
    void SetCaption(const QString& text) override { Captions << text; }
    void CloseWindow() override {
        CloseTimes << Clock.Now();
        if (OnClose) {
            OnClose();
        }
    }
    void SetProgress(float fraction) override { Progress << fraction; }
    void SetProgressText(const QString& text) override { Texts << text; }

    explicit RecordingView(VirtualScheduler& clock) : Clock(clock) {}
    QStringList Captions;
    QList<qint64> CloseTimes;
    QList<float> Progress;
    QStringList Texts;
    std::function<void()> OnClose;

private:
    VirtualScheduler& Clock;
};

// One session window's worth of parts, all on one virtual clock. Closing the
// window runs the unload handler, as the real window does.
struct Rig {
    VirtualScheduler Clock;
    ProcessState State;
    TestPort Port{Clock};
    ManualTimer Timer{Clock};
    ManualTimer SettleTimer{Clock};
    ScriptedMessageBoxes Boxes{&Clock};
    FakePause Sleep{Clock};
    RecordingView View{Clock};
    BootloaderSession Session{State, Port, Timer, SettleTimer, Boxes, Sleep, View};
    ScriptedDevice Device{Port};
    // The port was still open when the window's closing tick came.
    bool PortOpenWhenClosed = false;

    Rig() {
        State.ModelId = {0x01, 0x02, 0x03};
        State.FirmwareVersion = {1, 3};
        State.AppTitle = QStringLiteral("Loader");
        State.EnglishUi = true;
        State.ComPortNumber = 3;
        View.OnClose = [this] {
            PortOpenWhenClosed = Port.IsOpen();
            Session.Form_Unload();
        };
    }

    // An Update of [low, high] with an image whose bytes differ from the
    // erased state.
    void Update(int low, int high) {
        State.SessionModeUpdate = true;
        State.ImageLowestAddress = low;
        State.ImageHighestAddress = high;
        for (int a = 0; a < ImageSize; ++a) {
            State.FirmwareImage[a] = static_cast<std::uint8_t>((a * 7 + (a >> 8)) & 0xFF);
        }
    }

    void ReadFirmware() {
        State.SessionModeReadFirmware = true;
        State.ImageLowestAddress = 0;
        State.ImageHighestAddress = 0x7FFF;
        for (int a = 0; a < ImageSize; ++a) {
            Device.Memory[a] = static_cast<std::uint8_t>((a * 13 + (a >> 7)) & 0xFF);
        }
        State.FirmwareImage.fill(0xEE);
    }

    // Loads the window and runs until it has closed (or limitMs have passed).
    bool Run(qint64 limitMs = 600000) {
        Session.Form_Load();
        return RunOn(limitMs);
    }
    bool RunOn(qint64 limitMs = 600000) {
        return Clock.RunUntil([this] { return !Session.IsLoaded(); }, limitMs);
    }

    bool DeviceHoldsImage() const {
        for (int a = State.ImageLowestAddress; a <= State.ImageHighestAddress; ++a) {
            if (Device.Memory[a] != State.FirmwareImage[a]) {
                return false;
            }
        }
        return true;
    }
};
