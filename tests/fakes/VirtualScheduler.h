#pragma once

// Virtual time for tests: timers and serial arrivals are actions posted at a
// virtual moment; Advance runs them in time order (equal times in posting
// order), so a six-second watchdog scenario runs in microseconds.

#include <QtGlobal>
#include <functional>
#include <map>
#include <utility>

class VirtualScheduler {
public:
    using ActionId = quint64;

    qint64 Now() const { return NowMs; }

    // Runs action at Now() + delayMs. A delay of 0 runs it at the next
    // Advance or RunDue, never from inside Post.
    ActionId Post(qint64 delayMs, std::function<void()> action);
    void Cancel(ActionId id);
    bool IsPending(ActionId id) const;
    int PendingCount() const { return static_cast<int>(Actions.size()); }

    // Runs every action due up to Now() + ms, moving the clock to each.
    void Advance(qint64 ms);
    // Runs the actions due now, including those that they post for now.
    void RunDue() { Advance(0); }
    // Advances until done() holds or limitMs have passed; true when done.
    bool RunUntil(const std::function<bool()>& done, qint64 limitMs);
    // Lets time pass without running anything (a blocking pause).
    void PassTimeBlocked(qint64 ms) { NowMs += ms; }

private:
    struct Key {
        qint64 Due;
        ActionId Id;
        bool operator<(const Key& o) const { return Due != o.Due ? Due < o.Due : Id < o.Id; }
    };
    std::map<Key, std::function<void()>> Actions;
    std::map<ActionId, qint64> DueOf;
    qint64 NowMs = 0;
    ActionId NextId = 1;
};
