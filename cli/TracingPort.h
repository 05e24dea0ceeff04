#pragma once

// A serial port that forwards every call to another one, counts the bytes
// each way and, when given a trace, writes down every call with the bytes it
// moved. Each operation of SerialPort is forwarded: a new one is one more
// line here.

#include <QByteArray>
#include <QString>
#include <cstdio>
#include <functional>
#include <memory>

#include "SerialPort.h"

class TracingPort : public SerialPort {
public:
    // trace gets one record per call or event ("-> 55 82 ...", "<- 79",
    // "open: ok"); it may be empty, and then only the bytes are counted.
    TracingPort(SerialPort& inner, std::function<void(const QString&)> trace);
    ~TracingPort() override;
    TracingPort(const TracingPort&) = delete;
    TracingPort& operator=(const TracingPort&) = delete;

    void SetPortNumber(qint16 n) override;
    bool SetSettings(const QString& settings) override;
    void SetBinaryInput() override;
    void SetReceiveThreshold(int n) override;
    bool IsOpen() const override;
    bool Open() override;
    void Close() override;
    bool Write(const QByteArray& bytes) override;
    QByteArray ReadAll() override;
    QByteArray DiscardInput() override;
    QString LastError() const override { return Inner.LastError(); }

    // Bytes handed over by successful writes, and bytes received (read or
    // thrown away where the port could see them).
    qint64 BytesSent() const { return Sent; }
    qint64 BytesReceived() const { return Received; }
    // What the last read that found bytes brought.
    QByteArray LastRead() const { return LastBytes; }

    // Called after an Open that succeeded, before anything is written; and
    // after each write that succeeded, with its bytes.
    std::function<void()> AfterOpen;
    std::function<void(const QByteArray&)> AfterWrite;

private:
    void Trace(const QString& record) const;

    SerialPort& Inner;
    std::function<void(const QString&)> Sink;
    qint64 Sent = 0;
    qint64 Received = 0;
    QByteArray LastBytes;
};

// A trace file: each record on a line of its own after the local time to the
// microsecond ("2026-05-04 13:07:22.081337 -> 55 82 01 02 03 01 03 D5"),
// handed to a thread of the file's own that writes it through at once, so
// that nothing is lost when the program ends abruptly and a slow or hung
// disk (a network folder, a FIFO nobody reads) never holds up the session.
// Records that pile up beyond a bound are dropped and the trace is marked
// incomplete. Takes over the open file and closes it.
class TraceFile {
public:
    explicit TraceFile(std::FILE* file);
    // Leaves a thread still held by the disk to finish on its own.
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    void Write(const QString& record);
    // Waits up to waitMs for the records given so far to be written; true
    // when all of them were, false once one was lost or not written in time.
    bool Finish(int waitMs);

    // What the session's thread and the file's writing thread share.
    struct Shared;

private:
    std::shared_ptr<Shared> State;
};

// The local time now, "YYYY-MM-DD hh:mm:ss.uuuuuu".
QString TraceTimestamp();
