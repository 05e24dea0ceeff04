#include <windows.h>

#include <chrono>
#include <thread>

#include "AppendFile.h"
#include "AppendFileAccess.h"
#include "WindowsErrorText.h"

static_assert(AppendFileAccess::GenericRead == GENERIC_READ &&
              AppendFileAccess::GenericWrite == GENERIC_WRITE);

namespace {
// Another program's lock (a reader that locked the log, a stuck writer) is
// waited for this long at the most, as on Linux: a record that cannot be
// written is reported, a station is never frozen by it.
constexpr auto LockWait = std::chrono::seconds(5);
constexpr auto LockPoll = std::chrono::milliseconds(20);
}  // namespace

AppendFile::~AppendFile() {
    if (Handle) {
        CloseHandle(Handle);
    }
}

QString AppendFile::Open(const QString& path) {
    // The rights that every call on the handle needs (AppendFileAccess.h).
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()),
                              AppendFileAccess::Opened, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return WindowsErrorText(GetLastError());
    }
    if (Handle) {
        CloseHandle(Handle);
    }
    Handle = file;
    return {};
}

bool AppendFile::IsOpen() const {
    return Handle != nullptr;
}

QString AppendFile::Append(const QByteArray& line) {
    if (!Handle) {
        return QStringLiteral("the file is not open");
    }
    // LOCKFILE_FAIL_IMMEDIATELY: a lock held by another handle makes the
    // call fail at once with ERROR_LOCK_VIOLATION instead of waiting for it
    // without limit; the wait is bounded here.
    OVERLAPPED whole{};
    const auto giveUp = std::chrono::steady_clock::now() + LockWait;
    while (!LockFileEx(Handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, &whole)) {
        const DWORD code = GetLastError();
        if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
            return WindowsErrorText(code);
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            return QStringLiteral("another program has held a lock on the file for %1 s")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(LockWait).count());
        }
        std::this_thread::sleep_for(LockPoll);
    }
    // Under the lock the end of the file is where this record starts. A
    // write that fails part way (a full disk) is cut back to it, so that no
    // fragment is left for the next record to be glued onto.
    LARGE_INTEGER start{};
    QString error;
    if (!GetFileSizeEx(Handle, &start) || !SetFilePointerEx(Handle, start, nullptr, FILE_BEGIN)) {
        error = WindowsErrorText(GetLastError());
    }
    qsizetype written = 0;
    while (error.isEmpty() && written < line.size()) {
        DWORD n = 0;
        if (!WriteFile(Handle, line.constData() + written,
                       static_cast<DWORD>(line.size() - written), &n, nullptr) ||
            n == 0) {
            const DWORD code = GetLastError();
            error = WindowsErrorText(code == ERROR_SUCCESS ? ERROR_DISK_FULL : code);
            break;
        }
        written += n;
    }
    if (error.isEmpty() && !FlushFileBuffers(Handle)) {
        error = WindowsErrorText(GetLastError());
    }
    if (!error.isEmpty() && written > 0) {
        if (SetFilePointerEx(Handle, start, nullptr, FILE_BEGIN)) {
            SetEndOfFile(Handle);
        }
    }
    UnlockFileEx(Handle, 0, MAXDWORD, MAXDWORD, &whole);
    return error;
}
