#pragma once

// A scripted serial port for the port probe: only the ports in FreePorts
// open; every other port is absent or held by another program. Logs which
// ports were tried, opened and closed.

#include <QList>
#include <QSet>

#include "Fakes.h"

class ProbePort : public ScriptedSerialPort {
public:
    using ScriptedSerialPort::ScriptedSerialPort;

    bool Open() override {
        OpenAttempts.append(PortNumber);
        if (!FreePorts.contains(PortNumber) || !ScriptedSerialPort::Open()) {
            return false;
        }
        OpenedPorts.append(PortNumber);
        return true;
    }

    void Close() override {
        if (!IsOpen()) {
            ScriptedSerialPort::Close();
            return;
        }
        if (PortsThatFailToClose.contains(PortNumber)) {
            return;  // the port stays open
        }
        ClosedPorts.append(PortNumber);
        ScriptedSerialPort::Close();
    }

    QByteArray ReadAll() override {
        ++Reads;
        return ScriptedSerialPort::ReadAll();
    }

    QSet<int> FreePorts;
    QSet<int> PortsThatFailToClose;  // checked against the selected port number

    QList<qint16> OpenAttempts;
    QList<qint16> OpenedPorts;
    QList<qint16> ClosedPorts;
    int Reads = 0;
};
