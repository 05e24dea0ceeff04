#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "AppendFile.h"

namespace {

QString ErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

AppendFile::~AppendFile() {
    if (Descriptor >= 0) {
        ::close(Descriptor);
    }
}

QString AppendFile::Open(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        return ErrorText(errno);
    }
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
    while (::flock(Descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return ErrorText(errno);
        }
    }
    QString error;
    qsizetype written = 0;
    while (written < line.size()) {
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
    ::flock(Descriptor, LOCK_UN);
    return error;
}
