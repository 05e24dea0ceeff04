#pragma once

// fwloader-cli ports: the serial devices of the machine, each with its COM
// number, stable names and USB identity, found without opening any; with
// --probe, COM1 to COM99 opened one by one as the port dialog does.

#include "CliOptions.h"
#include "Reporter.h"
#include "Station.h"

// Lists what options ask for on console and returns the exit status.
// storeRoot holds the COM links (dosdevices).
int ListPorts(const CliOptions& options, Console& console, const SystemRoots& roots,
              const QString& storeRoot);
