#include "BootloaderLink.h"

#include <algorithm>

namespace {

constexpr char StatusAck = 0x79;
constexpr char StatusRefused = 0x1F;

bool FrameChecks(const QByteArray& frame) {
    char x = 0;
    for (qsizetype i = 0; i + 1 < frame.size(); ++i) {
        x ^= frame[i];
    }
    return !frame.isEmpty() && x == frame.back();
}

using Move = BootloaderLink::Move;

// Who may have sent a reply.
enum Source {
    Trusted,       // an answer to a request sent on a clean line: its own
    Own,           // an answer, and every live copy is one of the request last sent
    Other,         // anything else on a dirty line
    Unrecognised,  // no answer, on a clean line
};
constexpr int Sources = 4;

// What the session may do, by the request last sent and the reply's source.
// Only a trusted answer moves a block of an Update on: an erase acknowledged
// by one of several copies may be a data block's acknowledgement, a
// WriteMemory or a data block in doubt leaves the device perhaps waiting for
// a block. Connect and GoApplication mean the same whichever copy is answered.
constexpr Move Table[BootloaderLink::RequestKinds][Sources] = {
    // Trusted     Own              Other            Unrecognised
    {Move::Act, Move::Act, Move::AskAgain, Move::KeepWaiting},             // Connect
    {Move::Act, Move::AskAgain, Move::AskAgain, Move::AskAgain},           // EraseMemory
    {Move::Act, Move::RedoBlock, Move::RedoBlock, Move::KeepWaiting},      // WriteMemory
    {Move::Act, Move::RedoBlock, Move::RedoBlock, Move::RedoBlock},        // data block
    {Move::Act, Move::AskAgain, Move::AskAgain, Move::AskAgain},           // ReadMemory
    {Move::Act, Move::Act, Move::AskAgain, Move::KeepWaiting},             // GoApplication
    {Move::RedoBlock, Move::RedoBlock, Move::RedoBlock, Move::RedoBlock},  // filler
};

}  // namespace

BootloaderLink::BootloaderLink(SerialPort& port, OneShotTimer& quietTimer)
    : Port(port), QuietTimer(quietTimer) {
    QuietTimer.SetTickHandler([this] { QuietTick(); });
}

BootloaderLink::~BootloaderLink() {
    QuietTimer.Stop();
    QuietTimer.SetTickHandler({});
}

BootloaderLink::Request BootloaderLink::KindOfHeader(const QByteArray& header) {
    switch (header.size() > 1 ? static_cast<quint8>(header[1]) : 0) {
        case 0x82:
            return Request::Connect;
        case 0x01:
            return Request::Erase;
        case 0x02:
            return Request::Write;
        case 0x81:
            return Request::Read;
        default:
            return Request::Go;
    }
}

void BootloaderLink::Reset() {
    Forget();
    LastActivityMs = Now();
    SentClean = true;
    FoundWaiting = false;
    Watch.Reset();
}

void BootloaderLink::SetLine(const QString& settings) {
    Port.SetSettings(settings);
}

// The filler completes a data block: it is timed as one.
int BootloaderLink::Kind(Request kind) {
    return static_cast<int>(kind == Request::Filler ? Request::Block : kind);
}

int BootloaderLink::WatchMs(Request kind) const {
    return Watch.WatchMs(Kind(kind));
}

int BootloaderLink::QuietMs() const {
    qint64 quiet = std::max<qint64>(WatchFloorMs, Watch.LongestMs());
    for (const Copy& c : Live) {
        quiet = std::max<qint64>(quiet, WatchMs(c.Kind));
    }
    return static_cast<int>(quiet) + QuietMarginMs;
}

void BootloaderLink::Forget() {
    Live.clear();
    ThrownWhileLive = false;
    TimeoutPending = false;
}

// Copies that a quiet longer than QuietMs has outlasted will not be answered.
void BootloaderLink::ForgetIfQuiet() {
    if (Now() - LastActivityMs > QuietMs()) {
        Forget();
    }
}

void BootloaderLink::Discard() {
    if (!Port.DiscardInput().isEmpty()) {
        BytesArrived();
        FoundWaiting = true;
        ThrownWhileLive = ThrownWhileLive || !Live.isEmpty();
    }
}

void BootloaderLink::SendHeader(const QByteArray& header, int replyLength, ReplyForm form) {
    Discard();
    Send(header, replyLength, form, KindOfHeader(header));
}

void BootloaderLink::SendBlock(const QByteArray& block, int replyLength) {
    Send(block, replyLength, ReplyForm::Status, Request::Block);
}

void BootloaderLink::SendFiller(const QByteArray& bytes) {
    Discard();
    Send(bytes, 1, ReplyForm::Status, Request::Filler);
}

void BootloaderLink::Send(const QByteArray& bytes, int replyLength, ReplyForm form, Request kind) {
    ForgetIfQuiet();
    // Bytes found waiting right before may be a copy's late answer.
    SentClean = Live.isEmpty() && !FoundWaiting;
    FoundWaiting = false;
    LastActivityMs = Now();
    Live.append({bytes, kind, LastActivityMs});
    AwaitedLength = replyLength;
    Form = form;
    Port.SetReceiveThreshold(replyLength);
    Port.Write(bytes);
}

void BootloaderLink::TimedOut() {
    if (Live.isEmpty()) {
        return;
    }
    TimedOutKind = Live.back().Kind;
    TimeoutPending = true;
    Watch.TimedOut(Kind(TimedOutKind));
}

// Something arrived after the watchdog gave up on a copy: the device answers
// late (or lost an answer), and the watchdog backs off.
void BootloaderLink::BytesArrived() {
    LastActivityMs = Now();
    if (TimeoutPending) {
        TimeoutPending = false;
        Watch.ArrivedLate(Kind(TimedOutKind));
    }
}

BootloaderLink::Move BootloaderLink::Decide(const Reply& r) const {
    Source source = Other;
    if (r.Trusted) {
        source = Trusted;
    } else if (r.Answer && !Live.isEmpty()) {
        const QByteArray& request = Live.back().Request;
        const bool allThis = std::all_of(Live.begin(), Live.end(),
                                         [&](const Copy& c) { return c.Request == request; });
        // A reply longer than one byte counts only when nothing was thrown
        // away meanwhile (it might be the tail of one answer and the head of
        // the next).
        if (allThis && (AwaitedLength == 1 || !ThrownWhileLive)) {
            source = Own;
        }
    } else if (!r.Answer && SentClean) {
        source = Unrecognised;
    }
    const int kind =
        Live.isEmpty() ? static_cast<int>(Request::Go) : static_cast<int>(Live.back().Kind);
    return Table[kind][source];
}

BootloaderLink::Reply BootloaderLink::TakeReply() {
    Reply r;
    r.Bytes = Port.ReadAll();
    const auto size = r.Bytes.size();
    if (size > 0) {
        BytesArrived();
    }
    if (Form == ReplyForm::Frame) {
        r.Answer = size == AwaitedLength && FrameChecks(r.Bytes);
    } else {
        r.Answer = size >= AwaitedLength && size > 0 &&
                   (r.Bytes[0] == StatusAck || r.Bytes[0] == StatusRefused);
    }
    r.Trusted = r.Answer && SentClean && !Live.isEmpty();
    if (r.Answer && !Live.isEmpty()) {
        const qint64 delay = LastActivityMs - Live.back().SentMs;
        if (r.Trusted) {
            Watch.Sample(Kind(Live.back().Kind), delay);
        } else {
            // Whichever copy it answers, it went out no later than the last.
            Watch.AtLeast(delay);
        }
    }
    r.Next = Decide(r);
    if (r.Trusted) {
        Forget();  // answered in order: every copy before it was answered or lost
    }
    return r;
}

void BootloaderLink::Drop() {
    Port.ReadAll();
}

void BootloaderLink::Settle(std::function<void()> whenClean) {
    WhenClean = std::move(whenClean);
    Settling = true;
    Port.SetReceiveThreshold(1);
    QuietTimer.Start(static_cast<int>(std::max<qint64>(1, LastActivityMs + QuietMs() - Now())));
}

void BootloaderLink::BytesWhileSettling() {
    Port.DiscardInput();
    BytesArrived();
    QuietTimer.Start(QuietMs());
}

void BootloaderLink::QuietTick() {
    if (!Settling) {
        return;
    }
    Settling = false;
    Forget();
    const std::function<void()> next = std::move(WhenClean);
    WhenClean = {};
    next();
}

void BootloaderLink::Stop() {
    QuietTimer.Stop();
    Settling = false;
    WhenClean = {};
}
