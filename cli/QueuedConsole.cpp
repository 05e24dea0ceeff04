#include "QueuedConsole.h"

QueuedConsole::QueuedConsole(Console& inner) : Inner(inner), Writer([this] { Run(); }) {}

QueuedConsole::~QueuedConsole() {
    {
        const std::lock_guard<std::mutex> guard(Lock);
        Closing = true;
    }
    Changed.notify_all();
    Writer.join();
}

void QueuedConsole::Out(const QString& text) {
    Put(false, text);
}

void QueuedConsole::Err(const QString& text) {
    Put(true, text);
}

void QueuedConsole::Put(bool toErr, const QString& text) {
    if (text.isEmpty()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> guard(Lock);
        Pieces.emplace_back(toErr, text);
    }
    Changed.notify_all();
}

void QueuedConsole::Run() {
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        Changed.wait(guard, [this] { return Closing || !Pieces.empty(); });
        if (Pieces.empty()) {
            return;
        }
        auto [toErr, text] = std::move(Pieces.front());
        Pieces.pop_front();
        guard.unlock();
        (toErr ? Inner.Err(text) : Inner.Out(text));
        guard.lock();
    }
}
