#include "WatchInterval.h"

#include <algorithm>
#include <cmath>

int WatchInterval::WatchMs(int kind) const {
    if (!Late) {
        return FloorMs;
    }
    const Timing& t = Timings[kind];
    if (t.Sampled) {
        return t.WatchMs;
    }
    // Not measured yet: as long as the slowest kind the device has shown.
    int longest = t.WatchMs;
    for (const Timing& other : Timings) {
        longest = std::max(longest, other.WatchMs);
    }
    return longest;
}

void WatchInterval::TimedOut(int kind) {
    if (Late) {
        BackOff(kind);
    }
}

void WatchInterval::ArrivedLate(int kind) {
    if (!Late) {
        Late = true;
        BackOff(kind);
    }
}

void WatchInterval::BackOff(int kind) {
    Timing& t = Timings[kind];
    t.WatchMs = std::min(CeilingMs, 2 * WatchMs(kind));
}

// The smoothed delay and its variation, as RFC 6298 keeps them; the interval
// leaves room for the variation, at least the margin and half the delay (a
// device that always takes the same time still varies by the machine's load).
void WatchInterval::Sample(int kind, qint64 delayMs) {
    const double d = static_cast<double>(std::min<qint64>(delayMs, CeilingMs));
    Timing& t = Timings[kind];
    if (t.Sampled) {
        t.Variation = 0.75 * t.Variation + 0.25 * std::abs(t.Smoothed - d);
        t.Smoothed = 0.875 * t.Smoothed + 0.125 * d;
    } else {
        t.Smoothed = d;
        t.Variation = d / 2;
        t.Sampled = true;
    }
    const double watch =
        t.Smoothed + std::max({static_cast<double>(MarginMs), t.Smoothed / 2, 4 * t.Variation});
    t.WatchMs = static_cast<int>(std::clamp<double>(std::ceil(watch), FloorMs, CeilingMs));
    LongestKnownMs = std::max<qint64>(LongestKnownMs, static_cast<qint64>(d));
}

void WatchInterval::AtLeast(qint64 delayMs) {
    LongestKnownMs = std::clamp<qint64>(delayMs, LongestKnownMs, CeilingMs);
}
