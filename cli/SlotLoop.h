#pragma once

// One slot of a flashing station: a port into which boards are put one after
// another. The slot runs on a thread of its own, for as long as the station
// runs:
//  1. waiting: a Connect goes out at a quiet pace, alternately at 19200 and
//     9600 baud, with no watchdog and no question, until a device answers;
//  2. flashing: a normal Update session (PortSession) on the same open port,
//     from its own Connect on, with everything a session of update does;
//  3. leaving: the board is done with when its port disappears (a per-board
//     USB adapter pulled) or when it has not answered Connect for LeaveMs (a
//     wired fixture: after a success the application runs and the bootloader
//     is silent); with ManualNext the operator says so instead (Release).
// A slot that fails LockoutAfter boards in a row is locked out until the
// operator releases it (a broken pogo pin is not a run of bad boards).

#include <QObject>
#include <atomic>
#include <memory>

#include "PortSession.h"

enum class SlotState { Waiting, Flashing, Leaving, Manual, Locked, Stopped };
inline constexpr int SlotStateCount = 6;

// "waiting", "flashing", "leaving", "next?", "locked", "stopped".
QString SlotStateName(SlotState state);

struct SlotSettings {
    // What each board's session is given: label, port, the base image and
    // values (copied for each board), retries, deadline, verify.
    PortJob Job;
    // From one Connect copy to the next: a board that answers at either rate
    // is heard within a second of its arrival, its answer's time included.
    int PollMs = 900;
    int AnswerWaitMs = 300;  // how long a copy's answer is waited for
    int LeaveMs = 3000;      // unanswered this long: the board has left
    bool ManualNext = false;
    int LockoutAfter = 3;  // failures in a row that lock the slot; 0: never
    // Boards the whole station may still start; shared by its slots. A slot
    // whose board arrives when none are left stops. nullptr: no limit.
    std::shared_ptr<std::atomic<int>> Budget;
    // The trace file of the board with this sequence number; nullptr: none.
    std::function<std::FILE*(int board)> TraceOf;
};

class SlotLoop : public QObject {
    Q_OBJECT
public:
    explicit SlotLoop(SlotSettings settings,
                      std::shared_ptr<SessionParts> parts = QtSessionParts());
    ~SlotLoop() override;

    const SlotSettings& Settings() const { return Set; }

    // These run on the slot's thread.
    // Starts waiting for the first board.
    void Begin();
    // The operator's word: the board has left (ManualNext), or a locked
    // slot may go on; the next board that answers is flashed.
    void Release();
    // No new board: a running session goes on to its end, then the slot
    // stops.
    void Finish();
    // As Finish, and a running session ends as interrupted.
    void Interrupt();

signals:
    void StateChanged(int state);
    // A board answered and its session begins; board counts from 1.
    void BoardArrived(int board);
    void Progress(double fraction, int address);
    void Question(const QString& text, bool retried);
    void Warning(const QString& text);
    void BoardFinished(int board, const PortResult& result);
    void BoardLeft(int board);
    // failures in a row
    void LockedOut(int failures);
    // The slot has stopped and holds nothing on its thread any more.
    void Ended();

private:
    void Enter(SlotState state);
    void Poll();
    // The next copy, PollMs after the last one went out.
    void PollAgain();
    void OnComm(SerialPort::CommEvent event);
    void OnAnswerWait();
    void Answered();
    void Unanswered();
    void ClosePort();
    void StartBoard();
    void OnSessionFinished(const PortResult& result);
    void Stop();

    SlotSettings Set;
    std::shared_ptr<SessionParts> Parts;
    SlotState State = SlotState::Stopped;
    std::unique_ptr<SerialPort> Port;
    std::unique_ptr<OneShotTimer> PollTimer;
    std::unique_ptr<PortSession> Session;
    QByteArray Connect;
    QByteArray Heard;
    bool Asking = false;      // a copy's answer is awaited
    bool NextHigh = true;     // the next copy goes out at 19200
    qint64 SentMs = 0;        // when the last copy went out
    qint64 LastAnswerMs = 0;  // leaving: when the board last answered
    int Board = 0;            // boards started so far
    int FailuresInRow = 0;
    bool Finishing = false;
    bool Interrupting = false;
};
