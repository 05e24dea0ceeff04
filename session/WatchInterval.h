#pragma once

// How long the watchdog waits for an answer, learnt from the device as TCP's
// retransmission timer is (RFC 6298, with Karn's rule that only an answer
// which cannot belong to another copy is a delay sample).
//
// The interval is the watchdog's second until the device has shown that it
// answers late (something arrived after the watchdog gave up on a request).
// From then on each timeout doubles the interval of its kind of request (up
// to CeilingMs) until a sample comes; from the samples of each kind the
// interval becomes the smoothed delay plus four times its variation. A kind
// that has no sample yet waits as long as the slowest kind.
//
// Kinds are the link's kinds of request, by number; the longest delay known
// (samples, and the least delay an answer of a resent request can have had)
// sets how long a dirty line must stay quiet.

#include <QtGlobal>
#include <array>

class WatchInterval {
public:
    static constexpr int Kinds = 7;
    // The watchdog's second, the longest it ever waits (and the longest delay
    // counted), and the least room left above a smoothed delay.
    static constexpr int FloorMs = 1000;
    static constexpr int CeilingMs = 4000;
    static constexpr int MarginMs = 250;

    // Nothing learnt: a new session.
    void Reset() { *this = WatchInterval{}; }

    // How long the watchdog waits for the answer to a request of this kind.
    int WatchMs(int kind) const;
    // The watchdog gave up on a request of this kind.
    void TimedOut(int kind);
    // Something arrived after the watchdog gave up on a request of this kind:
    // the device answers late (or lost an answer).
    void ArrivedLate(int kind);
    // A trusted answer to a request of this kind came delayMs after it.
    void Sample(int kind, qint64 delayMs);
    // An answer of a resent request came delayMs after its last copy: it was
    // at least that late, whichever copy it answers.
    void AtLeast(qint64 delayMs);

    bool ShownLate() const { return Late; }
    // The longest answer delay known.
    qint64 LongestMs() const { return LongestKnownMs; }

private:
    // The delay of a kind of request, smoothed, and the interval reckoned
    // from it.
    struct Timing {
        double Smoothed = 0;
        double Variation = 0;
        bool Sampled = false;
        int WatchMs = FloorMs;
    };
    void BackOff(int kind);

    std::array<Timing, Kinds> Timings{};
    bool Late = false;
    qint64 LongestKnownMs = 0;
};
