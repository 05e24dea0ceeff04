#include "TracingPort.h"

#include <chrono>
#include <ctime>

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

TraceFile::~TraceFile() {
    if (File) {
        std::fclose(File);
    }
}

void TraceFile::Write(const QString& record) {
    if (!File || !Good) {
        return;
    }
    const QByteArray line = (TraceTimestamp() + u' ' + record + u'\n').toUtf8();
    Good = std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), File) ==
               static_cast<std::size_t>(line.size()) &&
           std::fflush(File) == 0;
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
