#pragma once

// fwloader-cli station: a flashing station whose slots (one per --port) each
// flash every board put into them, on a thread of their own (SlotLoop),
// until the operator ends the run or --stop-after boards are done.

#include <QStringList>

#include "CliOptions.h"
#include "Reporter.h"

// Runs the station and returns the exit status: 0 when every board flashed
// passed, 1 otherwise, 2 for bad input (nothing sent), 130 when a board was
// being flashed as the station was interrupted.
int RunStation(const CliOptions& options, Console& console);
