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

}  // namespace

BootloaderLink::BootloaderLink(SerialPort& port, OneShotTimer& quietTimer)
    : Port(port), QuietTimer(quietTimer) {
    QuietTimer.SetTickHandler([this] { QuietTick(); });
}

BootloaderLink::~BootloaderLink() {
    QuietTimer.Stop();
    QuietTimer.SetTickHandler({});
}

void BootloaderLink::Reset() {
    Forget();
    LastActivityMs = Now();
    LongestAnswerMs = 0;
    SentClean = true;
}

void BootloaderLink::SetLine(const QString& settings) {
    Port.SetSettings(settings);
}

int BootloaderLink::QuietMs() const {
    return static_cast<int>(std::max<qint64>(QuietFloorMs, LongestAnswerMs)) + QuietMarginMs;
}

void BootloaderLink::Forget() {
    Live.clear();
    ThrownWhileLive = false;
}

// Copies that a quiet longer than QuietMs has outlasted will not be answered.
void BootloaderLink::ForgetIfQuiet() {
    if (Now() - LastActivityMs > QuietMs()) {
        Forget();
    }
}

void BootloaderLink::Discard() {
    if (!Port.DiscardInput().isEmpty()) {
        LastActivityMs = Now();
        ThrownWhileLive = ThrownWhileLive || !Live.isEmpty();
    }
}

void BootloaderLink::SendHeader(const QByteArray& header, int replyLength, ReplyForm form) {
    Discard();
    Send(header, replyLength, form);
}

void BootloaderLink::SendBlock(const QByteArray& block, int replyLength) {
    Send(block, replyLength, ReplyForm::Status);
}

void BootloaderLink::Send(const QByteArray& bytes, int replyLength, ReplyForm form) {
    ForgetIfQuiet();
    SentClean = Live.isEmpty();
    LastActivityMs = Now();
    Live.append({bytes, LastActivityMs});
    AwaitedLength = replyLength;
    Form = form;
    Port.SetReceiveThreshold(replyLength);
    Port.Write(bytes);
}

BootloaderLink::Reply BootloaderLink::TakeReply() {
    Reply r;
    r.Bytes = Port.ReadAll();
    r.SentClean = SentClean;
    const auto size = r.Bytes.size();
    if (size > 0) {
        LastActivityMs = Now();
        if (!Live.isEmpty()) {
            // Timed from the first copy that may have been answered: a
            // device that serves copies in turn may take that long for each.
            LongestAnswerMs = std::clamp<qint64>(LastActivityMs - Live.front().SentMs,
                                                 LongestAnswerMs, LongestCountedMs);
        }
    }
    if (Form == ReplyForm::Frame) {
        r.Answer = size == AwaitedLength && FrameChecks(r.Bytes);
    } else {
        r.Answer = size >= AwaitedLength && size > 0 &&
                   (r.Bytes[0] == StatusAck || r.Bytes[0] == StatusRefused);
    }
    if (!r.Answer || Live.isEmpty()) {
        return r;
    }
    const QByteArray& request = Live.back().Request;
    r.Trusted = SentClean;
    r.OfThisRequest =
        r.Trusted || (std::all_of(Live.begin(), Live.end(),
                                  [&](const Copy& c) { return c.Request == request; }) &&
                      (AwaitedLength == 1 || !ThrownWhileLive));
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
    LastActivityMs = Now();
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
