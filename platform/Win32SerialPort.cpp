#include "Win32SerialPort.h"

#include <QCoreApplication>
#include <QEvent>
#include <QList>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>

#include "ComPortMap.h"

struct Win32SerialPort::Line {
    using Clock = std::chrono::steady_clock;

    std::unique_ptr<CommDriver> Driver;
    // Posts a delivery to the user-interface thread; called under Lock, and
    // never once Stopping is set (the port may be gone by then).
    std::function<void()> Notify;

    // Standard locks, which ThreadSanitizer follows (scripts/build tsan).
    std::mutex Lock;
    std::condition_variable Changed;
    QList<QByteArray> Outgoing;  // queued by Write, not yet written
    QByteArray Pending;          // read, not yet handed to the user-interface thread
    bool DeliveryPosted = false;
    // Deliveries posted, and of them those whose handling on the
    // user-interface thread has ended (the session has answered by then).
    quint64 Posted = 0;
    quint64 Handled = 0;
    Clock::time_point HandOver;  // the longest the thread waits for them
    // The bytes that the session still waits for: its receive threshold
    // less what the port's buffer holds (0: no count).
    qsizetype Wanted = 0;
    int Holds = 0;             // calls on the user-interface thread that need the line quiet
    bool Busy = false;         // the thread is inside a call on the driver
    bool Reading = false;      // ... and it is the read, the one call that may be cancelled
    bool CancelAsked = false;  // the read was cancelled on purpose
    // While the thread writes: when the write is overdue.
    Clock::time_point WriteDue = Clock::time_point::max();
    bool Stopping = false;
    bool Ended = false;  // the thread has returned
    bool LineError = false;
    bool Gone = false;    // the device has gone; the thread has ended
    QString ThreadError;  // the system's words for the last failure on the thread

    // Under Lock. Only a read is cancelled: a cancel that reached the status
    // call would look like a device that has gone, and one that reached a
    // write would lose a packet.
    void CancelRead() {
        if (Reading) {
            CancelAsked = true;
            Driver->CancelThreadIo();
        }
    }

    // Under Lock: the thread waits for bytes it handed over to be handled.
    bool HandingOver() const { return Handled < Posted && Clock::now() < HandOver; }

    // Under Lock.
    void Post() {
        if (!DeliveryPosted && !Stopping) {
            DeliveryPosted = true;
            ++Posted;
            Notify();
        }
    }
};

namespace {

constexpr unsigned long LineErrors = CommCodes::Break | CommCodes::Frame | CommCodes::Overrun |
                                     CommCodes::RxOver | CommCodes::RxParity;

QString LineErrorText(unsigned long errors) {
    QStringList parts;
    if (errors & CommCodes::Break) {
        parts << QStringLiteral("a break");
    }
    if (errors & CommCodes::Frame) {
        parts << QStringLiteral("a framing error");
    }
    if (errors & CommCodes::RxParity) {
        parts << QStringLiteral("a parity error");
    }
    if (errors & (CommCodes::Overrun | CommCodes::RxOver)) {
        parts << QStringLiteral("lost input (overrun)");
    }
    return QStringLiteral("the line reported ") + parts.join(QStringLiteral(", "));
}

void RunLine(Win32SerialPort::Line& line) {
    CommDriver& driver = *line.Driver;
    driver.AttachThread();
    char buffer[4096];
    for (;;) {
        QByteArray write;
        qsizetype size = sizeof buffer;
        {
            std::unique_lock locker(line.Lock);
            // After handing bytes over, the thread starts no read until the
            // user-interface thread has handled them (or HandOverWaitMs have
            // passed): the session answers a reply there, and its answer then
            // finds the thread free instead of in a read that has to be
            // cancelled for it (where the system cannot cancel, as under
            // Wine, the write would wait for the read's timeout). The driver
            // holds what arrives meanwhile.
            while (line.Outgoing.isEmpty() && !line.Stopping) {
                const bool handingOver = line.HandingOver();
                if (line.Holds == 0 && !handingOver) {
                    break;
                }
                if (handingOver) {
                    line.Changed.wait_until(locker, line.HandOver);
                } else {
                    line.Changed.wait(locker);
                }
            }
            if (line.Stopping) {
                break;  // what is still queued goes with the closed port
            }
            if (!line.Outgoing.isEmpty()) {
                write = line.Outgoing.takeFirst();
                const CommTimeouts limits = Win32SerialPort::Timeouts();
                line.WriteDue = Win32SerialPort::Line::Clock::now() +
                                std::chrono::milliseconds(limits.WriteMultiplier * write.size() +
                                                          limits.WriteConstant +
                                                          Win32SerialPort::WriteOverdueMs);
            }
            if (line.Wanted > line.Pending.size()) {
                // A read asks for no more than the session waits for, so
                // that it completes the moment those bytes have come: the
                // first-byte timeouts of Open do that on Windows anyway, but
                // a driver that holds a partial read until its timeout (Wine
                // does) would make every reply wait for it.
                size = std::min(size, line.Wanted - line.Pending.size());
            }
            line.Busy = true;
            line.Reading = write.isEmpty();
            line.CancelAsked = false;
        }
        bool readFailed = false;
        unsigned long readError = 0;
        if (!write.isEmpty()) {
            const CommDriver::Transfer result =
                driver.Write(write.constData(), static_cast<unsigned long>(write.size()));
            std::unique_lock locker(line.Lock);
            line.WriteDue = Win32SerialPort::Line::Clock::time_point::max();
            if (!result.Ok || result.Count != static_cast<unsigned long>(write.size())) {
                line.ThreadError = result.Ok ? QStringLiteral("the write timed out")
                                             : driver.ErrorText(result.Error);
                line.LineError = true;
            }
        } else {
            const CommDriver::Transfer result =
                driver.Read(buffer, static_cast<unsigned long>(size));
            std::unique_lock locker(line.Lock);
            line.Reading = false;
            // With the timeouts of Open a waiting read holds no bytes: it
            // completes as soon as the first byte is there. So a read that
            // is cancelled loses nothing (on Windows a cancelled read hands
            // back no bytes at all).
            if (result.Count > 0) {
                // Handed over before the status call, which then runs while
                // the session handles them.
                line.Pending.append(buffer, static_cast<qsizetype>(result.Count));
                line.Post();
                line.HandOver = Win32SerialPort::Line::Clock::now() +
                                std::chrono::milliseconds(Win32SerialPort::HandOverWaitMs);
            }
            // An abort that nobody asked for is a driver giving up on a
            // device that has gone, as is any other failure.
            if (!result.Ok && !(result.Error == CommCodes::OperationAborted && line.CancelAsked)) {
                readFailed = true;
                readError = result.Error;
            }
        }
        // A device that has gone shows in the port's status too (under Wine
        // a read of a vanished terminal simply returns nothing).
        const CommDriver::Status status = driver.ClearErrors();
        std::unique_lock locker(line.Lock);
        line.Busy = false;
        line.Changed.notify_all();
        if (status.Ok && (status.LineErrors & LineErrors) != 0) {
            line.LineError = true;
            line.ThreadError = LineErrorText(status.LineErrors);
        }
        if (readFailed || !status.Ok) {
            line.Gone = true;
            line.ThreadError = driver.ErrorText(readFailed ? readError : status.Error);
        }
        if (!line.Pending.isEmpty() || line.LineError || line.Gone) {
            line.Post();
        }
        if (line.Gone) {
            break;
        }
    }
    if (!line.Gone) {
        // Closing: output that a stalled adapter still holds is dropped, as
        // closing a terminal on Linux drops it.
        driver.Purge(CommCodes::TxAbort | CommCodes::TxClear);
    }
    std::unique_lock locker(line.Lock);
    line.Busy = false;
    line.Reading = false;
    line.Ended = true;
    line.Changed.notify_all();
}

}  // namespace

Win32SerialPort::Win32SerialPort()
    : Win32SerialPort([](const QString& device, QString& error) {
#ifdef _WIN32
          return OpenWin32CommDriver(device, error);
#else
          error = QStringLiteral("%1: no Windows serial driver on this system").arg(device);
          return std::unique_ptr<CommDriver>();
#endif
      }) {
}

Win32SerialPort::Win32SerialPort(DriverOpener opener) : Opener(std::move(opener)) {
    Events.Woken = [this] { Deliver(); };
}

Win32SerialPort::~Win32SerialPort() {
    Close();
}

CommTimeouts Win32SerialPort::Timeouts() {
    CommTimeouts timeouts;
    // Windows runs the interval and total timeouts of a serial read on its
    // timer tick (15.6 ms unless a program raised the resolution): a read
    // that waits for an interval after the last byte hands a reply over up
    // to a tick late. With both the interval and the multiplier at MAXDWORD
    // and a constant, the read returns at once with what the driver holds,
    // or as soon as the first byte arrives, or after the constant when
    // nothing comes: no reply waits for a tick, and a waiting read never
    // holds bytes that a cancel could lose.
    timeouts.ReadInterval = CommCodes::MaxDword;
    timeouts.ReadMultiplier = CommCodes::MaxDword;
    timeouts.ReadConstant = ReadCycleMs;
    // A write may take twice its time on the line at the slowest rate, and a
    // second more, before it counts as failed.
    timeouts.WriteMultiplier = 2;
    timeouts.WriteConstant = 1000;
    return timeouts;
}

bool Win32SerialPort::SetSettings(const QString& settings) {
    LineSettings parsed;
    if (!ParseLineSettings(settings, parsed)) {
        return false;
    }
    Current = parsed;
    if (!Shared) {
        return true;
    }
    // Bytes queued before take the line at the rate they were queued for;
    // a device that has gone meanwhile gets them with the next Open.
    unsigned long error = 0;
    if (HoldThread()) {
        error = Shared->Driver->SetLine(Current);
    }
    ReleaseThread();
    if (error != 0) {
        ErrorText = Shared->Driver->ErrorText(error);
    }
    return error == 0;
}

void Win32SerialPort::SetReceiveThreshold(int n) {
    Receive.Set(n);
    ShareWanted();
}

void Win32SerialPort::ShareWanted() {
    if (Shared) {
        const qsizetype wanted = Receive.Value() - Buffer.size();
        std::unique_lock locker(Shared->Lock);
        Shared->Wanted = std::max<qsizetype>(wanted, 0);
    }
}

bool Win32SerialPort::Open() {
    ErrorText.clear();
    if (Shared) {
        return true;
    }
    if (DevicePath.isEmpty()) {
        const QString name = ComPortDeviceName(PortNumber);
        Device = name.isEmpty() ? QString() : QStringLiteral("\\\\.\\") + name;
    } else {
        Device = DevicePath;
    }
    if (Device.isEmpty()) {
        ErrorText = QStringLiteral("COM%1 is not a port of this machine").arg(PortNumber);
        return false;
    }
    std::unique_ptr<CommDriver> driver = Opener(Device, ErrorText);
    if (!driver) {
        return false;
    }
    unsigned long error = driver->SetLine(Current);
    if (error == 0) {
        error = driver->SetTimeouts(Timeouts());
    }
    if (error != 0) {
        ErrorText = driver->ErrorText(error);
        return false;
    }
    auto line = std::make_shared<Line>();
    line->Driver = std::move(driver);
    line->Wanted = std::max(Receive.Value(), 0);
    ++Opening;
    // The wake-up carries nothing: what the thread hands over waits in the
    // line, under its lock. One still queued when the port closes (and
    // perhaps opens again) finds nothing, or the new line's bytes, to hand
    // over; the thread posts none once it is stopping.
    line->Notify = [this] { QCoreApplication::postEvent(&Events, new QEvent(QEvent::User)); };
    try {
        Worker = std::thread([line] { RunLine(*line); });
    } catch (const std::system_error& failure) {
        ErrorText = QString::fromLocal8Bit(failure.what());
        return false;
    }
    Shared = std::move(line);
    return true;
}

void Win32SerialPort::Close() {
    if (!Shared) {
        return;
    }
    const std::shared_ptr<Line> line = std::exchange(Shared, nullptr);
    bool ended = false;
    {
        std::unique_lock locker(line->Lock);
        line->Stopping = true;
        line->Outgoing.clear();
        line->Changed.notify_all();
        // Closing does not wait on the line: a read or a write in progress
        // (one stalled on a stuck adapter) is cancelled, and the thread
        // purges the output on its way out. Should the driver ignore the
        // cancel, the thread is left to end on its own; it holds the handle
        // until then.
        if (line->Busy) {
            line->Driver->CancelThreadIo();
        }
        ended = line->Changed.wait_for(locker, std::chrono::milliseconds(CloseWaitMs),
                                       [&line] { return line->Ended; });
    }
    if (ended) {
        Worker.join();
    } else {
        Worker.detach();
    }
    Buffer.clear();
}

bool Win32SerialPort::Write(const QByteArray& bytes) {
    if (!Shared) {
        return false;
    }
    std::unique_lock locker(Shared->Lock);
    if (Shared->Gone) {
        return false;
    }
    if (!bytes.isEmpty()) {
        Shared->Outgoing.append(bytes);
        Shared->Changed.notify_all();
        // A waiting read gives way to the write (where the system can cancel
        // it; Wine cannot, and the read ends after ReadCycleMs).
        Shared->CancelRead();
    }
    return true;
}

QByteArray Win32SerialPort::ReadAll() {
    QByteArray bytes = std::exchange(Buffer, QByteArray());
    ShareWanted();
    return bytes;
}

QByteArray Win32SerialPort::DiscardInput() {
    if (!Shared) {
        return {};
    }
    // Everything the thread has read so far goes with the port's buffer, and
    // what the driver holds is read (at once, with the timeouts of Open) and
    // purged while the thread does nothing: no byte that came before this
    // call can come after it, and the caller sees what was thrown away.
    HoldThread();
    Line& line = *Shared;
    QByteArray thrown = std::exchange(Buffer, QByteArray());
    bool gone = false;
    {
        std::unique_lock locker(line.Lock);
        thrown += std::exchange(line.Pending, QByteArray());
        gone = line.Gone;
    }
    if (!gone) {
        const CommDriver::Status status = line.Driver->ClearErrors();
        if (status.Ok && (status.LineErrors & LineErrors) != 0) {
            std::unique_lock locker(line.Lock);
            line.LineError = true;
            line.ThreadError = LineErrorText(status.LineErrors);
        }
        if (status.Ok && status.Waiting > 0) {
            QByteArray held(static_cast<qsizetype>(status.Waiting), '\0');
            const CommDriver::Transfer read = line.Driver->Read(held.data(), status.Waiting);
            thrown += held.left(static_cast<qsizetype>(read.Count));
        }
        line.Driver->Purge(CommCodes::RxClear);
    }
    ShareWanted();
    ReleaseThread();
    return thrown;
}

bool Win32SerialPort::HoldThread() {
    Line& line = *Shared;
    std::unique_lock locker(line.Lock);
    ++line.Holds;
    // The thread writes what is queued first, then waits. A cancel may come
    // just before the read starts and miss it: it is asked again each cycle.
    while (!line.Gone && !line.Ended && (line.Busy || !line.Outgoing.isEmpty())) {
        if (Line::Clock::now() > line.WriteDue) {
            // A write that outlasts its timeout: the device is stalled.
            // The delivery closes the port and raises the line error.
            line.Gone = true;
            line.ThreadError = QStringLiteral("the write did not end (the device stalled)");
            line.Post();
            break;
        }
        line.CancelRead();
        line.Changed.wait_for(locker, std::chrono::milliseconds(ReadCycleMs));
    }
    return !line.Gone;
}

void Win32SerialPort::ReleaseThread() {
    std::unique_lock locker(Shared->Lock);
    // A thread that waits for a hand-over is woken by the write or the
    // hand-over's end (each wake-up costs a switch of threads).
    if (--Shared->Holds == 0 && !Shared->HandingOver()) {
        Shared->Changed.notify_all();
    }
}

void Win32SerialPort::Deliver() {
    if (!Shared) {
        return;
    }
    // Kept for the end of the hand-over: a handler may close the port.
    const std::shared_ptr<Line> line = Shared;
    QByteArray fresh;
    bool lineError = false;
    bool gone = false;
    QString error;
    quint64 posted = 0;
    {
        std::unique_lock locker(line->Lock);
        line->DeliveryPosted = false;
        posted = line->Posted;
        fresh = std::exchange(line->Pending, QByteArray());
        lineError = std::exchange(line->LineError, false);
        gone = line->Gone;
        error = line->ThreadError;
    }
    const int opening = Opening;
    Buffer += fresh;
    ShareWanted();
    if (!fresh.isEmpty()) {
        Receive.RaiseIfReached();
    }
    if ((lineError || gone) && Shared && Opening == opening) {
        ErrorText = error;
        if (gone) {
            CloseForGoneDevice();
        } else {
            RaiseComm(CommEvent::LineError);
        }
    }
    std::unique_lock locker(line->Lock);
    line->Handled = std::max(line->Handled, posted);
    line->Changed.notify_all();
}
