#include <windows.h>

#include <atomic>

#include "CommDriver.h"
#include "WindowsErrorText.h"

namespace {

BYTE ToParity(char parity) {
    switch (parity) {
        case 'E':
            return EVENPARITY;
        case 'O':
            return ODDPARITY;
        case 'M':
            return MARKPARITY;
        case 'S':
            return SPACEPARITY;
        default:
            return NOPARITY;
    }
}

DWORD LastErrorOr(DWORD fallback) {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? fallback : error;
}

class Win32CommDriver : public CommDriver {
public:
    explicit Win32CommDriver(HANDLE handle) : Handle(handle) {}
    ~Win32CommDriver() override {
        if (const HANDLE thread = Thread.load()) {
            CloseHandle(thread);
        }
        CloseHandle(Handle);
    }
    Win32CommDriver(const Win32CommDriver&) = delete;
    Win32CommDriver& operator=(const Win32CommDriver&) = delete;

    unsigned long SetLine(const LineSettings& settings) override {
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        if (!GetCommState(Handle, &dcb)) {
            return LastErrorOr(ERROR_GEN_FAILURE);
        }
        dcb.BaudRate = static_cast<DWORD>(settings.BaudRate);
        dcb.ByteSize = static_cast<BYTE>(settings.DataBits);
        dcb.Parity = ToParity(settings.Parity);
        dcb.StopBits = settings.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = settings.Parity != 'N';
        // No flow control; DTR and RTS on, as a terminal raises them when it
        // opens on Linux. Nothing replaces or drops bytes, and errors do not
        // stop reads.
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        // SetCommState refuses a DCB whose XonChar equals its XoffChar, as
        // the zeroed one of some USB drivers has them, even with XON/XOFF off.
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        return SetCommState(Handle, &dcb) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    unsigned long SetTimeouts(const CommTimeouts& timeouts) override {
        COMMTIMEOUTS system{};
        system.ReadIntervalTimeout = timeouts.ReadInterval;
        system.ReadTotalTimeoutMultiplier = timeouts.ReadMultiplier;
        system.ReadTotalTimeoutConstant = timeouts.ReadConstant;
        system.WriteTotalTimeoutMultiplier = timeouts.WriteMultiplier;
        system.WriteTotalTimeoutConstant = timeouts.WriteConstant;
        return SetCommTimeouts(Handle, &system) ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
    }

    Transfer Read(char* buffer, unsigned long size) override {
        DWORD got = 0;
        const bool ok = ReadFile(Handle, buffer, size, &got, nullptr);
        return {ok, got, ok ? 0 : LastErrorOr(ERROR_GEN_FAILURE)};
    }

    Transfer Write(const char* bytes, unsigned long size) override {
        DWORD written = 0;
        const bool ok = WriteFile(Handle, bytes, size, &written, nullptr);
        return {ok, written, ok ? 0 : LastErrorOr(ERROR_GEN_FAILURE)};
    }

    Status ClearErrors() override {
        DWORD errors = 0;
        COMSTAT state{};
        if (!ClearCommError(Handle, &errors, &state)) {
            return {false, 0, 0, LastErrorOr(ERROR_GEN_FAILURE)};
        }
        return {true, errors, state.cbInQue, 0};
    }

    bool Purge(unsigned long flags) override { return PurgeComm(Handle, flags); }

    void AttachThread() override {
        // CancelSynchronousIo needs a handle with THREAD_TERMINATE access.
        HANDLE thread = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                            THREAD_TERMINATE, FALSE, 0)) {
            Thread.store(thread);
        }
    }

    void CancelThreadIo() override {
        if (const HANDLE thread = Thread.load()) {
            CancelSynchronousIo(thread);
        }
    }

    QString ErrorText(unsigned long code) const override { return WindowsErrorText(code); }

private:
    HANDLE Handle;
    std::atomic<HANDLE> Thread{nullptr};
};

}  // namespace

std::unique_ptr<CommDriver> OpenWin32CommDriver(const QString& device, QString& error) {
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t*>(device.utf16()), GENERIC_READ | GENERIC_WRITE,
                    0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = WindowsErrorText(GetLastError());
        return nullptr;
    }
    return std::make_unique<Win32CommDriver>(handle);
}
