#pragma once

// What the operator (or a barcode scanner) types while a station runs: one
// line at a time on standard input.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>

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

// Lines of standard input, each handed to Take on the main thread while it
// is set.
struct LineSink {
    std::mutex Guard;
    std::function<void(const QString&)> Take;
};

// Reads standard input on a thread of its own until its end. The thread is
// left to the end of the process: a read of a terminal cannot be called off.
void ReadLines(std::shared_ptr<LineSink> sink);

#ifndef _WIN32
// The reading itself: the lines of fd, each without its end, until the end
// of the input (a last line without an end too).
void ReadLinesOf(int fd, const std::function<void(const QByteArray&)>& deliver);
#endif
