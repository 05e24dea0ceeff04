#include "SimulatedDevice.h"

#include <QThread>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "KeyValueBackend.h"
#include "PseudoTerminal.h"

namespace {

constexpr quint8 Sync = 0x55;
constexpr quint8 Ack = 0x79;
constexpr quint8 Refused = 0x1F;
constexpr quint8 MarkerByte = 0x55;

// Header length by command code; 0 for a code the bootloader does not know.
int HeaderLengthOf(quint8 code) {
    switch (code) {
        case 0x82:
            return 8;
        case 0x01:
            return 5;
        case 0x02:
            return 6;
        case 0x81:
            return 7;
        case 0x03:
            return 5;
        default:
            return 0;
    }
}

ExchangeKind KindOf(quint8 code) {
    switch (code) {
        case 0x82:
            return ExchangeKind::Connect;
        case 0x01:
            return ExchangeKind::EraseMemory;
        case 0x02:
            return ExchangeKind::WriteMemory;
        case 0x81:
            return ExchangeKind::ReadMemory;
        default:
            return ExchangeKind::GoApplication;
    }
}

quint8 Byte(const QByteArray& bytes, int i) {
    return static_cast<quint8>(bytes[i]);
}

int AddressOf(const QByteArray& header) {
    return Byte(header, 3) << 8 | Byte(header, 4);
}

quint8 XorOf(const char* data, int n) {
    quint8 x = 0;
    for (int i = 0; i < n; ++i) {
        x ^= static_cast<quint8>(data[i]);
    }
    return x;
}

QString Hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

QString ReadLinkTarget(const QString& link) {
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(link).constData(), buffer, sizeof buffer - 1);
    return n > 0 ? QFile::decodeName(QByteArray(buffer, static_cast<int>(n))) : QString();
}

// Makes `link` a symbolic link to `target`, replacing an earlier link in one step.
bool PlaceLink(const QString& link, const QString& target, QString* error) {
    const QByteArray temporary = QFile::encodeName(link + QStringLiteral(".new%1").arg(::getpid()));
    ::unlink(temporary.constData());
    if (::symlink(QFile::encodeName(target).constData(), temporary.constData()) != 0 ||
        ::rename(temporary.constData(), QFile::encodeName(link).constData()) != 0) {
        if (error) {
            *error = QStringLiteral("cannot make %1: %2")
                         .arg(link, QString::fromLocal8Bit(strerror(errno)));
        }
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

}  // namespace

QString FormatTrafficRecord(const TrafficRecord& record) {
    const QString time = QStringLiteral("%1.%2")
                             .arg(record.TimeMs / 1000, 6)
                             .arg(record.TimeMs % 1000, 3, 10, QLatin1Char('0'));
    switch (record.Dir) {
        case TrafficRecord::Direction::In:
            return QStringLiteral("%1 <- %2 %3")
                .arg(time)
                .arg(record.BaudRate, 6)
                .arg(Hex(record.Bytes));
        case TrafficRecord::Direction::Out:
            return QStringLiteral("%1 -> %2 %3")
                .arg(time)
                .arg(record.BaudRate, 6)
                .arg(Hex(record.Bytes));
        case TrafficRecord::Direction::Note:
            break;
    }
    return QStringLiteral("%1 -- %2").arg(time, record.Text);
}

SimulatedDevice::SimulatedDevice(QObject* parent)
    : QObject(parent),
      Terminal(new PseudoTerminal(this)),
      Mem(MemorySize, static_cast<char>(0xFF)) {
    Clock.start();
    connect(Terminal, &PseudoTerminal::DataArrived, this, &SimulatedDevice::OnData);
    OutboxTimer.setSingleShot(true);
    OutboxTimer.setTimerType(Qt::PreciseTimer);
    connect(&OutboxTimer, &QTimer::timeout, this, &SimulatedDevice::SendDueReplies);
    BabbleTimer.setSingleShot(true);
    BabbleTimer.setTimerType(Qt::PreciseTimer);
    connect(&BabbleTimer, &QTimer::timeout, this, &SimulatedDevice::Babble);
    connect(&TextTimer, &QTimer::timeout, this, &SimulatedDevice::PrintText);
}

SimulatedDevice::~SimulatedDevice() {
    Stop();
}

void SimulatedDevice::SetAsleep(int ms, int textEveryMs) {
    AsleepMs = ms;
    TextEveryMs = std::max(0, textEveryMs);
    StartedMs = Clock.elapsed();
    TextTimer.stop();
    if (TextEveryMs > 0 && IsRunning()) {
        TextTimer.start(TextEveryMs);
    }
}

bool SimulatedDevice::Asleep() const {
    return AsleepMs < 0 || Clock.elapsed() - StartedMs < AsleepMs;
}

// The application's output, until the board is switched over to its bootloader.
void SimulatedDevice::PrintText() {
    if (!Asleep() || !IsRunning()) {
        TextTimer.stop();
        return;
    }
    const QByteArray line = QStringLiteral("app: running, tick %1\r\n").arg(++TextLines).toLatin1();
    Count.StrayBytes += static_cast<int>(line.size());
    if (Terminal->Write(line)) {
        Record(TrafficRecord::Direction::Out, line);
    }
}

bool SimulatedDevice::Start(QString* error) {
    ClearOutbox();
    LagUs = 0;
    LagUntilUs = 0;
    LastReplyBytes.clear();
    Pending.clear();
    ExpectedData = 0;
    Connected = false;
    if (!Terminal->Open(error)) {
        return false;
    }
    Note(QStringLiteral("terminal %1").arg(Terminal->SlavePath()));
    if (!LinkPath.isEmpty()) {
        if (!PlaceLink(LinkPath, Terminal->SlavePath(), error)) {
            Terminal->Close();
            return false;
        }
        LinkTarget = Terminal->SlavePath();
    }
    return true;
}

void SimulatedDevice::Stop() {
    Terminal->Close();
    ClearOutbox();
    RemoveLink();
}

bool SimulatedDevice::IsRunning() const {
    return Terminal->IsOpen();
}

QString SimulatedDevice::TerminalPath() const {
    return Terminal->SlavePath();
}

int SimulatedDevice::CurrentBaudRate() const {
    return Terminal->BaudRate();
}

QString SimulatedDevice::CurrentLineSettings() const {
    return Terminal->LineSettingsText();
}

bool SimulatedDevice::PublishAsComPort(int n, const QString& storeRoot, QString* error) {
    auto fail = [error](const QString& text) {
        if (error) {
            *error = text;
        }
        return false;
    };
    if (n < 1) {
        return fail(QStringLiteral("COM%1: port numbers start at 1").arg(n));
    }
    if (!IsRunning()) {
        return fail(QStringLiteral("the device has no terminal to publish"));
    }
    const QString folder =
        (storeRoot.isEmpty() ? QString::fromLocal8Bit(PerMachineStoreRoot()) : storeRoot) +
        QStringLiteral("/dosdevices");
    if (!QDir().mkpath(folder)) {
        return fail(QStringLiteral("cannot make the folder %1").arg(folder));
    }
    const QString link = folder + QStringLiteral("/com%1").arg(n);
    const QFileInfo info(link);
    if ((info.exists() || info.isSymLink()) && !info.isSymLink()) {
        return fail(QStringLiteral("%1 exists and is not a link; it is left alone").arg(link));
    }
    if (!PlaceLink(link, Terminal->SlavePath(), error)) {
        return false;
    }
    if (!LinkPath.isEmpty() && LinkPath != link) {
        RemoveLink();
    }
    LinkPath = link;
    LinkTarget = Terminal->SlavePath();
    Note(QStringLiteral("published as %1").arg(link));
    return true;
}

void SimulatedDevice::RemoveLink() {
    // Only a link that still points at this device's terminal is ours.
    if (!LinkPath.isEmpty() && ReadLinkTarget(LinkPath) == LinkTarget) {
        ::unlink(QFile::encodeName(LinkPath).constData());
    }
    LinkPath.clear();
    LinkTarget.clear();
}

void SimulatedDevice::SetReplyPieces(const QList<int>& sizes, int gapMs) {
    PieceSizes.clear();
    for (int size : sizes) {
        if (size > 0) {
            PieceSizes.append(size);
        }
    }
    PieceGapMs = std::max(0, gapMs);
}

void SimulatedDevice::SetMemory(const QByteArray& content) {
    Mem.fill(static_cast<char>(0xFF));
    const int n = static_cast<int>(std::min<qsizetype>(content.size(), MemorySize));
    std::copy_n(content.constData(), n, Mem.data());
}

bool SimulatedDevice::LoadMemory(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        }
        return false;
    }
    const QByteArray content = file.read(MemorySize + 1);
    if (content.size() > MemorySize) {
        if (error) {
            *error = QStringLiteral("%1 is larger than 64 KiB").arg(path);
        }
        return false;
    }
    SetMemory(content);
    return true;
}

bool SimulatedDevice::SaveMemory(const QString& path, QString* error) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(Mem) != Mem.size() || !file.commit()) {
        if (error) {
            *error = QStringLiteral("%1: %2").arg(path, file.errorString());
        }
        return false;
    }
    return true;
}

void SimulatedDevice::Record(TrafficRecord::Direction dir, const QByteArray& bytes,
                             const QString& text) {
    TrafficRecord record;
    record.TimeMs = Clock.elapsed();
    record.Dir = dir;
    record.BaudRate = Terminal->BaudRate();
    record.Bytes = bytes;
    record.Text = text;
    if (Sink) {
        Sink(record);
    }
    if (TrafficLimit > 0) {
        Log.push_back(std::move(record));
        while (static_cast<int>(Log.size()) > TrafficLimit) {
            Log.pop_front();
        }
    }
}

bool SimulatedDevice::HearsRate(int baud) const {
    if (OnlyRate <= 0) {
        return true;
    }
    return baud == (Connected ? SessionRate : OnlyRate);
}

void SimulatedDevice::OnData(const QByteArray& bytes) {
    const qint64 now = Clock.elapsed();
    const int rate = Terminal->BaudRate();
    Record(TrafficRecord::Direction::In, bytes);
    if (Asleep()) {
        Count.UnreadableBytes += static_cast<int>(bytes.size());
        Note(QStringLiteral("not switched on"));
        return;
    }
    if (!HearsRate(rate)) {
        Count.UnreadableBytes += static_cast<int>(bytes.size());
        Note(QStringLiteral("not heard at %1 baud").arg(rate));
        Pending.clear();
        return;
    }
    const bool keepBlock = KeepsBlock && ExpectedData > 0;
    if (!keepBlock && !Pending.isEmpty() && now - LastByteMs > QuietGapMs) {
        ++Count.DroppedPartials;
        Note(QStringLiteral("gave up %1 bytes after a quiet gap").arg(Pending.size()));
        Pending.clear();
        ExpectedData = 0;
    }
    if (!keepBlock && ExpectedData > 0 && Pending.isEmpty() && now - DataAnnouncedMs > QuietGapMs) {
        Note(QStringLiteral("the announced data block did not come"));
        ExpectedData = 0;
    }
    LastByteMs = now;
    ArrivalRate = rate;
    Pending += bytes;
    Parse();
}

void SimulatedDevice::Parse() {
    while (Terminal->IsOpen()) {
        if (ExpectedData > 0) {
            if (Pending.size() < ExpectedData) {
                return;
            }
            const QByteArray block = Pending.left(ExpectedData);
            Pending.remove(0, ExpectedData);
            ExpectedData = 0;
            HandleDataBlock(block);
            continue;
        }
        qsizetype skip = Pending.indexOf(static_cast<char>(Sync));
        if (skip < 0) {
            skip = Pending.size();
        }
        if (skip > 0) {
            Count.SkippedBytes += static_cast<int>(skip);
            Note(QStringLiteral("skipped %1").arg(Hex(Pending.left(skip))));
            Pending.remove(0, skip);
        }
        if (Pending.size() < 2) {
            return;
        }
        const int length = HeaderLengthOf(Byte(Pending, 1));
        if (length == 0) {
            ++Count.SkippedBytes;
            Note(QStringLiteral("skipped 55: no command %1").arg(Hex(Pending.mid(1, 1))));
            Pending.remove(0, 1);
            continue;
        }
        if (Pending.size() < length) {
            return;
        }
        const QByteArray header = Pending.left(length);
        Pending.remove(0, length);
        HandleHeader(header);
    }
}

FaultPlan::Choice SimulatedDevice::PickFault(ExchangeKind kind) {
    ++Count.Exchanges;
    // A request that came before the late reply went: the program resent.
    BabbleArmed = BabbleArmed || Clock.nsecsElapsed() / 1000 < BabbleFromUs;
    const int ordinal = ++Count.ByKind[static_cast<int>(kind)];
    FaultPlan::Choice choice = Plan.Pick(kind, ordinal, Count.Exchanges);
    if (choice.Fault == FaultKind::Only9600 && ArrivalRate == 9600) {
        choice.Fault = FaultKind::None;  // heard after all
    }
    if (choice.Fault != FaultKind::None) {
        ++Count.FaultsInjected;
        ++Count.ByFault[static_cast<int>(choice.Fault)];
        Note(QStringLiteral("fault %1 on %2 #%3")
                 .arg(FaultKindName(choice.Fault), ExchangeKindName(kind))
                 .arg(ordinal));
    }
    return choice;
}

QByteArray SimulatedDevice::ConnectReply(quint8 status, quint8 byte1, bool wrongModel) const {
    QByteArray reply(10, '\0');
    reply[0] = static_cast<char>(status);
    reply[1] = static_cast<char>(byte1);
    // Bytes 2 to 6: bootloader version 1.0, then nothing.
    reply[2] = 0x01;
    for (int i = 0; i < 3; ++i) {
        reply[7 + i] = static_cast<char>(Model[i]);
    }
    if (wrongModel) {
        reply[9] = static_cast<char>(Model[2] ^ 0xFF);
    }
    return reply;
}

void SimulatedDevice::HandleHeader(const QByteArray& header) {
    const ExchangeKind kind = KindOf(Byte(header, 1));
    const FaultPlan::Choice choice = PickFault(kind);
    const FaultKind picked = choice.Fault;
    // A slow block stays slow: every erase or read of it takes as long.
    if (kind == ExchangeKind::EraseMemory || kind == ExchangeKind::ReadMemory) {
        const int key = static_cast<int>(kind) << 16 | AddressOf(header);
        if (picked == FaultKind::Slow) {
            SlowRequests.insert(key, choice.DelayMs);
        }
        SlowNowMs = SlowRequests.value(key, 0);
    }
    ReplyChange = ChangesOnlyTheReply(picked) ? choice : FaultPlan::Choice{};
    const FaultKind fault = ChangesOnlyTheReply(picked) ? FaultKind::None : picked;
    const int length = static_cast<int>(header.size());
    const int address = AddressOf(header);
    const QByteArray status(1, static_cast<char>(choice.Status));
    const QByteArray ack(1, static_cast<char>(Ack));
    const QByteArray refused(1, static_cast<char>(Refused));
    const bool reply = fault != FaultKind::DropReply;

    if (fault == FaultKind::Vanish) {
        Vanish();
        return;
    }
    if (fault == FaultKind::Silence || fault == FaultKind::Only9600) {
        SlowNowMs = 0;
        emit RequestHandled(kind, fault);
        return;
    }

    switch (kind) {
        case ExchangeKind::Connect: {
            if (XorOf(header.constData(), 7) != Byte(header, 7)) {
                ++Count.MalformedRequests;
                Note(QStringLiteral("Connect checksum wrong: not answered"));
                break;
            }
            LastConnectHeader = header;
            Connected = false;
            const quint8 byte1 = Marker ? MarkerByte : NoMarkerValue;
            if (fault == FaultKind::Nack) {
                Reply(ConnectReply(Refused, MarkerByte ^ 0xFF, false), length);
            } else if (fault == FaultKind::BadStatus) {
                Reply(ConnectReply(choice.Status, byte1, false), length);
            } else if (fault == FaultKind::RefuseConnect) {
                Reply(ConnectReply(Refused, MarkerByte, false), length);
            } else {
                Connected = true;
                SessionRate = Marker ? 19200 : ArrivalRate;
                if (reply) {
                    Reply(ConnectReply(Ack, byte1, fault == FaultKind::WrongModel), length);
                }
            }
            break;
        }
        case ExchangeKind::EraseMemory: {
            if (address % BlockSize != 0) {
                ++Count.MalformedRequests;
                Note(QStringLiteral("erase address %1 is not a block base").arg(address, 4, 16));
            }
            if (fault == FaultKind::Nack) {
                Reply(refused, length);
            } else if (fault == FaultKind::BadStatus) {
                Reply(status, length);
            } else {
                const int base = address & ~(BlockSize - 1);
                std::fill_n(Mem.data() + base, BlockSize, static_cast<char>(0xFF));
                ++Count.BlocksErased;
                if (reply) {
                    Reply(ack, length);
                }
            }
            break;
        }
        case ExchangeKind::WriteMemory: {
            const int n = Byte(header, 5);
            if (n == 0 || address % BlockSize + n > BlockSize) {
                ++Count.MalformedRequests;
                Note(QStringLiteral("write of %1 bytes at %2 does not fit a block")
                         .arg(n)
                         .arg(address, 4, 16));
                Reply(refused, length);
            } else if (fault == FaultKind::Nack) {
                Reply(refused, length);
            } else if (fault == FaultKind::BadStatus) {
                Reply(status, length);
            } else {
                AnnouncingData = true;
                const qint64 due = reply ? Reply(ack, length) : Clock.elapsed();
                AnnouncingData = false;
                ExpectedData = n + 1;
                DataAddress = address;
                DataAnnouncedMs = due;
            }
            break;
        }
        case ExchangeKind::ReadMemory: {
            if (Byte(header, 5) != BlockSize || Byte(header, 6) != 0x52) {
                ++Count.MalformedRequests;
                Note(QStringLiteral("read request with length %1 and tag %2")
                         .arg(Byte(header, 5))
                         .arg(Byte(header, 6), 2, 16));
            }
            QByteArray block(BlockSize + 1, '\0');
            for (int i = 0; i < BlockSize; ++i) {
                block[i] = Mem[(address + i) & (MemorySize - 1)];
            }
            block[BlockSize] = static_cast<char>(XorOf(block.constData(), BlockSize));
            if (fault == FaultKind::CorruptXor) {
                block[BlockSize] = static_cast<char>(Byte(block, BlockSize) ^ 0x5A);
            } else if (fault == FaultKind::FlipByte) {
                const int i = Count.BlocksRead % BlockSize;
                block[i] = static_cast<char>(Byte(block, i) ^ 0x01);
            }
            ++Count.BlocksRead;
            if (reply) {
                Reply(block, length);
            }
            break;
        }
        case ExchangeKind::GoApplication: {
            if (fault == FaultKind::Nack) {
                Reply(refused, length);
            } else if (fault == FaultKind::BadStatus) {
                Reply(status, length);
            } else {
                ++Count.ApplicationStarts;
                ApplicationAddress = address;
                Connected = false;  // the bootloader has handed over
                Note(QStringLiteral("application started at %1")
                         .arg(address, 4, 16, QLatin1Char('0')));
                if (reply) {
                    Reply(ack, length);
                }
                emit ApplicationStarted(address);
            }
            break;
        }
        case ExchangeKind::DataBlock:
            break;
    }
    ReplyChange = {};
    SlowNowMs = 0;
    emit RequestHandled(kind, picked);
}

void SimulatedDevice::HandleDataBlock(const QByteArray& block) {
    const FaultPlan::Choice choice = PickFault(ExchangeKind::DataBlock);
    const FaultKind picked = choice.Fault;
    ReplyChange = ChangesOnlyTheReply(picked) ? choice : FaultPlan::Choice{};
    const FaultKind fault = ChangesOnlyTheReply(picked) ? FaultKind::None : picked;
    const int length = static_cast<int>(block.size());
    const int n = length - 1;
    if (fault == FaultKind::Vanish) {
        Vanish();
        return;
    }
    if (fault == FaultKind::Nack) {
        Reply(QByteArray(1, static_cast<char>(Refused)), length);
    } else if (fault == FaultKind::BadStatus) {
        Reply(QByteArray(1, static_cast<char>(choice.Status)), length);
    } else if (fault != FaultKind::Silence) {
        if (XorOf(block.constData(), n) != Byte(block, n)) {
            ++Count.BlocksRefused;
            Note(QStringLiteral("data block XOR wrong: refused"));
            Reply(QByteArray(1, static_cast<char>(Refused)), length);
        } else {
            for (int i = 0; i < n; ++i) {
                char& target = Mem[DataAddress + i];
                if (static_cast<quint8>(target) != 0xFF) {
                    ++Count.UnerasedWrites;
                }
                target = Flash ? static_cast<char>(target & block[i]) : block[i];
            }
            if (fault == FaultKind::Miswrite) {
                // The middle byte's bit 4 does not take: nothing tells but a read-back.
                Mem[DataAddress + n / 2] = static_cast<char>(Mem[DataAddress + n / 2] ^ 0x10);
                Note(QStringLiteral("stored %1 wrong").arg(DataAddress + n / 2, 4, 16));
            }
            ++Count.BlocksWritten;
            if (fault != FaultKind::DropReply) {
                Reply(QByteArray(1, static_cast<char>(Ack)), length);
            }
        }
    }
    ReplyChange = {};
    emit RequestHandled(ExchangeKind::DataBlock, picked);
}

qint64 SimulatedDevice::Reply(const QByteArray& bytes, int requestLength) {
    // Due times are kept in microseconds: a line model rounded to whole
    // milliseconds would add up to a second or more over a long session.
    const qint64 now = Clock.nsecsElapsed() / 1000;
    qint64 due = now;
    double byteUs = 0.0;  // the line time of one byte; 0: bytes take no time
    if (LineTiming) {
        const int rate = ArrivalRate > 0 ? ArrivalRate : Terminal->BaudRate();
        if (rate > 0) {
            const double bits = 10.0 * static_cast<double>(requestLength + bytes.size());
            due += static_cast<qint64>(std::ceil(bits * 1e6 / rate));
            byteUs = 10.0 * 1e6 / rate;
        }
    }
    const FaultKind change = ReplyChange.Fault;
    // A late reply: the line is that slow while late replies are on their
    // way (as a link that buffers does), so a copy of the request that the
    // program resends meanwhile is answered as late after its own arrival,
    // and so is every request that comes before the line has caught up.
    if (now < LagUntilUs) {
        due += LagUs;
        LagUntilUs = std::max(LagUntilUs, due);
    } else if (change == FaultKind::LateReply || change == FaultKind::Babble) {
        LagUs = static_cast<qint64>(ReplyChange.DelayMs) * 1000;
        due += LagUs;
        LagUntilUs = due;
        Note(QStringLiteral("reply %1 ms late").arg(ReplyChange.DelayMs));
    }
    // One request at a time: a slow one keeps the device busy, and what
    // comes meanwhile is served after it.
    if (ReplyDelayMs > 0) {
        due = std::max(due, BusyUntilUs + (due - now)) +
              static_cast<qint64>(ReplyDelayMs + SlowNowMs) * 1000;
        BusyUntilUs = due;
    } else if (SlowNowMs > 0 || BusyUntilUs > now) {
        due = std::max(due, BusyUntilUs + (due - now)) + static_cast<qint64>(SlowNowMs) * 1000;
        BusyUntilUs = due;
        if (SlowNowMs > 0) {
            Note(QStringLiteral("takes %1 ms").arg(SlowNowMs));
        }
    }
    SlowNowMs = 0;
    LastReplyBytes = bytes;
    due = std::max(due, LineLastUs);  // the line sends one reply after the other
    auto queue = [this, byteUs](qint64 lastUs, const QByteArray& piece) {
        LineLastUs = std::max(LineLastUs, lastUs);
        if (LatencyTimer > 0) {
            PassThroughAdapter(lastUs, piece, byteUs);
            return;
        }
        // Paced at the line rate: a piece trickles in, a few milliseconds'
        // worth of bytes at a time, its last byte at lastUs.
        const qsizetype chunk =
            byteUs > 0 ? std::max<qsizetype>(1, std::llround(PaceChunkUs / byteUs)) : piece.size();
        for (qsizetype from = 0; from < piece.size(); from += chunk) {
            const qsizetype end = std::min(piece.size(), from + chunk);
            const qint64 at =
                lastUs - std::llround(static_cast<double>(piece.size() - end) * byteUs);
            Outbox.push_back({at, piece.mid(from, end - from)});
        }
    };
    if (change == FaultKind::CutReply) {
        // The first part just before the watchdog's second, the rest later.
        const qsizetype head = bytes.size() > BlockSize ? BlockSize / 2 : bytes.size() - 1;
        const qint64 headUs = now + static_cast<qint64>(ReplyChange.DelayMs) * 1000;
        queue(std::max(due, headUs), bytes.left(head));
        queue(std::max(due, headUs) + static_cast<qint64>(ReplyChange.SpanMs) * 1000,
              bytes.mid(head));
        Note(QStringLiteral("reply cut in two"));
    } else if (change == FaultKind::StrayBefore) {
        // Never a byte that the program could take for what it awaits.
        quint8 stray = ReplyChange.Junk.isEmpty() ? 0 : Byte(ReplyChange.Junk, 0);
        const quint8 last = Byte(bytes, static_cast<int>(bytes.size()) - 1);
        while (stray == Ack || stray == Refused || stray == last) {
            ++stray;
        }
        Count.StrayBytes += 1;
        queue(due, QByteArray(1, static_cast<char>(stray)) + bytes.left(bytes.size() - 1));
        queue(due + static_cast<qint64>(ReplyChange.DelayMs) * 1000, bytes.right(1));
        Note(QStringLiteral("stray byte before the reply, its last byte late"));
    } else {
        qsizetype offset = 0;
        qint64 pieceDue = due;
        for (int size : PieceSizes) {
            if (offset >= bytes.size()) {
                break;
            }
            queue(pieceDue, bytes.mid(offset, size));
            offset += size;
            pieceDue += PieceGapMs * 1000;
        }
        if (offset < bytes.size()) {
            queue(pieceDue, bytes.mid(offset));
        }
    }
    // The reply's last byte is in the newest outbox entry.
    const qint64 delivered = Outbox.back().DueUs;
    Outbox.back().Announces = AnnouncingData;
    Count.AdapterHeldUs += delivered - LineLastUs;
    if (change == FaultKind::Twice) {
        queue(LineLastUs + static_cast<qint64>(ReplyChange.DelayMs) * 1000, bytes);
        Note(QStringLiteral("reply sent twice"));
    } else if (change == FaultKind::Junk) {
        queue(LineLastUs, ReplyChange.Junk);
        Count.StrayBytes += static_cast<int>(ReplyChange.Junk.size());
        Note(QStringLiteral("junk behind the reply"));
    } else if (change == FaultKind::Babble) {
        BabbleFromUs = delivered;
        BabbleForMs = ReplyChange.SpanMs;
        BabbleArmed = false;
        BabbleTimer.start(static_cast<int>((delivered - now) / 1000) + 1);
    }
    ReplyChange = {};
    SendDueReplies();
    return (delivered + 999) / 1000;
}

// A babble planned behind a late reply starts once it has gone, if a request
// came in meanwhile (the program resent, so it will not trust what comes),
// and goes on a random byte at a time until its time is up.
void SimulatedDevice::Babble() {
    const qint64 nowMs = Clock.elapsed();
    if (BabbleFromUs > 0) {
        BabbleFromUs = 0;
        if (!BabbleArmed) {
            return;
        }
        BabbleUntilMs = BabbleForMs > 0 ? nowMs + BabbleForMs : -1;
        Note(QStringLiteral("the line babbles"));
    }
    if (BabbleUntilMs >= 0 && nowMs >= BabbleUntilMs) {
        return;
    }
    const QByteArray byte(1, static_cast<char>(BabbleDice() & 0xFF));
    if (!Terminal->IsOpen() || !Terminal->Write(byte)) {
        return;
    }
    ++Count.StrayBytes;
    Record(TrafficRecord::Direction::Out, byte);
    const int gap = std::max(1, Plan.Random().BabbleGapMs);
    BabbleTimer.start(static_cast<int>(BabbleDice() % static_cast<unsigned>(gap)) + 1);
}

void SimulatedDevice::PassThroughAdapter(qint64 lastUs, const QByteArray& bytes, double byteUs) {
    const qint64 holdUs = static_cast<qint64>(LatencyTimer) * 1000;
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const qint64 at = lastUs - std::llround(static_cast<double>(n - 1 - i) * byteUs);
        PendingReply* packet = Outbox.empty() ? nullptr : &Outbox.back();
        if (packet != nullptr && packet->Filling && at >= packet->DueUs) {
            packet->Filling = false;  // its timer fired before this byte came
        }
        if (packet == nullptr || !packet->Filling) {
            // The first byte in an empty adapter starts its timer.
            Outbox.push_back({at + holdUs, {}, true});
            packet = &Outbox.back();
        }
        packet->Bytes += bytes[i];
        if (packet->Bytes.size() >= AdapterPacketBytes) {
            packet->DueUs = at;  // a full packet goes at once
            packet->Filling = false;
        }
    }
}

void SimulatedDevice::ClearOutbox() {
    Outbox.clear();
    OutboxTimer.stop();
    LineLastUs = 0;
    BusyUntilUs = 0;
    SlowNowMs = 0;
    SlowRequests.clear();
    BabbleTimer.stop();
    BabbleFromUs = 0;
}

void SimulatedDevice::SendStray(const QByteArray& bytes) {
    if (bytes.isEmpty() || !Terminal->IsOpen()) {
        return;
    }
    Note(QStringLiteral("stray bytes"));
    Count.StrayBytes += static_cast<int>(bytes.size());
    if (Terminal->Write(bytes)) {
        Record(TrafficRecord::Direction::Out, bytes);
    }
}

void SimulatedDevice::SendDueReplies() {
    while (!Outbox.empty()) {
        const qint64 wait = Outbox.front().DueUs - Clock.nsecsElapsed() / 1000;
        if (wait > 2000) {
            // The timer wakes a little early; the last stretch is slept
            // precisely below.
            OutboxTimer.start(static_cast<int>((wait - 1000) / 1000));
            return;
        }
        if (wait > 0) {
            QThread::usleep(static_cast<unsigned long>(wait));
        }
        const QByteArray bytes = Outbox.front().Bytes;
        // The data block is awaited from when its acknowledgement really
        // went, also when this thread was held up and sent it late.
        if (Outbox.front().Announces) {
            DataAnnouncedMs = Clock.elapsed();
        }
        Outbox.pop_front();
        if (Terminal->Write(bytes)) {
            Record(TrafficRecord::Direction::Out, bytes);
        }
    }
}

void SimulatedDevice::Vanish() {
    ++Count.Vanishings;
    Note(QStringLiteral("vanished"));
    Unplug();
    emit Vanished();
}

void SimulatedDevice::Unplug() {
    Terminal->Close();
    // The device's node goes with it, as when an adapter is pulled: the COM
    // link is taken away (its terminal's number may soon belong to another
    // program) and put back when the device comes back (Start).
    if (!LinkPath.isEmpty() && ReadLinkTarget(LinkPath) == LinkTarget) {
        ::unlink(QFile::encodeName(LinkPath).constData());
    }
    ClearOutbox();
    Pending.clear();
    ExpectedData = 0;
    Connected = false;
}
