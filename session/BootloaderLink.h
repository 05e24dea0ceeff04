#pragma once

// The link under the bootloader session: it sends each packet, reads what
// comes back and decides what the session may do with it.
//
// Replies carry no sequence number, so a reply says nothing about which
// request it answers. The link keeps the copies of requests that went out
// and may still be answered (live copies); a reply is trusted only when the
// request went out on a clean line, one without live copies: then nothing
// but its own answer can arrive, and once that has come every copy is
// accounted for (the device answers in the order it was asked) and the line
// is clean again. A request that goes out while earlier copies are live (the
// watchdog's resend, a resend after a reply that was no answer), or right
// after bytes were found waiting, leaves the line dirty: what comes then may
// be the answer of any live copy.
//
// A dirty line becomes clean by being quiet: nothing received and nothing
// sent for longer than any live copy can take to be answered (the longest
// answer delay known, at least the watchdog's interval), plus a margin. A
// device that serves one request at a time answers each waiting copy within
// that delay of the answer before it, so after such a quiet none is left.
// Each byte that arrives starts the quiet again, also bytes found waiting
// when a header goes out. A line that never goes quiet never becomes clean.
//
// How long the watchdog waits for each kind of request is learnt from the
// device (WatchInterval): only trusted answers give delay samples, so a device
// switched on after the first copies went out teaches nothing false.

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

#include "OneShotTimer.h"
#include "SerialPort.h"
#include "WatchInterval.h"

class BootloaderLink {
public:
    // How a reply is framed: a status reply (0x79 or 0x1F first; bytes behind
    // the awaited length are thrown away with it), or a read frame (data and
    // its XOR byte, nothing behind it).
    enum class ReplyForm { Status, Frame };

    // What was sent last. Filler: bytes that complete a data block a device
    // may still wait for (see BootloaderSession::ReleaseBlock).
    enum class Request { Connect, Erase, Write, Block, Read, Go, Filler };
    static constexpr int RequestKinds = 7;
    static_assert(RequestKinds == WatchInterval::Kinds);

    // What the session may do with a reply.
    enum class Move {
        Act,          // it is the answer of the request: read its status, store its frame
        AskAgain,     // send the same request again once the line is clean
        RedoBlock,    // erase the block and write it again once the line is clean
        KeepWaiting,  // nothing to act on; the watchdog resends in its time
    };

    struct Reply {
        QByteArray Bytes;
        // Of the form of an answer: a status reply at least as long as
        // awaited whose first byte is 0x79 or 0x1F; a read frame exactly as
        // long as awaited whose check byte matches its data.
        bool Answer = false;
        // The answer of the only copy that could be answered; the line is
        // clean again.
        bool Trusted = false;
        Move Next = Move::KeepWaiting;
    };

    // The quiet that makes a dirty line clean: the longest answer delay
    // known, but not less than the watchdog's interval, plus the margin.
    static constexpr int WatchFloorMs = WatchInterval::FloorMs;
    static constexpr int QuietMarginMs = WatchInterval::MarginMs;
    // The longest the watchdog ever waits, and the longest delay counted.
    static constexpr int WatchCeilingMs = WatchInterval::CeilingMs;

    // quietTimer is the link's own one-shot timer; its clock times the
    // answers. The link installs its tick handler and removes it again.
    BootloaderLink(SerialPort& port, OneShotTimer& quietTimer);
    ~BootloaderLink();
    BootloaderLink(const BootloaderLink&) = delete;
    BootloaderLink& operator=(const BootloaderLink&) = delete;

    static Request KindOfHeader(const QByteArray& header);

    // A new session (the last one stopped): nothing sent yet, nothing learnt.
    void Reset();
    // Sets the line settings of the port (the rate of the replies to come).
    void SetLine(const QString& settings);
    // Throws away what has come in, also what the system still holds.
    void Discard();
    // Sends a command header: what has come in is thrown away first; the
    // reply awaited is replyLength bytes of the given form.
    void SendHeader(const QByteArray& header, int replyLength, ReplyForm form);
    // Sends a data block right behind the acknowledgement of its header,
    // without throwing anything away; a status reply of replyLength awaited.
    void SendBlock(const QByteArray& block, int replyLength);
    // Sends bytes no answer of which is read: the line is dirty until quiet.
    void SendFiller(const QByteArray& bytes);
    // Reads everything waiting as the reply to what was sent last and says
    // what the session may do with it.
    Reply TakeReply();
    // Reads everything waiting and lets it go (the session has ended).
    void Drop();

    // How long the watchdog waits for the answer to a request of this kind.
    int WatchMs(Request kind) const;
    // The watchdog found no answer to what was sent last.
    void TimedOut();
    // Nobody watched the line for a while (the operator was asked): the
    // quiet counts from now.
    void RestartQuiet() { LastActivityMs = Now(); }

    // True when no copy can be answered any more: nothing went out since the
    // last trusted answer. (Right after a reply the line cannot have been
    // quiet long enough for live copies to have gone.)
    bool IsClean() const { return Live.isEmpty(); }
    // Waits until the line is clean (it is not: IsClean said so), throwing
    // away everything that arrives, then calls whenClean.
    void Settle(std::function<void()> whenClean);
    bool IsSettling() const { return Settling; }
    // Bytes arrived while settling: thrown away, and the quiet starts again.
    void BytesWhileSettling();
    // Stops waiting (the session ends); nothing more is called.
    void Stop();
    int QuietMs() const;

private:
    struct Copy {
        QByteArray Request;
        BootloaderLink::Request Kind = Request::Connect;
        qint64 SentMs = 0;
    };
    qint64 Now() const { return QuietTimer.NowMs(); }
    static int Kind(Request kind);
    void Send(const QByteArray& bytes, int replyLength, ReplyForm form, Request kind);
    void ForgetIfQuiet();
    void Forget();
    void QuietTick();
    void BytesArrived();
    Move Decide(const Reply& r) const;

    SerialPort& Port;
    OneShotTimer& QuietTimer;
    QList<Copy> Live;
    // The copy sent last went out on a clean line.
    bool SentClean = true;
    // Bytes were found waiting since the last send.
    bool FoundWaiting = false;
    // Bytes were thrown away while copies were live.
    bool ThrownWhileLive = false;
    qint64 LastActivityMs = 0;
    int AwaitedLength = 0;
    ReplyForm Form = ReplyForm::Status;
    bool Settling = false;
    std::function<void()> WhenClean;
    WatchInterval Watch;
    // The watchdog gave up on the copy of this kind; an arrival now is late.
    bool TimeoutPending = false;
    Request TimedOutKind = Request::Connect;
};
