#pragma once

// Port names on the command line: "COM3", "3", or a device path.

#include <QList>
#include <QString>

struct PortTarget {
    QString Label;       // how the port is named in the output: "COM3" or the path as given
    qint16 Number = 0;   // the COM port number; 0 with a device path
    QString DevicePath;  // the device path as given; empty with a COM number
    QString Device;      // what opens: the device the number maps to, or the path
};

// "COMn" (any letter case) or "n" with n from 1 to 32767 whose number maps
// to a device on this machine, or a path (it holds a "/") to something that
// exists (or, with mayBeAbsent, may exist later: a station's slot whose
// adapter comes with the board). False with the reason in error otherwise.
bool ResolvePortName(const QString& text, PortTarget& out, QString& error,
                     bool mayBeAbsent = false);

// A COM port number as a target; false when no device can stand behind it.
bool ResolvePortNumber(int number, PortTarget& out, QString& error);

// An empty text when no two targets reach the same device (through links
// too); otherwise which two do.
QString FindSharedDevice(const QList<PortTarget>& targets);
