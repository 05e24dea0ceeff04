#pragma once

class QSerialPort;

// USB-serial adapters hold a short reply back in the adapter until a latency
// timer fires (16 ms on an FTDI adapter), and a session of one-byte replies
// waits for that on every exchange. Where the driver offers it, a port asks
// for low latency right after opening; an FTDI driver then sets the timer to
// 1 ms for whoever may open the port.
enum class LowLatencyAnswer {
    NotAsked,    // the port is not open, or this system has no such request
    Granted,     // the driver hands on what arrives at once (or did already)
    NotOffered,  // the driver has no such setting (pseudo-terminals, ttyACM)
    Refused,     // the driver has the setting but would not change it
};

// Asks the driver of an open port for low latency. Never fails the port:
// whatever the answer, the port works as before.
LowLatencyAnswer AskForLowLatency(QSerialPort& port);

#ifdef __linux__
// The Linux request on a terminal's descriptor: the ASYNC_LOW_LATENCY flag,
// read with TIOCGSERIAL and written back with TIOCSSERIAL.
LowLatencyAnswer RequestLowLatency(int descriptor);
#endif
