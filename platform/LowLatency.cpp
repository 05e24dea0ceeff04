#include "LowLatency.h"

#include <QSerialPort>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

#ifdef __linux__
LowLatencyAnswer RequestLowLatency(int descriptor) {
    serial_struct info{};
    if (::ioctl(descriptor, TIOCGSERIAL, &info) != 0) {
        return LowLatencyAnswer::NotOffered;
    }
    if (info.flags & ASYNC_LOW_LATENCY) {
        return LowLatencyAnswer::Granted;
    }
    // Everything else is written back as it was read: only the flag changes,
    // which the drivers let any user who may open the port change.
    info.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(descriptor, TIOCSSERIAL, &info) != 0) {
        return LowLatencyAnswer::Refused;
    }
    return LowLatencyAnswer::Granted;
}
#endif

LowLatencyAnswer AskForLowLatency(QSerialPort& port) {
#ifdef __linux__
    if (!port.isOpen()) {
        return LowLatencyAnswer::NotAsked;
    }
    return RequestLowLatency(port.handle());
#else
    // Windows keeps the FTDI latency timer among the driver's settings, set
    // by an administrator in the port's properties.
    static_cast<void>(port);
    return LowLatencyAnswer::NotAsked;
#endif
}
