#include "TracingPort.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <deque>
#include <thread>

namespace {

QString Hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

}  // namespace

TracingPort::TracingPort(SerialPort& inner, std::function<void(const QString&)> trace)
    : Inner(inner), Sink(std::move(trace)) {
    Inner.SetCommHandler([this](CommEvent event) {
        Trace(event == CommEvent::DataReceived ? QStringLiteral("event: data received")
                                               : QStringLiteral("event: line error"));
        RaiseComm(event);
    });
}

TracingPort::~TracingPort() {
    Inner.SetCommHandler({});
}

void TracingPort::Trace(const QString& record) const {
    if (Sink) {
        Sink(record);
    }
}

void TracingPort::SetPortNumber(qint16 n) {
    Trace(QStringLiteral("port number %1").arg(n));
    Inner.SetPortNumber(n);
}

bool TracingPort::SetSettings(const QString& settings) {
    const bool ok = Inner.SetSettings(settings);
    Trace(QStringLiteral("settings %1: %2").arg(settings, ok ? "ok" : "not taken"));
    return ok;
}

void TracingPort::SetBinaryInput() {
    Trace(QStringLiteral("binary input"));
    Inner.SetBinaryInput();
}

void TracingPort::SetReceiveThreshold(int n) {
    Trace(QStringLiteral("threshold %1").arg(n));
    Inner.SetReceiveThreshold(n);
}

bool TracingPort::IsOpen() const {
    const bool open = Inner.IsOpen();
    Trace(QStringLiteral("is open: %1").arg(open ? "yes" : "no"));
    return open;
}

bool TracingPort::Open() {
    const bool ok = Inner.Open();
    Trace(ok ? QStringLiteral("open: ok")
             : QStringLiteral("open: failed: %1").arg(Inner.LastError()));
    if (ok && AfterOpen) {
        AfterOpen();
    }
    return ok;
}

void TracingPort::Close() {
    Inner.Close();
    Trace(QStringLiteral("close"));
}

bool TracingPort::Write(const QByteArray& bytes) {
    const bool ok = Inner.Write(bytes);
    if (ok) {
        Sent += bytes.size();
    }
    Trace(QStringLiteral("-> %1%2").arg(Hex(bytes), ok ? QString() : QStringLiteral(" (failed)")));
    if (ok && AfterWrite) {
        AfterWrite(bytes);
    }
    return ok;
}

QByteArray TracingPort::ReadAll() {
    const QByteArray bytes = Inner.ReadAll();
    Received += bytes.size();
    if (!bytes.isEmpty()) {
        LastBytes = bytes;
    }
    Trace(bytes.isEmpty() ? QStringLiteral("<- (nothing waiting)")
                          : QStringLiteral("<- %1").arg(Hex(bytes)));
    return bytes;
}

// Only a discard that threw bytes away is written down: one runs before
// every command header, and nearly all find nothing.
QByteArray TracingPort::DiscardInput() {
    const QByteArray bytes = Inner.DiscardInput();
    Received += bytes.size();
    if (!bytes.isEmpty()) {
        Trace(QStringLiteral("<- %1 (thrown away)").arg(Hex(bytes)));
    }
    return bytes;
}

struct TraceFile::Shared {
    QMutex Lock;
    QWaitCondition Changed;
    std::deque<QByteArray> Lines;
    std::size_t QueuedBytes = 0;
    bool Writing = false;  // the thread holds lines it is writing
    bool Closing = false;
    bool Failed = false;
    std::FILE* File = nullptr;

    // Straight to the descriptor, past the stream's buffer: the end of the
    // process then has nothing of it to flush, and cannot be held by a disk
    // that no longer takes anything.
    bool WriteWhole(const QByteArray& line) const {
        const int fd = fileno(File);
        qsizetype done = 0;
        while (done < line.size()) {
#ifdef _WIN32
            const int n =
                _write(fd, line.constData() + done, static_cast<unsigned>(line.size() - done));
#else
            const ssize_t n =
                ::write(fd, line.constData() + done, static_cast<std::size_t>(line.size() - done));
            if (n < 0 && errno == EINTR) {
                continue;
            }
#endif
            if (n <= 0) {
                return false;
            }
            done += n;
        }
        return true;
    }

    // The writing thread: lines in the order given, until closed and empty.
    void Run() {
        QMutexLocker guard(&Lock);
        for (;;) {
            while (!Closing && Lines.empty()) {
                Changed.wait(&Lock);
            }
            if (Lines.empty()) {
                break;
            }
            std::deque<QByteArray> batch;
            batch.swap(Lines);
            QueuedBytes = 0;
            Writing = true;
            const bool failed = Failed;
            guard.unlock();
            bool ok = !failed;
            for (const QByteArray& line : batch) {
                ok = ok && WriteWhole(line);
            }
            guard.relock();
            Writing = false;
            Failed = Failed || !ok;
            Changed.wakeAll();
        }
        std::fclose(File);
        File = nullptr;
    }
};

namespace {

// Records waiting for a slow disk beyond this are dropped.
constexpr std::size_t MostQueuedBytes = 4 * 1024 * 1024;

}  // namespace

TraceFile::TraceFile(std::FILE* file) {
    if (!file) {
        return;
    }
    State = std::make_shared<Shared>();
    State->File = file;
    // The thread holds the file to the end of its last write, however long
    // the disk takes, and goes once it has closed it. It is detached: nobody
    // waits for it, and what it writes lives as long as it needs it (the
    // state is shared), also when the session's own thread has long ended.
    std::thread([state = State] { state->Run(); }).detach();
}

TraceFile::~TraceFile() {
    if (State) {
        Finish(0);
    }
}

void TraceFile::Write(const QString& record) {
    if (!State) {
        return;
    }
    QByteArray line = (TraceTimestamp() + u' ' + record + u'\n').toUtf8();
    const QMutexLocker guard(&State->Lock);
    if (State->Closing || State->Failed) {
        return;
    }
    if (State->QueuedBytes + static_cast<std::size_t>(line.size()) > MostQueuedBytes) {
        State->Failed = true;
        return;
    }
    State->QueuedBytes += static_cast<std::size_t>(line.size());
    State->Lines.push_back(std::move(line));
    State->Changed.wakeAll();
}

bool TraceFile::Finish(int waitMs) {
    if (!State) {
        return true;
    }
    const QMutexLocker guard(&State->Lock);
    State->Closing = true;
    State->Changed.wakeAll();
    const QDeadlineTimer deadline(waitMs);
    while (!State->Lines.empty() || State->Writing) {
        if (!State->Changed.wait(&State->Lock, deadline)) {
            return false;
        }
    }
    return !State->Failed;
}

QString TraceTimestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto micros = duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return QString::asprintf("%s.%06lld", text, static_cast<long long>(micros));
}
