#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <random>

#include "DeviceFaults.h"

class PseudoTerminal;

// One line of the traffic log.
struct TrafficRecord {
    enum class Direction { In, Out, Note };
    qint64 TimeMs = 0;  // since the device was made
    Direction Dir = Direction::Note;
    int BaudRate = 0;  // the line rate on the terminal at that moment
    QByteArray Bytes;  // In and Out
    QString Text;      // Note
};
// "   12.345 <- 19200 55 82 01 02 03 01 03 D5" and the like.
QString FormatTrafficRecord(const TrafficRecord& record);

struct DeviceCounters {
    int Exchanges = 0;  // complete requests received, faulted ones included
    std::array<int, ExchangeKindCount> ByKind{};
    int FaultsInjected = 0;
    std::array<int, FaultKindCount> ByFault{};
    int ApplicationStarts = 0;
    int BlocksErased = 0;
    int BlocksWritten = 0;      // data blocks stored
    int BlocksRefused = 0;      // data blocks whose XOR did not match
    int BlocksRead = 0;         // read blocks answered
    int UnreadableBytes = 0;    // received at a rate the device does not listen at
    int SkippedBytes = 0;       // garbage passed over while looking for 0x55
    int DroppedPartials = 0;    // half-received requests given up after a quiet gap
    int MalformedRequests = 0;  // bad Connect checksum, impossible lengths or addresses
    int UnerasedWrites = 0;     // data bytes stored over memory that was not erased
    int Vanishings = 0;
    qint64 AdapterHeldUs = 0;  // replies held in the adapter beyond their line time, summed
    int StrayBytes = 0;        // sent by SendStray or as junk behind a reply

    int Of(ExchangeKind kind) const { return ByKind[static_cast<int>(kind)]; }
    int Of(FaultKind fault) const { return ByFault[static_cast<int>(fault)]; }
};

// The device's serial bootloader behind a pseudo-terminal, on the event loop
// of the thread that made it. It answers requests exactly as the device does,
// can be told to misbehave (scripted or random faults), keeps 64 KiB of
// memory and counts and logs everything.
class SimulatedDevice : public QObject {
    Q_OBJECT
public:
    static constexpr int MemorySize = 0x10000;
    static constexpr int BlockSize = 128;
    // What the adapter passes on at once: a USB packet of 64 bytes less its
    // two status bytes.
    static constexpr int AdapterPacketBytes = 62;
    // With line timing, reply bytes trickle in this much line time at a time.
    static constexpr double PaceChunkUs = 4000.0;

    explicit SimulatedDevice(QObject* parent = nullptr);
    ~SimulatedDevice() override;  // stops

    // The terminal. Start makes a new one (also after the device vanished)
    // and, when the device is published, points the link at it.
    bool Start(QString* error = nullptr);
    // Closes the terminal and removes the published link.
    void Stop();
    bool IsRunning() const;
    // The device's node goes, as when its USB adapter is pulled: the
    // terminal closes and the published link is taken away (Start brings
    // both back).
    void Unplug();
    QString TerminalPath() const;
    // Makes the terminal COM port n: a symbolic link <storeRoot>/dosdevices/comN
    // (storeRoot empty: the per-machine store root). An existing link is
    // replaced; anything else at that place is left alone and fails.
    bool PublishAsComPort(int n, const QString& storeRoot = {}, QString* error = nullptr);
    QString ComLinkPath() const { return LinkPath; }
    // The line rate that the program set on the terminal; 0 when not running.
    int CurrentBaudRate() const;
    // All line settings on the terminal, as "19200,N,8,1".
    QString CurrentLineSettings() const;

    // Identity. The model bytes end the Connect reply; with the marker its
    // byte 1 is 0x55, otherwise NoMarkerValue.
    void SetModel(quint8 byte0, quint8 byte1, quint8 byte2) { Model = {byte0, byte1, byte2}; }
    std::array<quint8, 3> ModelBytes() const { return Model; }
    void SetMarker(bool carriesMarker) { Marker = carriesMarker; }
    void SetNoMarkerValue(quint8 value) { NoMarkerValue = value; }

    // Listening. OnlyRate > 0: the device hears only bytes sent at that rate;
    // once it has accepted a Connect, only those at the rate the session goes
    // on at (19200 after the marker), until it starts the application. Bytes
    // at another rate are unreadable to it and dropped.
    void SetOnlyRate(int baud) { OnlyRate = baud; }
    // A request left unfinished for this long is given up, so that a resent
    // header after silence is read afresh; likewise the data block that an
    // acknowledged WriteMemory announced must begin within it.
    void SetQuietGapMs(int ms) { QuietGapMs = ms; }
    // Each reply waits as long as the request and the reply take on the line
    // at the current rate (10 bits a byte), and its bytes go out paced at
    // that rate, so that a reply may be half received when a timer fires.
    void SetLineTiming(bool on) { LineTiming = on; }
    // Replies go out in pieces of these sizes (the rest as one last piece),
    // gapMs apart; empty: in one piece.
    void SetReplyPieces(const QList<int>& sizes, int gapMs = 5);
    // The USB-serial adapter between the device and the program, as an FTDI
    // chip works: reply bytes wait in the adapter until ms milliseconds have
    // passed since the first of them arrived, unless AdapterPacketBytes of
    // them fill a packet first, which goes at once. 0: no adapter.
    void SetLatencyTimerMs(int ms) { LatencyTimer = std::max(0, ms); }
    int LatencyTimerMs() const { return LatencyTimer; }

    // Ways a real board differs from a prompt bootloader:
    // Flash: a data block ANDs its bytes into memory (only an erase brings
    // them back to 0xFF).
    void SetFlash(bool on) { Flash = on; }
    // The data block that an acknowledged WriteMemory announced is awaited
    // for ever: whatever comes next is taken as its bytes.
    void SetKeepsAwaitedBlock(bool on) { KeepsBlock = on; }
    // Every reply comes this much later; the device serves one request at a
    // time, so a copy received meanwhile is answered as late after it.
    void SetReplyDelayMs(int ms) { ReplyDelayMs = std::max(0, ms); }
    // Switched on this long after Start (< 0: never): nothing is heard
    // before. With textEveryMs > 0 the board's application prints a line of
    // text that often until then.
    void SetAsleep(int ms, int textEveryMs = 0);

    // Memory.
    const QByteArray& Memory() const { return Mem; }
    // Bytes from address 0; a shorter content leaves the rest erased (0xFF).
    void SetMemory(const QByteArray& content);
    void FillMemory(quint8 value) { Mem.fill(static_cast<char>(value)); }
    // A raw image of at most 64 KiB, as SetMemory.
    bool LoadMemory(const QString& path, QString* error = nullptr);
    // All 64 KiB, replacing the file whole or not at all.
    bool SaveMemory(const QString& path, QString* error = nullptr) const;

    // Bytes on the line that answer nothing, sent at once (a noisy line, or a
    // device that says more than it is asked).
    void SendStray(const QByteArray& bytes);
    // The last reply sent in full (without a junk tail); empty before any.
    QByteArray LastReply() const { return LastReplyBytes; }

    // Faults.
    FaultPlan& Faults() { return Plan; }
    void AddFault(const ScriptedFault& fault) { Plan.Add(fault); }
    bool AddFault(const QString& text, QString* error = nullptr) {
        return Plan.AddFromText(text, error);
    }
    void SetRandomFaults(const RandomFaultRates& rates, quint32 seed) {
        Plan.SetRandom(rates, seed);
    }

    // What happened.
    const DeviceCounters& Counters() const { return Count; }
    void ResetCounters() { Count = {}; }
    QByteArray LastConnect() const { return LastConnectHeader; }
    int LastApplicationAddress() const { return ApplicationAddress; }
    // The traffic, oldest first; at most TrafficLimit records are kept.
    const std::deque<TrafficRecord>& Traffic() const { return Log; }
    void ClearTraffic() { Log.clear(); }
    void SetTrafficLimit(int records) { TrafficLimit = records; }
    // Called with every record as it is made (to a file, to stderr).
    void SetTrafficSink(std::function<void(const TrafficRecord&)> sink) { Sink = std::move(sink); }

signals:
    void RequestHandled(ExchangeKind kind, FaultKind fault);
    void ApplicationStarted(int address);
    void Vanished();

private:
    struct PendingReply {
        qint64 DueUs;  // microseconds on Clock
        QByteArray Bytes;
        bool Filling = false;    // an adapter packet that later bytes may still join
        bool Announces = false;  // ends the acknowledgement of a WriteMemory
    };

    void OnData(const QByteArray& bytes);
    bool HearsRate(int baud) const;
    void Parse();
    void HandleHeader(const QByteArray& header);
    void HandleDataBlock(const QByteArray& block);
    // Queues a reply; returns when (in milliseconds on Clock) its last byte
    // is due to go out.
    qint64 Reply(const QByteArray& bytes, int requestLength);
    // Bytes whose last one is off the line at lastUs, byteUs apart, through
    // the adapter into the outbox.
    void PassThroughAdapter(qint64 lastUs, const QByteArray& bytes, double byteUs);
    void SendDueReplies();
    void Babble();
    void ClearOutbox();
    void Vanish();
    void Record(TrafficRecord::Direction dir, const QByteArray& bytes, const QString& text = {});
    void Note(const QString& text) { Record(TrafficRecord::Direction::Note, {}, text); }
    FaultPlan::Choice PickFault(ExchangeKind kind);
    QByteArray ConnectReply(quint8 status, quint8 byte1, bool wrongModel) const;
    void RemoveLink();

    PseudoTerminal* Terminal;
    QString LinkPath;
    QString LinkTarget;

    std::array<quint8, 3> Model{1, 2, 3};
    bool Marker = true;
    quint8 NoMarkerValue = 0x00;
    int OnlyRate = 0;
    int QuietGapMs = 200;
    bool LineTiming = false;
    QList<int> PieceSizes;
    int PieceGapMs = 5;
    int LatencyTimer = 0;
    bool Flash = false;
    bool KeepsBlock = false;
    int ReplyDelayMs = 0;
    int AsleepMs = 0;  // after Start; < 0: for ever
    int TextEveryMs = 0;
    qint64 StartedMs = 0;
    QTimer TextTimer;
    int TextLines = 0;
    bool Asleep() const;
    void PrintText();

    QByteArray Mem;
    FaultPlan Plan;
    DeviceCounters Count;
    QByteArray LastConnectHeader;
    int ApplicationAddress = -1;

    // Receiving.
    QElapsedTimer Clock;
    QByteArray Pending;  // bytes of the request being received
    qint64 LastByteMs = 0;
    int ArrivalRate = 0;   // the rate at which the pending bytes came
    int ExpectedData = 0;  // > 0: the data block (with its XOR) awaited
    int DataAddress = 0;
    qint64 DataAnnouncedMs = 0;   // when the acknowledgement went out
    bool AnnouncingData = false;  // the reply being queued acknowledges a WriteMemory
    bool Connected = false;       // a Connect has been accepted
    int SessionRate = 0;          // the rate the session goes on at

    // Sending.
    std::deque<PendingReply> Outbox;
    qint64 LineLastUs = 0;  // when the last reply byte queued so far is off the line
    QTimer OutboxTimer;
    // How the reply to the request being handled differs (a fault that
    // changes only the reply), and the slow line after a late reply:
    // replies to requests received before LagUntilUs come LagUs late.
    FaultPlan::Choice ReplyChange;
    qint64 LagUs = 0;
    qint64 LagUntilUs = 0;
    QByteArray LastReplyBytes;
    // Serving one request at a time: busy with a slow one until BusyUntilUs;
    // the blocks that are slow (kind << 16 | address: milliseconds).
    qint64 BusyUntilUs = 0;
    int SlowNowMs = 0;
    QHash<int, int> SlowRequests;
    // A babble behind a late reply (BabbleFromUs > 0: waiting for it to go).
    QTimer BabbleTimer;
    qint64 BabbleFromUs = 0;
    int BabbleForMs = 0;
    qint64 BabbleUntilMs = -1;
    bool BabbleArmed = false;
    std::minstd_rand BabbleDice{0x0BAB};

    std::deque<TrafficRecord> Log;
    int TrafficLimit = 100000;
    std::function<void(const TrafficRecord&)> Sink;
};
