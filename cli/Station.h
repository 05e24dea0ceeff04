#pragma once

// What the machine tells about its serial devices without opening any: the
// devices it has, their stable names and USB identity, whether a path is a
// serial device at all, the FTDI latency timer, and what is known to break
// serial flashing on this station. On Linux it is read from sysfs, /dev and
// /proc, whose roots are given so that tests use a made-up tree.

#include <QList>
#include <QString>
#include <QStringList>

struct SystemRoots {
    QString Sys = QStringLiteral("/sys");
    QString Dev = QStringLiteral("/dev");
    QString Proc = QStringLiteral("/proc");
};

struct UsbIdentity {
    QString VendorId;   // "0403"
    QString ProductId;  // "6001"
    QString Serial;     // empty when the adapter has none
    bool IsEmpty() const { return VendorId.isEmpty(); }
};

struct SerialDevice {
    QString Path;    // the device: /dev/ttyUSB0 (COM3 on Windows)
    QString Driver;  // ftdi_sio, cdc_acm, serial8250 ...; empty when unknown
    UsbIdentity Usb;
    QStringList ByPath;  // /dev/serial/by-path links that lead to it
    QStringList ById;    // /dev/serial/by-id links that lead to it
    int ComNumber = 0;   // the COM number that opens it; 0: none
    QString ComName;     // the name that COM number is opened by
};

// The serial devices of the machine, found without opening any, ordered by
// COM number (those without one last, by path). Besides the system's own,
// every COM link under storeRoot/dosdevices that leads to a terminal.
QList<SerialDevice> ListSerialDevices(const SystemRoots& roots, const QString& storeRoot);

// The USB identity of a device (links are followed); empty when it is not
// on USB or the system does not tell.
UsbIdentity UsbIdentityOf(const QString& device, const SystemRoots& roots);

// Empty when path (links followed) is a serial terminal that a session can
// open; otherwise what it is instead ("does not exist", "is a folder", "is a
// regular file", "is a FIFO", "is not a serial device" ...).
QString SerialDeviceProblem(const QString& path, const SystemRoots& roots);

// The latency timer of an FTDI adapter's device in ms; -1 when it has none.
int LatencyTimerMs(const QString& device, const SystemRoots& roots);

// One line for each thing on this station that is known to break flashing
// on these devices: ModemManager running while one is a ttyACM (it probes
// new modems and corrupts transfers), a device this user cannot open for
// lack of group membership.
QStringList StationWarnings(const QStringList& devices, const SystemRoots& roots);

// After the port has opened and asked for low latency: a warning when the
// adapter's latency timer still holds every reply back 16 ms or more.
QString LatencyWarning(const QString& device, const SystemRoots& roots);
