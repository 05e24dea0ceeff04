#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QWaitCondition>

#include "SerialPort.h"

// The serial port of the Windows program, over the Win32 communications API:
// COMn is the device \\.\COMn, opened for exclusive use, without any
// modem-line call (a pseudo-terminal under Wine has no modem lines).
//
// Each open port has a thread of its own that does every read and write on
// the handle: reads with timeouts (a read returns soon after bytes have come,
// and at the latest after ReadCycleMs), writes as Write queued them. What it
// reads goes to the user-interface thread, where it enters the port's buffer
// and the receive threshold is applied. The handle is synchronous: Wine does
// not complete overlapped waits on a serial device. A call that must find the
// line quiet (a discard, new line settings) stops the thread between two of
// its operations; a waiting read is cancelled where the system can (Windows)
// and waited out otherwise (Wine: at most ReadCycleMs).
//
// Events are raised only from the event loop: data-received when, at the
// moment of raising, at least the receive threshold of bytes waits unread;
// line errors for breaks, framing, parity and overrun errors that the system
// reports, and for a write that failed. When the device goes away (an adapter
// pulled) the port closes itself and raises one line error; later writes
// fail.
class Win32SerialPort : public SerialPort {
public:
    Win32SerialPort();
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
    bool IsOpen() const override { return Handle != nullptr; }
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

    // The longest a read waits when nothing comes.
    static constexpr unsigned long ReadCycleMs = 2;

private:
    bool ApplySettings();
    void StopThread();
    void HoldThread();
    void ReleaseThread();
    void Deliver();
    void PostThresholdCheck();
    void RaiseIfThresholdReached();
    static unsigned long __stdcall ThreadMain(void* port);
    void RunThread();
    void ReadOnce(char* buffer, unsigned long size);
    void Post();

    QObject Events;  // lives on the user-interface thread; posted work runs there
    qint16 PortNumber = 0;
    QString DevicePath;
    QString Device;
    LineSettings Current;  // the design settings: 9600,N,8,1
    int Threshold = 0;
    bool CheckPosted = false;
    QByteArray Buffer;  // the port's own buffer: bytes handed to this thread
    QString ErrorText;
    int Opening = 0;         // counts opens: work posted for an earlier one is dropped
    void* Handle = nullptr;  // the port's handle while open
    void* Thread = nullptr;  // the port's thread while open

    // Shared with the port's thread, under Lock.
    QMutex Lock;
    QWaitCondition Changed;
    QList<QByteArray> Outgoing;  // queued by Write, not yet written
    QByteArray Pending;          // read, not yet handed to the user-interface thread
    bool DeliveryPosted = false;
    int Holds = 0;         // calls on the user-interface thread that need the line quiet
    bool Busy = false;     // the thread is inside a read or a write
    bool Reading = false;  // ... and it is a read, which may be cancelled
    bool Stopping = false;
    bool LineError = false;
    bool Gone = false;    // the device has gone; the thread has ended
    QString ThreadError;  // the system's words for the last failure on the thread
};
