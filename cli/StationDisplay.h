#pragma once

// What `fwloader-cli station` tells while it runs: per slot its state, its
// board count, the last result and its yield. For people: on a terminal a
// live line per slot, redrawn, with events above it; elsewhere a line per
// event. For a line system (--json): one JSON object a line per event.

#include <QElapsedTimer>
#include <QJsonObject>
#include <QStringList>
#include <array>
#include <vector>

#include "Reporter.h"
#include "SlotLoop.h"

// Boards passed and failed, and how each ended.
struct YieldCount {
    int Passed = 0;
    int Failed = 0;
    std::array<int, PortEndingCount> ByEnding{};

    void Add(PortEnding ending);
    int Boards() const { return Passed + Failed; }
    // "12 passed, 1 failed (1 transfer-failure), yield 92.3%"
    QString Text() const;
    // {"boards", "passed", "failed", "yield", "endings": {"success": 12, ...}}
    QJsonObject Json() const;
};

class StationDisplay {
public:
    StationDisplay(Console& console, bool json, bool quiet, const QStringList& labels);

    void Error(int slot, const QString& text);  // slot -1: the station's
    void Warning(int slot, const QString& text);
    void State(int slot, SlotState state);
    void Arrived(int slot, int board, const QString& unit);
    void Progress(int slot, double fraction);
    void Finished(int slot, int board, const PortResult& result);
    void Left(int slot, int board);
    void Locked(int slot, int failures);
    // The run is over: the yield of each slot and of the station.
    void Summary(int exitStatus);
    // Now and then: the live lines are drawn again when something changed.
    void Tick();

    const YieldCount& Yield(int slot) const { return Slots[slot].Yield; }
    YieldCount Total() const;

private:
    struct Slot {
        QString Label;
        SlotState Now = SlotState::Waiting;
        int Board = 0;
        double Fraction = 0;
        QString Last;  // the last board's ending
        YieldCount Yield;
    };
    void Emit(QJsonObject object, int slot);
    void Above(const QString& text, bool toErr);
    QString LiveLine(const Slot& slot) const;
    QString Erase();
    QString Draw();

    Console& Output;
    bool Json;
    bool Quiet;
    bool Live;
    std::vector<Slot> Slots;
    int Width = 0;
    int Drawn = 0;
    bool Dirty = false;
    QElapsedTimer Clock;
};
