#pragma once

// The link under the bootloader session: it sends each packet, reads what
// comes back and decides whether that can be trusted as the answer.
//
// Replies carry no sequence number, so a reply says nothing about which
// request it answers. The link keeps the copies of requests that went out
// and may still be answered (live copies); a reply is trusted only when the
// request went out on a clean line, one without live copies: then nothing
// but its own answer can arrive, and once that has come every copy is
// accounted for (the device answers in the order it was asked) and the line
// is clean again. A request that goes out while earlier copies are live (the
// watchdog's resend, a resend after a reply that was no answer) leaves the
// line dirty: what comes then may be the answer of any live copy.
//
// A dirty line becomes clean by being quiet: nothing received and nothing
// sent for longer than the longest answer delay seen in the session (at
// least the watchdog's interval, within which an answer counts as in time),
// plus a margin. A device that serves one request at a time
// answers each waiting copy within that delay of the answer before it, so
// after such a quiet none is left. Each byte that arrives starts the quiet
// again, also bytes found waiting when a header goes out. A line that never
// goes quiet never becomes clean.
//
// The session asks the link for the line to become clean (Settle) before it
// sends anything new after a reply it could not trust; meanwhile whatever
// arrives is thrown away.

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

#include "OneShotTimer.h"
#include "SerialPort.h"

class BootloaderLink {
public:
    // How a reply is framed: a status reply (0x79 or 0x1F first; bytes behind
    // the awaited length are thrown away with it), or a read frame (data and
    // its XOR byte, nothing behind it).
    enum class ReplyForm { Status, Frame };

    struct Reply {
        QByteArray Bytes;
        // Of the form of an answer: a status reply at least as long as
        // awaited whose first byte is 0x79 or 0x1F; a read frame exactly as
        // long as awaited whose check byte matches its data.
        bool Answer = false;
        // An answer of one of the live copies, all of them copies of the
        // request last sent: what it says holds for that request, but another
        // copy's answer may still come. A reply longer than one byte counts
        // only when nothing was thrown away meanwhile (it might be the tail
        // of one answer and the head of the next).
        bool OfThisRequest = false;
        // The request went out on a clean line: nothing but its own answer
        // could come.
        bool SentClean = false;
        // The answer of the only copy that could be answered; the line is
        // clean again.
        bool Trusted = false;
    };

    // The quiet that makes a dirty line clean: the longest answer delay
    // seen, but not less than the watchdog's interval, plus the margin.
    static constexpr int QuietFloorMs = 1000;
    static constexpr int QuietMarginMs = 250;
    // Answer delays are counted up to this. A delay is timed from the first
    // copy that may have been answered, and when the operator answers the
    // watchdog's question at once, copies stay live over many seconds of
    // resends; a device that takes longer than this for each answer is no
    // device the watchdog could ever serve.
    static constexpr int LongestCountedMs = 10000;

    // quietTimer is the link's own one-shot timer; its clock times the
    // answers. The link installs its tick handler and removes it again.
    BootloaderLink(SerialPort& port, OneShotTimer& quietTimer);
    ~BootloaderLink();
    BootloaderLink(const BootloaderLink&) = delete;
    BootloaderLink& operator=(const BootloaderLink&) = delete;

    // A new session (the last one stopped): nothing sent yet, no answer seen.
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
    // Reads everything waiting as the reply to what was sent last.
    Reply TakeReply();
    // Reads everything waiting and lets it go (the session has ended).
    void Drop();

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
        qint64 SentMs = 0;
    };
    qint64 Now() const { return QuietTimer.NowMs(); }
    void Send(const QByteArray& bytes, int replyLength, ReplyForm form);
    void ForgetIfQuiet();
    void Forget();
    void QuietTick();

    SerialPort& Port;
    OneShotTimer& QuietTimer;
    QList<Copy> Live;
    // The copy sent last went out on a clean line.
    bool SentClean = true;
    // Bytes were thrown away while copies were live.
    bool ThrownWhileLive = false;
    qint64 LastActivityMs = 0;
    qint64 LongestAnswerMs = 0;
    int AwaitedLength = 0;
    ReplyForm Form = ReplyForm::Status;
    bool Settling = false;
    std::function<void()> WhenClean;
};
