#include "QtPlatform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QThread>
#include <algorithm>

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <csignal>
#endif

QtOneShotTimer::QtOneShotTimer() {
    Timer.setSingleShot(true);
    Timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Timer, &QTimer::timeout, [this] { RaiseTick(); });
}

void QtOneShotTimer::Start(int milliseconds) {
    Timer.start(milliseconds);
}

void QtOneShotTimer::Stop() {
    Timer.stop();
}

bool QtOneShotTimer::IsActive() const {
    return Timer.isActive();
}

void QtPause::Sleep(int milliseconds) {
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

FileSystem::ReadResult QtFileSystem::ReadFile(const QString& path) {
    ReadResult result;
    QFile file(path);
    if (!file.exists()) {
        result.Error = QStringLiteral("the file does not exist");
        return result;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        result.Error = file.errorString();
        return result;
    }
    if (file.size() > MaxReadBytes) {
        result.Error = QStringLiteral("the file is larger than %1 bytes").arg(MaxReadBytes);
        return result;
    }
    result.Bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        result.Error = file.errorString();
        result.Bytes.clear();
        return result;
    }
    result.Ok = true;
    return result;
}

QString QtFileSystem::WriteFileWhole(const QString& path, const QByteArray& bytes) {
    // QSaveFile writes a temporary file beside the target and renames it over
    // the target only when everything was written.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return file.errorString();
    }
    if (file.write(bytes) != bytes.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit()) {
        return file.errorString();
    }
    return {};
}

QStringList QtFileSystem::ListFiles(const QString& folder, const QString& pattern) {
    QDir dir(folder);
    dir.setNameFilters({pattern});  // matched without regard to case
    QStringList names = dir.entryList(QDir::Files, QDir::NoSort);
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

void OnTerminationSignal(int) {
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
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}
#else
void OnTerminationSignals(std::function<void()>) {}
#endif

void EndOnTerminationSignals() {
    // Ends every running event loop, the modal ones included.
    OnTerminationSignals([] { QCoreApplication::exit(0); });
}
