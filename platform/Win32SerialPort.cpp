#include "Win32SerialPort.h"

#include <windows.h>

#include <QMetaObject>
#include <QMutexLocker>
#include <utility>

#include "ComPortMap.h"

namespace {

HANDLE AsHandle(void* handle) {
    return static_cast<HANDLE>(handle);
}

// The system's words for an error code, as the system's message table has
// them ("Access is denied."), without the line end.
QString SystemText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString result = length > 0 ? QString::fromWCharArray(text, length).trimmed()
                                : QStringLiteral("system error %1").arg(code);
    LocalFree(text);
    return result;
}

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

constexpr DWORD LineErrors = CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY;

}  // namespace

Win32SerialPort::Win32SerialPort() = default;

Win32SerialPort::~Win32SerialPort() {
    Close();
}

bool Win32SerialPort::ApplySettings() {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(AsHandle(Handle), &dcb)) {
        ErrorText = SystemText(GetLastError());
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(Current.BaudRate);
    dcb.ByteSize = static_cast<BYTE>(Current.DataBits);
    dcb.Parity = ToParity(Current.Parity);
    dcb.StopBits = Current.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = Current.Parity != 'N';
    // No flow control; DTR and RTS on, as a terminal raises them when it opens
    // on Linux. Nothing replaces or drops bytes, and errors do not stop reads.
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
    if (!SetCommState(AsHandle(Handle), &dcb)) {
        ErrorText = SystemText(GetLastError());
        return false;
    }
    return true;
}

bool Win32SerialPort::SetSettings(const QString& settings) {
    LineSettings parsed;
    if (!ParseLineSettings(settings, parsed)) {
        return false;
    }
    Current = parsed;
    if (!Handle) {
        return true;
    }
    // Bytes queued before take the line at the rate they were queued for.
    HoldThread();
    const bool applied = ApplySettings();
    ReleaseThread();
    return applied;
}

void Win32SerialPort::SetReceiveThreshold(int n) {
    Threshold = n > 0 ? n : 0;
    if (Threshold > 0 && Handle && Buffer.size() >= Threshold) {
        PostThresholdCheck();
    }
}

bool Win32SerialPort::Open() {
    ErrorText.clear();
    if (Handle) {
        return true;
    }
    if (DevicePath.isEmpty()) {
        const QString name = ComPortDeviceName(PortNumber);
        Device = name.isEmpty() ? QString() : QStringLiteral("\\\\.\\") + name;
    } else {
        Device = DevicePath;
    }
    if (Device.isEmpty()) {
        ErrorText = QStringLiteral("COM%1 is not a port of this machine").arg(PortNumber);
        return false;
    }
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t*>(Device.utf16()), GENERIC_READ | GENERIC_WRITE,
                    0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        ErrorText = SystemText(GetLastError());
        return false;
    }
    Handle = handle;
    // A read returns 1 ms after the last byte of what has come, or after
    // ReadCycleMs when nothing comes. A write may take twice its time on the
    // line at the slowest rate, and a second more, before it counts as failed.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 1;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = ReadCycleMs;
    timeouts.WriteTotalTimeoutMultiplier = 2;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!ApplySettings() || !SetCommTimeouts(handle, &timeouts)) {
        if (ErrorText.isEmpty()) {
            ErrorText = SystemText(GetLastError());
        }
        CloseHandle(handle);
        Handle = nullptr;
        return false;
    }
    {
        QMutexLocker locker(&Lock);
        Outgoing.clear();
        Pending.clear();
        Holds = 0;
        Busy = false;
        Reading = false;
        Stopping = false;
        LineError = false;
        Gone = false;
        ThreadError.clear();
    }
    Thread = CreateThread(nullptr, 0, &Win32SerialPort::ThreadMain, this, 0, nullptr);
    if (!Thread) {
        ErrorText = SystemText(GetLastError());
        CloseHandle(handle);
        Handle = nullptr;
        return false;
    }
    ++Opening;
    return true;
}

void Win32SerialPort::Close() {
    if (!Handle) {
        return;
    }
    StopThread();
    CloseHandle(AsHandle(Handle));
    Handle = nullptr;
    Buffer.clear();
    QMutexLocker locker(&Lock);
    Pending.clear();
    Outgoing.clear();
}

bool Win32SerialPort::Write(const QByteArray& bytes) {
    if (!Handle) {
        return false;
    }
    QMutexLocker locker(&Lock);
    if (Gone) {
        return false;
    }
    if (!bytes.isEmpty()) {
        Outgoing.append(bytes);
        Changed.wakeAll();
        if (Reading) {
            // A waiting read gives way to the write (where the system can
            // cancel it).
            CancelSynchronousIo(AsHandle(Thread));
        }
    }
    return true;
}

QByteArray Win32SerialPort::ReadAll() {
    return std::exchange(Buffer, QByteArray());
}

QByteArray Win32SerialPort::DiscardInput() {
    if (!Handle) {
        return {};
    }
    // Everything the thread has read so far goes with the port's buffer, and
    // what the system holds is purged while the thread reads nothing: no byte
    // that came before this call can come after it.
    HoldThread();
    QByteArray thrown = std::exchange(Buffer, QByteArray());
    {
        QMutexLocker locker(&Lock);
        thrown += std::exchange(Pending, QByteArray());
    }
    PurgeComm(AsHandle(Handle), PURGE_RXCLEAR);
    ReleaseThread();
    return thrown;
}

void Win32SerialPort::HoldThread() {
    QMutexLocker locker(&Lock);
    ++Holds;
    Changed.wakeAll();
    // The thread writes what is queued first, then waits.
    while (!Gone && (Busy || !Outgoing.isEmpty())) {
        if (Reading) {
            CancelSynchronousIo(AsHandle(Thread));
        }
        Changed.wait(&Lock, ReadCycleMs);
    }
}

void Win32SerialPort::ReleaseThread() {
    QMutexLocker locker(&Lock);
    --Holds;
    Changed.wakeAll();
}

void Win32SerialPort::StopThread() {
    {
        QMutexLocker locker(&Lock);
        Stopping = true;
        Changed.wakeAll();
        if (Reading) {
            CancelSynchronousIo(AsHandle(Thread));
        }
    }
    WaitForSingleObject(AsHandle(Thread), INFINITE);
    CloseHandle(AsHandle(Thread));
    Thread = nullptr;
}

unsigned long __stdcall Win32SerialPort::ThreadMain(void* port) {
    static_cast<Win32SerialPort*>(port)->RunThread();
    return 0;
}

void Win32SerialPort::RunThread() {
    char buffer[4096];
    for (;;) {
        QByteArray write;
        {
            QMutexLocker locker(&Lock);
            while (Outgoing.isEmpty() && Holds > 0 && !Stopping) {
                Changed.wait(&Lock);
            }
            if (!Outgoing.isEmpty()) {
                write = Outgoing.takeFirst();
            } else if (Stopping) {
                return;
            }
            Busy = true;
            Reading = write.isEmpty();
        }
        if (!write.isEmpty()) {
            DWORD written = 0;
            const bool ok = WriteFile(AsHandle(Handle), write.constData(),
                                      static_cast<DWORD>(write.size()), &written, nullptr) &&
                            written == static_cast<DWORD>(write.size());
            if (!ok) {
                const DWORD error = GetLastError();
                QMutexLocker locker(&Lock);
                ThreadError = error == ERROR_SUCCESS ? QStringLiteral("the write timed out")
                                                     : SystemText(error);
                LineError = true;
            }
        } else {
            ReadOnce(buffer, sizeof buffer);
        }
        // A device that has gone shows in the port's status (under Wine a
        // read of a vanished terminal simply returns nothing).
        DWORD errors = 0;
        const bool status = ClearCommError(AsHandle(Handle), &errors, nullptr);
        const DWORD statusError = status ? ERROR_SUCCESS : GetLastError();
        QMutexLocker locker(&Lock);
        Busy = false;
        Changed.wakeAll();
        Reading = false;
        if (status && (errors & LineErrors) != 0) {
            LineError = true;
        }
        if (!status) {
            Gone = true;
            ThreadError = SystemText(statusError);
        }
        if (!Pending.isEmpty() || LineError || Gone) {
            Post();
        }
        if (Gone) {
            return;
        }
    }
}

// One read. A read that failed (not one that was cancelled) means that the
// device has gone.
void Win32SerialPort::ReadOnce(char* buffer, unsigned long size) {
    DWORD got = 0;
    const bool ok = ReadFile(AsHandle(Handle), buffer, size, &got, nullptr);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    QMutexLocker locker(&Lock);
    if (got > 0) {
        Pending.append(buffer, static_cast<qsizetype>(got));
    }
    if (!ok && error != ERROR_OPERATION_ABORTED) {
        ThreadError = SystemText(error);
        Gone = true;
    }
}

// Under Lock, on the port's thread: the user-interface thread takes over.
void Win32SerialPort::Post() {
    if (DeliveryPosted) {
        return;
    }
    DeliveryPosted = true;
    QMetaObject::invokeMethod(
        &Events, [this] { Deliver(); }, Qt::QueuedConnection);
}

void Win32SerialPort::Deliver() {
    QByteArray fresh;
    bool lineError = false;
    bool gone = false;
    QString error;
    {
        QMutexLocker locker(&Lock);
        DeliveryPosted = false;
        fresh = std::exchange(Pending, QByteArray());
        lineError = std::exchange(LineError, false);
        gone = Gone;
        error = ThreadError;
    }
    if (!Handle) {
        return;
    }
    const int opening = Opening;
    Buffer += fresh;
    if (!fresh.isEmpty()) {
        RaiseIfThresholdReached();
    }
    if ((lineError || gone) && Handle && Opening == opening) {
        ErrorText = error;
        if (gone) {
            Close();
        }
        RaiseComm(CommEvent::LineError);
    }
}

void Win32SerialPort::PostThresholdCheck() {
    if (CheckPosted) {
        return;
    }
    CheckPosted = true;
    QMetaObject::invokeMethod(
        &Events,
        [this] {
            CheckPosted = false;
            RaiseIfThresholdReached();
        },
        Qt::QueuedConnection);
}

void Win32SerialPort::RaiseIfThresholdReached() {
    if (Threshold > 0 && Handle && Buffer.size() >= Threshold) {
        RaiseComm(CommEvent::DataReceived);
    }
}
