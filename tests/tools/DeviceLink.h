#pragma once

// The program's serial port wired to the simulated device over a real
// pseudo-terminal, both on the test's event loop. The device is published as
// a COM port below a temporary per-machine store root, so the port finds it
// the way the program does.

#include <QByteArray>
#include <QTemporaryDir>
#include <QTest>

#include "QtSerialPort.h"
#include "SimulatedDevice.h"

struct DeviceLink {
    static constexpr int Com = 5;

    QTemporaryDir Root;
    SimulatedDevice Device;
    QtSerialPort Port;
    int DataEvents = 0;
    int LineErrors = 0;
    QString Error;

    // Starts the device as COM5 and points the store root at it; the port is
    // left closed.
    bool Start() {
        if (!Root.isValid()) {
            Error = QStringLiteral("no temporary folder");
            return false;
        }
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(Root.path()));
        Port.SetCommHandler([this](SerialPort::CommEvent event) {
            if (event == SerialPort::CommEvent::DataReceived) {
                ++DataEvents;
            } else {
                ++LineErrors;
            }
        });
        Port.SetPortNumber(Com);
        return Device.Start(&Error) && Device.PublishAsComPort(Com, Root.path(), &Error);
    }

    bool StartAndOpen(const QString& settings = QStringLiteral("19200,N,8,1")) {
        return Start() && Port.SetSettings(settings) && Port.Open();
    }

    // Sends a request the way a session does (waiting input thrown away, the
    // threshold set to the reply length) and returns every byte waiting once
    // the threshold was reached, or nothing when no reply came in timeoutMs.
    QByteArray Exchange(const QByteArray& request, int replyLength, int timeoutMs = 1000) {
        Port.ReadAll();
        Port.SetReceiveThreshold(replyLength);
        const int before = DataEvents;
        if (!Port.Write(request)) {
            return {};
        }
        if (!QTest::qWaitFor([&] { return DataEvents > before; }, timeoutMs)) {
            return {};
        }
        return Port.ReadAll();
    }

    QByteArray Exchange(const char* hex, int replyLength, int timeoutMs = 1000) {
        return Exchange(QByteArray::fromHex(hex), replyLength, timeoutMs);
    }
};
