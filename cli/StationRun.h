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

// What a line typed while the station runs (by the operator, or a barcode
// scanner) asks for. "SLOT ID": ID is the unit of the slot's next board;
// "SLOT": the slot may go on (its board has left, with --next manual, or it
// was locked out); an empty line: every slot waiting for --next manual may
// go on. SLOT is a port as given to --port or its number from 1.
struct StationLine {
    int Slot = -1;  // -1: every slot
    QString Unit;   // empty: the slot may go on
    QString Problem;
};
StationLine ParseStationLine(const QString& line, const QStringList& labels);
