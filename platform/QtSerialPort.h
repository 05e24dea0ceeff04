#pragma once

#include <QSerialPort>
#include <QString>

#include "LowLatency.h"
#include "ReceiveThreshold.h"
#include "SerialPort.h"

// The serial port of the program, over QSerialPort, on the user-interface
// thread. The port number is resolved to a device through ComPortDeviceName;
// a symbolic link is followed to its device first, so that every name of one
// terminal shares one lock and a port held elsewhere looks busy.
//
// Events are raised only from the event loop: data-received when, at the
// moment of raising, at least the receive threshold of bytes waits unread;
// line errors for errors that the port reports on its own. When the device
// goes away (an adapter pulled, the far end of a terminal closed) the port
// closes itself and raises one line error; later writes fail.
class QtSerialPort : public SerialPort {
public:
    QtSerialPort();
    ~QtSerialPort() override;

    QtSerialPort(const QtSerialPort&) = delete;
    QtSerialPort& operator=(const QtSerialPort&) = delete;

    void SetPortNumber(qint16 n) override { PortNumber = n; }
    // A device to open instead of the one that the port number maps to (such
    // as /dev/ttyUSB0); empty: the port number decides again.
    void SetDevicePath(const QString& path) { DevicePath = path; }
    bool SetSettings(const QString& settings) override;
    void SetBinaryInput() override {}
    void SetReceiveThreshold(int n) override;
    bool IsOpen() const override { return Port.isOpen(); }
    bool Open() override;
    void Close() override;
    bool Write(const QByteArray& bytes) override;
    QByteArray ReadAll() override;
    QByteArray DiscardInput() override;

    // The line settings in force (also while closed: those the next Open uses).
    LineSettings Settings() const { return Current; }
    // The device that the last Open tried, and why it failed (empty after success).
    QString DeviceName() const { return Device; }
    QString LastError() const override { return ErrorText; }
    // A session's port: it asks the driver for low latency when it opens and
    // puts the setting back when it closes. Off by default, so that a probe
    // of ports leaves every adapter as it found it.
    void SetLowLatencyWanted(bool wanted) { LowLatencyWanted = wanted; }
    // What the driver answered when the open port asked for low latency.
    LowLatencyAnswer LowLatency() const { return LowLatencyState; }
    // The driver's flag as the port reaches it (the system's by default); it
    // must outlive the port, whose closing may still change it.
    void UseLowLatencyFlag(LowLatencyFlag& flag) { Flag = &flag; }

private:
    bool ApplySettings(const LineSettings& settings);
    void OnPortError(QSerialPort::SerialPortError error);
    void OnDeviceGone();
    void ClosePort();

    QSerialPort Port;
    qint16 PortNumber = 0;
    QString DevicePath;
    LineSettings Current;     // the design settings: 9600,N,8,1
    bool InCall = false;      // a call of the owner is running: errors go to its result
    bool GonePosted = false;  // the device has gone; the port closes at the next turn
    QString Device;
    QString ErrorText;
    bool LowLatencyWanted = false;
    bool LowLatencySetHere = false;  // the open port turned the driver's flag on
    LowLatencyFlag* Flag = &SystemLowLatencyFlag();
    LowLatencyAnswer LowLatencyState = LowLatencyAnswer::NotAsked;
    ReceiveThreshold Receive{
        Port, [this] { return Port.isOpen() && !GonePosted ? Port.bytesAvailable() : qint64(-1); },
        [this] { RaiseComm(CommEvent::DataReceived); }};
};
