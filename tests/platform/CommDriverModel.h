#pragma once

// A Windows serial driver as Microsoft documents it, behind CommDriver, for
// the tests of the Windows serial port's thread logic:
// - read timeouts run on the system's timer tick (Tick(), 15.6 ms on a PC):
//   with an interval timeout a read keeps the bytes that arrive and returns
//   them at the next tick; with interval and multiplier at MAXDWORD and a
//   constant it returns at once with what is held, or with the first bytes
//   that arrive, or at a tick when nothing came;
// - bytes that arrive while a read waits are copied straight into it, and a
//   cancelled read (CancelSynchronousIo) returns none of them: they are gone;
// - the handle runs one synchronous call at a time: a call from a second
//   thread waits for the first to end; a cancel reaches whatever call the
//   port's thread is in (the status call too);
// - a pulled adapter: reads fail with the given code, the status call fails
//   or not;
// - a stalled write ends only when cancelled, purged (PURGE_TXABORT) or given
//   up after GiveUpMs.

#include <QByteArray>
#include <QList>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "CommDriver.h"

class DriverModel {
public:
    enum class Call { None, Read, Write, Status };

    // Bytes from the device.
    // Bytes from the device: copied into a waiting read at once.
    void Arrive(const QByteArray& bytes) {
        std::lock_guard lock(M);
        Input += bytes;
        FeedRead();
        Changed.notify_all();
    }
    // The system's timer tick: read timeouts that have run out fire now.
    void Tick() {
        std::lock_guard lock(M);
        if (Waiting.Active && !Waiting.Done) {
            Finish({true, static_cast<unsigned long>(Waiting.Got.size()), 0});
        }
        Changed.notify_all();
    }
    void Pull(unsigned long readError, bool statusFails) {
        std::lock_guard lock(M);
        PulledError = readError;
        StatusFails = statusFails;
        if (Waiting.Active && !Waiting.Done) {
            Finish({false, 0, readError});
        }
        Changed.notify_all();
    }
    void RaiseLineErrors(unsigned long errors) {
        std::lock_guard lock(M);
        LineErrors |= errors;
    }

    // Settings of the test, made before the port opens.
    QByteArray ArriveOnCancel;  // bytes that come just as a read is cancelled
    int StatusDelayMs = 0;      // the status call takes this long, unless cancelled
    bool StallWrites = false;
    bool IgnoreCancel = false;
    // Looser than Windows, as Wine is: a read with fewer bytes than asked
    // for returns only at its timeout (a tick), whatever the timeouts say.
    bool HoldPartialReads = false;
    int GiveUpMs = 3000;

    // What the test observes.
    bool ThreadIn(Call call) {
        std::lock_guard lock(M);
        return ThreadCall == call;
    }
    QByteArray Written() {
        std::lock_guard lock(M);
        return Output;
    }
    QString WriteEnd() {
        std::lock_guard lock(M);
        return LastWriteEnd;
    }
    QList<unsigned long> Purges() {
        std::lock_guard lock(M);
        return PurgeFlags;
    }
    // Cancels reach the calls again (so that a test's port can close).
    void HonourCancels() {
        std::lock_guard lock(M);
        IgnoreCancel = false;
    }
    void ReleaseWrites() {
        std::lock_guard lock(M);
        StallWrites = false;
        Changed.notify_all();
    }

    std::unique_ptr<CommDriver> Driver(std::shared_ptr<DriverModel> self);

    // The driver's side of the calls.
    CommDriver::Transfer Read(char* buffer, unsigned long size);
    CommDriver::Transfer Write(const char* bytes, unsigned long size);
    CommDriver::Status ClearErrors();
    bool Purge(unsigned long flags);
    void Cancel();
    void Attach() {
        std::lock_guard lock(M);
        PortThread = std::this_thread::get_id();
    }
    // The line settings given, each with the bytes written before it.
    void SetLine(const LineSettings& settings) {
        std::lock_guard lock(M);
        Lines << qMakePair(settings.BaudRate, Output.size());
    }
    QList<QPair<int, qsizetype>> LinesGiven() {
        std::lock_guard lock(M);
        return Lines;
    }
    void SetTimeouts(const CommTimeouts& timeouts) {
        std::lock_guard lock(M);
        Timeouts = timeouts;
    }

private:
    // One call at a time on the handle; marks the port thread's call for a cancel.
    std::unique_lock<std::mutex> Enter(Call call);
    void Leave(std::unique_lock<std::mutex>& lock);

    // Under M: the read that waits takes what has arrived; it completes when
    // full, or at its first bytes with the first-byte timeouts.
    void FeedRead();
    void Finish(const CommDriver::Transfer& result) {
        Waiting.Done = true;
        Waiting.Result = result;
        if (!result.Ok) {
            Waiting.Got.clear();  // a failed or cancelled read hands back nothing
        }
    }

    struct PendingRead {
        bool Active = false;
        bool Done = false;
        bool FirstByteReturns = false;
        unsigned long Size = 0;
        QByteArray Got;
        CommDriver::Transfer Result;
    };

    std::mutex M;
    PendingRead Waiting;
    std::condition_variable Changed;
    CommTimeouts Timeouts;
    QByteArray Input;  // held by the driver, not yet read
    QByteArray Output;
    QList<unsigned long> PurgeFlags;
    QList<QPair<int, qsizetype>> Lines;
    QString LastWriteEnd;
    unsigned long LineErrors = 0;
    unsigned long PulledError = 0;
    bool StatusFails = false;
    bool InCall = false;
    Call ThreadCall = Call::None;
    bool Cancelled = false;
    bool WriteAborted = false;
    std::thread::id PortThread;
};
