#pragma once

#include <functional>

#include <QtGlobal>

// A one-shot timer on the user-interface thread: Start arms it for one tick
// (starting again restarts the countdown), the tick disarms it before the
// handler runs.
class OneShotTimer {
public:
    virtual ~OneShotTimer() = default;
    virtual void Start(int milliseconds) = 0;
    virtual void Stop() = 0;
    virtual bool IsActive() const = 0;
    // The time in milliseconds on the clock that the timer counts by: it only
    // ever goes forward, and its zero means nothing. What happened between
    // two ticks is timed with it.
    virtual qint64 NowMs() const = 0;

    void SetTickHandler(std::function<void()> handler) { Handler = std::move(handler); }

protected:
    void RaiseTick() {
        if (Handler) {
            Handler();
        }
    }

private:
    std::function<void()> Handler;
};
