#pragma once

// Boards put into a fixture slot and taken out again, one after another, in
// front of a SimulatedDevice: a board arrives (after a delay), is flashed by
// whoever is on the other end, runs its application after GoApplication
// (the bootloader then hears nothing; the application is silent or prints),
// and is taken out a while after the last request other than Connect: its
// port's node goes (a USB adapter that goes with the board) or it simply
// falls silent (a wired fixture). The next board comes with fresh memory.

#include <QObject>
#include <QTimer>

class SimulatedDevice;

struct BoardCycleSettings {
    int ArriveMs = 0;  // the first board, after the cycle's start
    int DwellMs = -1;  // taken out this long after its last request; < 0: never
    int NextMs = -1;   // the next board this long after; < 0: no next board
    int Boards = 0;    // boards in all; 0: no limit
    enum class App { Bootloader, Silent, Printing };
    App AfterGo = App::Bootloader;  // what the board does after GoApplication
    int TextEveryMs = 200;          // a printing application's pace
    bool Unplug = false;            // taken out: the port goes (else silence)
};

class BoardCycle : public QObject {
    Q_OBJECT
public:
    BoardCycle(SimulatedDevice& device, const BoardCycleSettings& settings,
               QObject* parent = nullptr);
    // The device is running (and published): the first board is put in, now
    // or after ArriveMs.
    void Start();
    int BoardsIn() const { return Board; }

signals:
    void BoardIn(int board);
    void BoardOut(int board);

private:
    void PutIn();
    void TakeOut();
    void Absent();

    SimulatedDevice& Device;
    BoardCycleSettings Set;
    QTimer Dwell;
    QTimer Next;
    int Board = 0;
    bool In = false;
};
