#pragma once

// USB-serial adapters hold a short reply back in the adapter until a latency
// timer fires (16 ms on an FTDI adapter), and a session of one-byte replies
// waits for that on every exchange. Where the driver offers it, a session's
// port asks for low latency right after opening; an FTDI driver then sets the
// timer to 1 ms. The setting belongs to the adapter, not to this program: it
// is asked for only by sessions (a probe of ports leaves it alone) and put
// back when the session closes the port, if the request changed it.
enum class LowLatencyAnswer {
    NotAsked,    // the port is not open, is no session's, or this system has no such request
    Granted,     // the driver shows the flag set (by this request or before it)
    Ignored,     // the driver took the request, but the flag read back is still clear
    NotOffered,  // the driver has no such setting (pseudo-terminals)
    Refused,     // the driver has the setting but would not change it
};

// The driver's low-latency flag of an open terminal, given by its descriptor.
class LowLatencyFlag {
public:
    virtual ~LowLatencyFlag() = default;
    // False when the driver has no such setting or the call failed.
    virtual bool Read(int descriptor, bool& set) = 0;
    // Changes the flag alone; false when the driver refused.
    virtual bool Write(int descriptor, bool set) = 0;
};

// On Linux the ASYNC_LOW_LATENCY flag, read with TIOCGSERIAL and written
// back with TIOCSSERIAL; elsewhere no driver offers it.
LowLatencyFlag& SystemLowLatencyFlag();

// Asks for low latency and reads the flag back to tell what happened.
// setHere becomes true when this request turned the flag on.
LowLatencyAnswer RequestLowLatency(LowLatencyFlag& flag, int descriptor, bool& setHere);

// Puts the flag back as the request found it: clears it when setHere.
void UndoLowLatency(LowLatencyFlag& flag, int descriptor, bool& setHere);
