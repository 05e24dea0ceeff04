#include <windows.h>

#include "AppendFile.h"

namespace {

QString ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const QString message =
        text ? QString::fromWCharArray(text).trimmed() : QStringLiteral("error %1").arg(error);
    LocalFree(text);
    return message;
}

}  // namespace

AppendFile::~AppendFile() {
    if (Handle) {
        CloseHandle(Handle);
    }
}

QString AppendFile::Open(const QString& path) {
    // Append data only: every write goes to the end of the file as it is then.
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ErrorText(GetLastError());
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
    OVERLAPPED whole{};
    if (!LockFileEx(Handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        return ErrorText(GetLastError());
    }
    QString error;
    qsizetype written = 0;
    while (written < line.size()) {
        DWORD n = 0;
        if (!WriteFile(Handle, line.constData() + written,
                       static_cast<DWORD>(line.size() - written), &n, nullptr) ||
            n == 0) {
            error = ErrorText(GetLastError());
            break;
        }
        written += n;
    }
    if (error.isEmpty() && !FlushFileBuffers(Handle)) {
        error = ErrorText(GetLastError());
    }
    UnlockFileEx(Handle, 0, MAXDWORD, MAXDWORD, &whole);
    return error;
}
