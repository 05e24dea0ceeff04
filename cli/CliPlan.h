#pragma once

// Everything a run of update or read needs, worked out and checked before
// any port is touched: the model, the ports and the devices behind them,
// the firmware and its version, the output file, the deadline and what the
// station warns of. A plan with a Problem sends nothing.

#include <QList>
#include <QString>
#include <QStringList>

#include "CliOptions.h"
#include "FileSystem.h"
#include "PortName.h"
#include "ProcessState.h"
#include "Station.h"

struct PlannedPort {
    PortTarget Target;
    QString Device;  // the device itself, links followed
    UsbIdentity Usb;
    QString Unit;  // --unit: the unit on this port; empty when not given
};

struct Plan {
    ProcessState Base;
    QList<PlannedPort> Ports;
    QString FirmwarePath;    // update: the firmware file, absolute
    QString FirmwareSha256;  // update: of the bytes that were loaded, in hex
    QString OutputPath;      // read: the output file, absolute
    int TimeoutSeconds = 0;  // 0: none
    QStringList Warnings;    // what the station is known to break
    QString Problem;         // why nothing may be sent; empty when all is well
    QString ProblemPort;
};

// Works out the plan of an update or read. Files are read through files;
// the station's facts come from roots.
Plan MakePlan(const CliOptions& options, FileSystem& files, const SystemRoots& roots);

// "A:B:C" of the model bytes.
QString ModelText(const ProcessState& state);
