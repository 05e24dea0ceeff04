#pragma once

#include <QList>
#include <QString>
#include <array>
#include <optional>
#include <random>

// What the simulated device receives: one command header or one data block.
enum class ExchangeKind { Connect, EraseMemory, WriteMemory, DataBlock, ReadMemory, GoApplication };
inline constexpr int ExchangeKindCount = 6;

// How the device misbehaves on one exchange.
enum class FaultKind {
    None,
    Silence,        // the request is not heard: nothing done, no reply
    DropReply,      // the request is carried out, its reply is lost
    Nack,           // refused with 0x1F, nothing done (Connect: without the marker)
    BadStatus,      // an unrecognised status byte instead of the reply's status, nothing done
    CorruptXor,     // a read block whose XOR byte is wrong
    FlipByte,       // a read block with one data byte flipped (XOR of the true data)
    RefuseConnect,  // Connect refused: 0x1F with the marker
    WrongModel,     // Connect accepted with other model bytes
    Only9600,       // a Connect not at 9600 baud is not heard
    Vanish,         // the device goes away instead of answering
    // Carried out as usual; only the reply is different:
    LateReply,    // the reply comes DelayMs late; while late replies are on their way
                  // the line stays that slow: a reply to a request received meanwhile
                  // comes DelayMs after that request (a resent copy is answered as late)
    Twice,        // the reply is sent twice: the copy right behind it, or DelayMs later
    Junk,         // a few stray bytes right behind the reply
    CutReply,     // a reply of several bytes starts DelayMs late (just before the
                  // watchdog's second) and comes in two: the rest SpanMs later
    StrayBefore,  // a stray byte right before the reply, whose last byte comes DelayMs late
    Slow,         // an erase or read that takes DelayMs, and so does every later one
                  // of that block; the device serves one request at a time, so a
                  // copy received meanwhile is served after it, as slowly
    Babble,       // LateReply; when a copy (or any request) came in meanwhile, the
                  // line then babbles: a random byte every few ms for SpanMs (0: until
                  // the device stops)
    Miswrite,     // a data block stored with one byte wrong, and acknowledged
};
inline constexpr int FaultKindCount = 19;

// Whether the fault leaves the request carried out and only changes its reply.
bool ChangesOnlyTheReply(FaultKind fault);

QString ExchangeKindName(ExchangeKind kind);
QString FaultKindName(FaultKind fault);
// Whether the fault means anything for an exchange of that kind.
bool FaultAppliesTo(FaultKind fault, ExchangeKind kind);

// One planned fault. Kind empty: any exchange. Ordinal 0: the next matching
// exchange; N > 0: the Nth exchange of that kind (or of any kind), counted
// from 1 since the device was made or its counters were reset. Every: each
// matching exchange.
struct ScriptedFault {
    std::optional<ExchangeKind> Kind;
    int Ordinal = 0;
    bool Every = false;
    FaultKind Fault = FaultKind::None;
    quint8 Status = 0x42;  // the byte that BadStatus sends
    // LateReply, Babble: how late (1500 unless given); Twice: the copy's gap;
    // CutReply: when its first part comes (950); StrayBefore: how late its last
    // byte is (40); Slow: how long it takes (1700).
    int DelayMs = 0;
    // CutReply: when the rest comes after the first part (300); Babble: how
    // long the line babbles (0: until the device stops).
    int SpanMs = 0;
};

// Per-exchange probabilities, each 0 to 1, of the faults drawn at random.
// Drawn in the order of the fields; the first that fires is injected, and
// only faults that apply to the exchange are drawn.
struct RandomFaultRates {
    double Silence = 0;        // any exchange
    double DropReply = 0;      // command headers
    double LostDataReply = 0;  // data blocks: written, reply lost
    double Nack = 0;           // everything that has a status byte
    double BadStatus = 0;      // everything that has a status byte
    double CorruptRead = 0;    // read blocks: bad XOR byte or a flipped data byte
    double RefuseConnect = 0;
    double WrongModel = 0;
    double Only9600 = 0;
    double Vanish = 0;  // any exchange
    double Late = 0;    // any exchange: the reply LateMinMs to LateMaxMs late
    double Twice = 0;   // any exchange: the reply twice, back to back
    double Junk = 0;    // any exchange: stray bytes right behind the reply
    double Cut = 0;     // Connect and read replies cut in two across the watchdog's second
    double Stray = 0;   // any exchange: a stray byte before the reply, its last byte late
    double Slow = 0;    // erases and reads: that block slow from then on (LateMinMs to LateMaxMs)
    double Babble = 0;  // any exchange: late as Late, then the line babbles for BabbleMs
    quint8 Status = 0x42;
    int LateMinMs = 1100;
    int LateMaxMs = 2000;
    int CutHeadMs = 950;  // the first part of a cut reply, after the request
    int CutGapMs = 300;   // the rest, after the first part
    int StrayTailMs = 40;
    int BabbleMs = 0;       // 0: until the device stops
    int BabbleGapMs = 100;  // bytes of a babbling line come up to this far apart
    // After a late reply, the next data block is refused, the next read block
    // comes with a wrong check byte (or, when neither follows, GoApplication
    // is refused), with this chance.
    double RefuseAfterLate = 0;

    bool Any() const;
};

// The faults of one device: the scripted ones first, then the random draw.
class FaultPlan {
public:
    void Add(const ScriptedFault& fault) { Scripted.append(fault); }
    void ClearScripted() { Scripted.clear(); }
    const QList<ScriptedFault>& ScriptedFaults() const { return Scripted; }

    void SetRandom(const RandomFaultRates& rates, quint32 seed);
    const RandomFaultRates& Random() const { return Rates; }

    // The fault for an exchange of `kind` that is the `ordinal`th of its kind
    // and the `anyOrdinal`th of all; a one-time scripted fault is used up.
    struct Choice {
        FaultKind Fault = FaultKind::None;
        quint8 Status = 0x42;
        int DelayMs = 0;  // as in ScriptedFault
        QByteArray Junk;  // Junk: the stray bytes; StrayBefore: the stray byte
        int SpanMs = 0;   // as in ScriptedFault
    };
    Choice Pick(ExchangeKind kind, int ordinal, int anyOrdinal);
    // A fair coin from the same generator (which way to corrupt a block).
    bool Coin();

    // Reads a fault text, as on the simulator's command line:
    //   TARGET:ACTION        a scripted fault
    //   random:NAME=P,...    random rates (silence, drop, lostdata, nack,
    //                        status, corrupt, refuse, wrongmodel, only9600,
    //                        vanish, late, twice, junk, afterlate), and
    //                        statusbyte=HH, latems=MIN-MAX
    // TARGET is next, KIND (the next of that kind), KIND#N (the Nth) or
    // KIND* (each); KIND is connect, erase, write, data, read, go or any.
    // ACTION is silence, drop, nack, status[=HH], badxor, flip, refuse,
    // wrongmodel, only9600, vanish, late[=MS], twice[=MS], junk, cut[=MS],
    // stray[=MS], slow[=MS], babble[=MS] (how long; 0 until the device
    // stops) or miswrite (data blocks). Random rates also take cut, stray,
    // slow and babble. False with a reason when not understood.
    bool AddFromText(const QString& text, QString* error);

private:
    QList<ScriptedFault> Scripted;
    RandomFaultRates Rates;
    std::mt19937 Generator{1};
    bool FollowUpPending = false;  // a late reply asked for a refusal after it
    bool Roll(double probability);
    Choice Complete(Choice choice);
};
