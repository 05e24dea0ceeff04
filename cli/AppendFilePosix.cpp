#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "AppendFile.h"

namespace {

// How long Append waits for the other writers' lock before it gives up.
constexpr auto LockWait = std::chrono::seconds(5);
constexpr auto LockPoll = std::chrono::milliseconds(10);

QString ErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// An open-file-description write lock on the whole file. Only a descriptor
// opened for writing can take one, and flock() locks do not meet it: a
// program that merely reads the log cannot keep the writers out with flock,
// and one that takes a read lock with fcntl is waited for a bounded time.
bool TryLock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

AppendFile::~AppendFile() {
    if (Descriptor >= 0) {
        ::close(Descriptor);
    }
}

QString AppendFile::Open(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat existing {};
    if (::stat(name.constData(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        return QStringLiteral("not a regular file");
    }
    // Opened without waiting: a FIFO nobody reads would otherwise hold the
    // open for ever. Only a regular file takes records: a FIFO, a terminal
    // or /dev/full would lose them or block.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        return ErrorText(errno);
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = errno;
        ::close(fd);
        return S_ISREG(status.st_mode) ? ErrorText(error) : QStringLiteral("not a regular file");
    }
    ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    if (Descriptor >= 0) {
        ::close(Descriptor);
    }
    Descriptor = fd;
    return {};
}

bool AppendFile::IsOpen() const {
    return Descriptor >= 0;
}

QString AppendFile::Append(const QByteArray& line) {
    if (Descriptor < 0) {
        return QStringLiteral("the file is not open");
    }
    // The lock keeps out the other writers between a short write and the
    // rest of the line; O_APPEND puts each write at the end as it is then.
    const auto giveUp = std::chrono::steady_clock::now() + LockWait;
    while (!TryLock(Descriptor, F_WRLCK)) {
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            return ErrorText(errno);
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            return QStringLiteral("another program has held a lock on the file for %1 s")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(LockWait).count());
        }
        std::this_thread::sleep_for(LockPoll);
    }
    // A line is written whole or not at all: after a failure the file is
    // cut back to where it ended, so that no fragment is left for the next
    // record to be glued onto.
    struct stat before {};
    QString error;
    if (::fstat(Descriptor, &before) != 0) {
        error = ErrorText(errno);
    }
    qsizetype written = 0;
    while (error.isEmpty() && written < line.size()) {
        const ssize_t n = ::write(Descriptor, line.constData() + written,
                                  static_cast<std::size_t>(line.size() - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = ErrorText(n < 0 ? errno : ENOSPC);
            break;
        }
        written += n;
    }
    if (error.isEmpty() && ::fsync(Descriptor) != 0) {
        error = ErrorText(errno);
    }
    if (!error.isEmpty() && written > 0) {
        while (::ftruncate(Descriptor, before.st_size) != 0 && errno == EINTR) {
        }
    }
    TryLock(Descriptor, F_UNLCK);
    return error;
}
