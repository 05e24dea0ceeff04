#pragma once

// Blocks the calling thread; no events are handled meanwhile.
class Pause {
public:
    virtual ~Pause() = default;
    virtual void Sleep(int milliseconds) = 0;
};
