#pragma once

// The calls that the Windows serial port (Win32SerialPort) makes on an open
// port of the system, one method per Win32 call, so that the port's thread
// logic runs on any system: over the real calls on Windows
// (OpenWin32CommDriver) and against a model of a Windows serial driver in
// the tests. Numbers are Windows' own (error codes, flags).

#include <QString>
#include <memory>

#include "SerialPort.h"

namespace CommCodes {
// Error codes (GetLastError).
inline constexpr unsigned long AccessDenied = 5;        // ERROR_ACCESS_DENIED
inline constexpr unsigned long OperationAborted = 995;  // ERROR_OPERATION_ABORTED
// Line errors of ClearCommError.
inline constexpr unsigned long RxOver = 0x1, Overrun = 0x2, RxParity = 0x4, Frame = 0x8,
                               Break = 0x10;
// PurgeComm flags.
inline constexpr unsigned long TxAbort = 0x1, RxAbort = 0x2, TxClear = 0x4, RxClear = 0x8;
// The "no interval" value of COMMTIMEOUTS.
inline constexpr unsigned long MaxDword = 0xFFFFFFFFul;
}  // namespace CommCodes

// COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
    unsigned long ReadInterval = 0;
    unsigned long ReadMultiplier = 0;
    unsigned long ReadConstant = 0;
    unsigned long WriteMultiplier = 0;
    unsigned long WriteConstant = 0;
};

class CommDriver {
public:
    // What a ReadFile or WriteFile on a synchronous handle gives back: on
    // failure Error is GetLastError's code.
    struct Transfer {
        bool Ok = false;
        unsigned long Count = 0;
        unsigned long Error = 0;
    };
    // ClearCommError: the line errors since the last call and the number of
    // bytes the driver holds unread; on failure Error is the code.
    struct Status {
        bool Ok = false;
        unsigned long LineErrors = 0;
        unsigned long Waiting = 0;
        unsigned long Error = 0;
    };

    virtual ~CommDriver() = default;

    // GetCommState and SetCommState; 0, or the error code.
    virtual unsigned long SetLine(const LineSettings& settings) = 0;
    // SetCommTimeouts; 0, or the error code.
    virtual unsigned long SetTimeouts(const CommTimeouts& timeouts) = 0;
    virtual Transfer Read(char* buffer, unsigned long size) = 0;
    virtual Transfer Write(const char* bytes, unsigned long size) = 0;
    virtual Status ClearErrors() = 0;
    // PurgeComm; false when it failed.
    virtual bool Purge(unsigned long flags) = 0;
    // Called once by the port's thread before its first call: the thread
    // that CancelThreadIo reaches.
    virtual void AttachThread() {}
    // CancelSynchronousIo of the port's thread: the synchronous call it is in
    // (if any) ends as aborted. Called from another thread.
    virtual void CancelThreadIo() = 0;
    // The system's words for an error code.
    virtual QString ErrorText(unsigned long code) const = 0;
};

// Opens device (such as \\.\COM3) for the Windows serial port; null with the
// reason in error when it cannot be opened. Windows only.
std::unique_ptr<CommDriver> OpenWin32CommDriver(const QString& device, QString& error);
