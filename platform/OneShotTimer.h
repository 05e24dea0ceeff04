#pragma once

#include <functional>

// A one-shot timer on the user-interface thread: Start arms it for one tick
// (starting again restarts the countdown), the tick disarms it before the
// handler runs.
class OneShotTimer {
public:
    virtual ~OneShotTimer() = default;
    virtual void Start(int milliseconds) = 0;
    virtual void Stop() = 0;
    virtual bool IsActive() const = 0;

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
