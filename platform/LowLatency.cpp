#include "LowLatency.h"

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

class SystemFlag : public LowLatencyFlag {
public:
#ifdef __linux__
    bool Read(int descriptor, bool& set) override {
        serial_struct info{};
        if (::ioctl(descriptor, TIOCGSERIAL, &info) != 0) {
            return false;
        }
        set = (info.flags & ASYNC_LOW_LATENCY) != 0;
        return true;
    }
    // Everything else is written back as it was read: only the flag
    // changes, which the drivers let any user who may open the port change.
    bool Write(int descriptor, bool set) override {
        serial_struct info{};
        if (::ioctl(descriptor, TIOCGSERIAL, &info) != 0) {
            return false;
        }
        info.flags = set ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
        return ::ioctl(descriptor, TIOCSSERIAL, &info) == 0;
    }
#else
    bool Read(int, bool&) override {
        return false;
    }
    bool Write(int, bool) override {
        return false;
    }
#endif
};

}  // namespace

LowLatencyFlag& SystemLowLatencyFlag() {
    static SystemFlag flag;
    return flag;
}

LowLatencyAnswer RequestLowLatency(LowLatencyFlag& flag, int descriptor, bool& setHere) {
    setHere = false;
    bool set = false;
    if (!flag.Read(descriptor, set)) {
        return LowLatencyAnswer::NotOffered;
    }
    if (set) {
        return LowLatencyAnswer::Granted;  // someone else's setting: left as it is at close
    }
    if (!flag.Write(descriptor, true)) {
        return LowLatencyAnswer::Refused;
    }
    // Some drivers (cdc-acm, pl2303, ch341, cp210x) take the request and
    // ignore it. When the read-back fails, the flag may have changed: it is
    // cleared at close all the same, which is how it was found.
    setHere = true;
    if (!flag.Read(descriptor, set) || !set) {
        return LowLatencyAnswer::Ignored;
    }
    return LowLatencyAnswer::Granted;
}

void UndoLowLatency(LowLatencyFlag& flag, int descriptor, bool& setHere) {
    if (setHere) {
        flag.Write(descriptor, false);
        setHere = false;
    }
}
