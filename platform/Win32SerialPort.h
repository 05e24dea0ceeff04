#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <thread>

#include "CommDriver.h"
#include "ReceiveThreshold.h"
#include "SerialPort.h"

// The serial port of the Windows program, over the Win32 communications API
// (reached through CommDriver, so that this logic runs against a model of a
// Windows serial driver in the tests of any system): COMn is the device
// \\.\COMn, opened for exclusive use, without any modem-line call (a
// pseudo-terminal under Wine has no modem lines).
//
// Each open port has a thread of its own that does every read and write on
// the handle, which is synchronous (Wine does not complete overlapped waits
// on a serial device): reads that return as soon as a byte has come, each
// asking for no more bytes than the session waits for, writes as Write
// queued them. What it reads goes to the user-interface thread,
// where it enters the port's buffer and the receive threshold is applied;
// the thread reads again once they have been handled there, so that the
// session's answer to a reply finds it free (HandOverWaitMs at most). A
// call that must find the line quiet (a discard, new line settings) stops
// the thread between two of its operations; only a waiting read is cancelled
// for it (Windows runs one synchronous call at a time on a handle). Closing
// drops what is still queued for sending and waits at most CloseWaitMs for
// the thread.
//
// Events are raised only from the event loop: data-received when, at the
// moment of raising, at least the receive threshold of bytes waits unread;
// line errors for breaks, framing, parity and overrun errors that the system
// reports, and for a write that failed. When the device goes away (an adapter
// pulled) the port closes itself and raises one line error; later writes
// fail.
// Receives the port thread's wake-ups on the user-interface thread: bare
// events, built and freed by Qt, so that the handling reads nothing the
// thread wrote outside the line's lock.
class PortWakeups : public QObject {
public:
    std::function<void()> Woken;

protected:
    void customEvent(QEvent*) override {
        if (Woken) {
            Woken();
        }
    }
};

class Win32SerialPort : public SerialPort {
public:
    using DriverOpener =
        std::function<std::unique_ptr<CommDriver>(const QString& device, QString& error)>;

    // The system's ports (Windows).
    Win32SerialPort();
    // Ports that opener opens (tests: a model of a driver).
    explicit Win32SerialPort(DriverOpener opener);
    ~Win32SerialPort() override;

    Win32SerialPort(const Win32SerialPort&) = delete;
    Win32SerialPort& operator=(const Win32SerialPort&) = delete;

    void SetPortNumber(qint16 n) override { PortNumber = n; }
    // A device to open instead of \\.\COMn; empty: the port number decides again.
    void SetDevicePath(const QString& path) { DevicePath = path; }
    // On Windows an adapter's latency timer is a setting of its driver that
    // an administrator makes (README); a session's port asks nothing here.
    void SetLowLatencyWanted(bool) {}
    bool SetSettings(const QString& settings) override;
    void SetBinaryInput() override {}
    void SetReceiveThreshold(int n) override;
    bool IsOpen() const override { return Shared != nullptr; }
    bool Open() override;
    void Close() override;
    bool Write(const QByteArray& bytes) override;
    QByteArray ReadAll() override;
    QByteArray DiscardInput() override;
    QString LastError() const override { return ErrorText; }

    // The line settings in force (also while closed: those the next Open uses).
    LineSettings Settings() const { return Current; }
    // The device that the last Open tried.
    QString DeviceName() const { return Device; }

    // The read and write timeouts that an opened port is given.
    static CommTimeouts Timeouts();
    // The longest a read waits when nothing comes (the system may round it
    // up to its timer tick).
    static constexpr unsigned long ReadCycleMs = 2;
    // The longest the thread waits, after handing bytes over, for the
    // user-interface thread to handle them before it reads again.
    static constexpr int HandOverWaitMs = 250;
    // The longest Close waits for the port's thread.
    static constexpr int CloseWaitMs = 500;
    // How long past its timeout (Timeouts) a write may go on before the
    // device counts as gone: a driver that ignores write timeouts (Wine's)
    // would otherwise hold a call that waits for the line for good.
    static constexpr int WriteOverdueMs = 500;

    struct Line;  // what the port shares with its thread

private:
    // False when the thread was not held: the device has gone.
    bool HoldThread();
    void ReleaseThread();
    void Deliver();
    // Tells the thread how many bytes the session still waits for.
    void ShareWanted();

    PortWakeups Events;  // lives on the user-interface thread; posted work runs there
    DriverOpener Opener;
    qint16 PortNumber = 0;
    QString DevicePath;
    QString Device;
    LineSettings Current;  // the design settings: 9600,N,8,1
    QByteArray Buffer;     // the port's own buffer: bytes handed over by the thread
    ReceiveThreshold Receive{Events, [this] { return Shared ? Buffer.size() : qint64(-1); },
                             [this] { RaiseComm(CommEvent::DataReceived); }};
    QString ErrorText;
    int Opening = 0;               // counts opens: a handler may close and open again
    std::shared_ptr<Line> Shared;  // while open
    std::thread Worker;            // the port's thread while open
};
