#include "VirtualScheduler.h"

VirtualScheduler::ActionId VirtualScheduler::Post(qint64 delayMs, std::function<void()> action) {
    const ActionId id = NextId++;
    const qint64 due = NowMs + qMax<qint64>(0, delayMs);
    Actions.emplace(Key{due, id}, std::move(action));
    DueOf.emplace(id, due);
    return id;
}

void VirtualScheduler::Cancel(ActionId id) {
    const auto it = DueOf.find(id);
    if (it == DueOf.end()) {
        return;
    }
    Actions.erase(Key{it->second, id});
    DueOf.erase(it);
}

bool VirtualScheduler::IsPending(ActionId id) const {
    return DueOf.count(id) != 0;
}

void VirtualScheduler::Advance(qint64 ms) {
    const qint64 until = NowMs + qMax<qint64>(0, ms);
    while (!Actions.empty() && Actions.begin()->first.Due <= until) {
        auto node = Actions.extract(Actions.begin());
        DueOf.erase(node.key().Id);
        NowMs = qMax(NowMs, node.key().Due);
        node.mapped()();
    }
    NowMs = qMax(NowMs, until);
}

bool VirtualScheduler::RunUntil(const std::function<bool()>& done, qint64 limitMs) {
    const qint64 until = NowMs + limitMs;
    RunDue();
    while (!done()) {
        if (Actions.empty() || Actions.begin()->first.Due > until) {
            NowMs = qMax(NowMs, until);
            return done();
        }
        Advance(Actions.begin()->first.Due - NowMs);
    }
    return true;
}
