#pragma once

// A file that lines are appended to whole, by several programs at once (the
// --log of a flashing station's processes): each line goes out in one write
// at the end of the file, under an exclusive lock, and is on the disk before
// Append returns, so that a record once reported survives a crash.

#include <QByteArray>
#include <QString>

class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens path for appending, making it when it does not exist; empty on
    // success, otherwise the reason.
    QString Open(const QString& path);
    bool IsOpen() const;
    // Appends line (which ends with its line feed); empty on success,
    // otherwise the reason.
    QString Append(const QByteArray& line);

private:
#ifdef _WIN32
    void* Handle = nullptr;
#else
    int Descriptor = -1;
#endif
};
