#include "QtPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSaveFile>
#include <QThread>
#include <algorithm>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstring>
#else
#include <windows.h>

#include <QFileInfo>
#endif

QtOneShotTimer::QtOneShotTimer() {
    Timer.setSingleShot(true);
    Timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Timer, &QTimer::timeout, [this] { Fired(); });
}

void QtOneShotTimer::Start(int milliseconds) {
    Armed = true;
    DueMs = NowMs() + std::max(milliseconds, 0);
    if (!Timer.isActive() || SystemDueMs > DueMs) {
        StartSystemTimer(DueMs);
    }
}

void QtOneShotTimer::Stop() {
    // The system's timer runs on; its firing finds nothing armed.
    Armed = false;
}

void QtOneShotTimer::StartSystemTimer(qint64 dueMs) {
    const qint64 now = NowMs();
    SystemDueMs = std::max(dueMs, now);
    ++Starts;
    Timer.start(static_cast<int>(SystemDueMs - now));
}

void QtOneShotTimer::Fired() {
    if (!Armed) {
        return;
    }
    if (NowMs() < DueMs) {
        StartSystemTimer(DueMs);  // started again since it was set
        return;
    }
    Armed = false;
    RaiseTick();
}

// One monotonic clock for every timer of the process.
qint64 QtOneShotTimer::NowMs() const {
    static const QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

void QtPause::Sleep(int milliseconds) {
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

#ifndef _WIN32
namespace {

// What a path that is no regular file names, for the reason shown.
QString KindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return QStringLiteral("a folder");
    }
    if (S_ISFIFO(mode)) {
        return QStringLiteral("a FIFO");
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return QStringLiteral("a device");
    }
    if (S_ISSOCK(mode)) {
        return QStringLiteral("a socket");
    }
    return QStringLiteral("no regular file");
}

QString ErrorText(int error) {
    return error == ENOENT ? QStringLiteral("the file does not exist")
                           : QString::fromLocal8Bit(std::strerror(error));
}

// Empty when info is that of a regular file of at most maxBytes, else why not.
QString Unusable(const struct stat& info, qint64 maxBytes) {
    if (!S_ISREG(info.st_mode)) {
        return QStringLiteral("it is %1, not a file").arg(KindOf(info.st_mode));
    }
    if (info.st_size > maxBytes) {
        return QStringLiteral("the file is larger than %1 bytes").arg(maxBytes);
    }
    return {};
}

}  // namespace

FileSystem::ReadResult QtFileSystem::ReadFile(const QString& path) {
    // The type and size are checked before the file is opened, so that a
    // FIFO or a device is never opened at all (opening a FIFO waits for a
    // writer, and reading a device may never end), and again on the opened
    // file, which may have been swapped in the meantime.
    ReadResult result;
    const QByteArray name = QFile::encodeName(path);
    struct stat info {};
    if (stat(name.constData(), &info) != 0) {
        result.Error = ErrorText(errno);
        return result;
    }
    result.Error = Unusable(info, MaxReadBytes);
    if (!result.Error.isEmpty()) {
        return result;
    }
    const int fd = open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        result.Error = ErrorText(errno);
        return result;
    }
    if (fstat(fd, &info) != 0) {
        result.Error = ErrorText(errno);
    } else {
        result.Error = Unusable(info, MaxReadBytes);
    }
    char buffer[65536];
    while (result.Error.isEmpty()) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            result.Error = ErrorText(errno);
        } else if (n == 0) {
            break;
        } else if (result.Bytes.size() + n > MaxReadBytes) {
            result.Error = QStringLiteral("the file is larger than %1 bytes").arg(MaxReadBytes);
        } else {
            result.Bytes.append(buffer, n);
        }
    }
    close(fd);
    result.Ok = result.Error.isEmpty();
    if (!result.Ok) {
        result.Bytes.clear();
    }
    return result;
}
#else
FileSystem::ReadResult QtFileSystem::ReadFile(const QString& path) {
    ReadResult result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.Error = QStringLiteral("the file does not exist");
        return result;
    }
    if (!info.isFile()) {
        result.Error = QStringLiteral("it is not a file");
        return result;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        result.Error = file.errorString();
        return result;
    }
    // Read one byte beyond the limit to tell a file that is too large.
    result.Bytes = file.read(MaxReadBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        result.Error = file.errorString();
    } else if (result.Bytes.size() > MaxReadBytes) {
        result.Error = QStringLiteral("the file is larger than %1 bytes").arg(MaxReadBytes);
    }
    result.Ok = result.Error.isEmpty();
    if (!result.Ok) {
        result.Bytes.clear();
    }
    return result;
}
#endif

QString QtFileSystem::WriteFileWhole(const QString& path, const QByteArray& bytes) {
    // QSaveFile writes a temporary file beside the target and renames it over
    // the target only when everything was written. Unbuffered, so that every
    // failed write shows in the result of write(): a write failing when a
    // buffer is flushed at the end goes unseen by commit(), which would then
    // put a cut-off file in place of the old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return file.errorString();
    }
    qint64 written = 0;
    while (written < bytes.size()) {
        // A short write (a full disk, a size limit) is followed by one that
        // fails with the reason.
        const qint64 n = file.write(bytes.constData() + written, bytes.size() - written);
        if (n <= 0) {
            const QString error = file.errorString();
            file.cancelWriting();
            return error;
        }
        written += n;
    }
    if (!file.commit()) {
        return file.errorString();
    }
    return {};
}

QString QtFileSystem::ProblemWriting(const QString& path) {
    // The first step of WriteFileWhole: the target is looked at and a
    // temporary file is made beside it, which goes again uncommitted.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return file.errorString();
    }
    return {};
}

QStringList QtFileSystem::ListFiles(const QString& folder, const QString& pattern) {
    QDir dir(folder);
    dir.setNameFilters({pattern});  // matched without regard to case
    QStringList names = dir.entryList(QDir::Files, QDir::NoSort);
#ifndef _WIN32
    // Only regular files, also where a link leads: a FIFO, a device or a
    // link to one is no firmware file, as system files are not.
    names.removeIf([&dir](const QString& name) {
        struct stat info {};
        return stat(QFile::encodeName(dir.filePath(name)).constData(), &info) != 0 ||
               !S_ISREG(info.st_mode);
    });
#else
    // Files marked hidden or system are not listed, as a file list control
    // leaves them out.
    names.removeIf([&dir](const QString& name) {
        const QString path = QDir::toNativeSeparators(dir.filePath(name));
        const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t*>(path.utf16()));
        return attributes == INVALID_FILE_ATTRIBUTES ||
               (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
    });
#endif
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
    return names;
}

QString ProgramFolder() {
    return QCoreApplication::applicationDirPath();
}

#ifndef _WIN32
namespace {
int SignalPipe[2] = {-1, -1};
std::function<void()> SignalHandler;
volatile std::sig_atomic_t Requested = 0;
volatile std::sig_atomic_t SecondRequestStatus = -1;

void OnTerminationSignal(int signal) {
    // A second Ctrl-C or SIGTERM, where the program asked for it, ends the
    // process here and now: whatever keeps the first request from being
    // carried out (a thread stuck in the kernel) cannot hold this one up.
    if (Requested && SecondRequestStatus >= 0 && (signal == SIGINT || signal == SIGTERM)) {
        _exit(SecondRequestStatus);
    }
    Requested = 1;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(SignalPipe[1], &byte, 1);
}
}  // namespace

void OnTerminationSignals(std::function<void()> handler) {
    SignalHandler = std::move(handler);
    if (SignalPipe[0] >= 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, SignalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, qApp);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t ignored = read(SignalPipe[0], &byte, 1);
        if (SignalHandler) {
            SignalHandler();
        }
    });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        // A signal that was ignored when the program started (nohup, a
        // service manager) stays ignored.
        struct sigaction inherited {};
        if (sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal, &action, nullptr);
    }
}

void ExitOnSecondTerminationRequest(int status) {
    SecondRequestStatus = status;
}
#else
void OnTerminationSignals(std::function<void()>) {}
void ExitOnSecondTerminationRequest(int) {}
#endif

void EndOnTerminationSignals() {
    // Ends every running event loop, the modal ones included.
    OnTerminationSignals([] { QCoreApplication::exit(0); });
}
