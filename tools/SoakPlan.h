#pragma once

// What one soak session is made of: the kind of session, the image, the
// device's memory and identity, the faults it is given and how the operator
// answers. Everything is drawn from one seed, so that a session can be run
// again on its own with that seed.

#include <QByteArray>
#include <QList>
#include <QString>
#include <array>

#include "DeviceFaults.h"
#include "ProcessState.h"

// The per-machine constants of the program that the soak hands to sessions.
inline constexpr int SoakComPort = 99;  // no serial device of the machine stands behind it
inline const QString SoakTitle = QStringLiteral("Soak");

// How often each kind of trouble is put into a session, before scaling by
// the fault level (--fault-level).
struct SoakMix {
    double Level = 1.0;  // 0: no faults at all
    // Each of silence, dropped replies, lost data-block replies, NACKs,
    // unrecognised status bytes and corrupted read blocks is in a session
    // with this chance; when it is, it happens about 0.5 to 4 times.
    double PerExchangeKind = 0.3;
    double Vanish = 0.05;
    double RefuseConnect = 0.05;
    double WrongModel = 0.05;
    double Only9600 = 0.08;
    // The first five Connects go unheard and the answer to the sixth comes
    // while the operator reads the watchdog's question.
    double ReplyDuringQuestion = 0.06;
    double NoMarker = 0.10;  // the device reports no model and keeps its line rate
    double PortTrouble = 0.03;
    double SplitReplies = 0.12;
    // A noisy line: many refused blocks or spoilt read blocks.
    double Storm = 0.06;
    // Read blocks split in two may come after the watchdog's second as well.
    bool LateReadBlocks = true;
    double OperatorCloses = 0.02;

    // A slow line: about one or two replies come later than the watchdog's
    // interval (1.1 to 2 s at time scale 1), so that the resent copy crosses
    // them and is answered as late; after half of them the next data block
    // is refused (the next read block spoilt).
    double LateReplies = 0.25;
    // Answers given twice, the copy right behind the answer (0.5 to 4 times).
    double Twice = 0.10;
    // Stray bytes right behind an answer (0.5 to 4 times).
    double Junk = 0.10;
    // Stray bytes on the line while the program is blocked in the pause after
    // the Connect reply: noise, or the device repeating its Connect answer.
    double StrayInPause = 0.12;
    // A Connect or read reply that starts just before the watchdog's second
    // and comes in two, the rest 300 ms later (about 0.5 to 2 times).
    double CutReplies = 0.12;
    // A stray byte right before an answer whose last byte comes 40 ms late
    // (0.5 to 4 times).
    double StrayBefore = 0.12;
    // A block that is slow to erase (to read): 1.1 to 2 s each time, the
    // copies that the watchdog sends meanwhile served one after the other.
    double SlowBlocks = 0.10;
    // A late answer crossing the watchdog's copy, after which the line
    // babbles for 0.3 to 6 s or (one time in three) for good.
    double Babble = 0.08;
    // Boards that differ from a prompt bootloader (drawn after all else):
    // one that answers every request 1.1 to 2 s late; one switched on 1 to 9 s
    // after the session began; one whose application still prints a line of
    // text every 0.5 to 1.5 s until it is switched over 2 to 9 s later (one
    // in four never is); and one that writes flash without erasing it and
    // never gives up a data block it was promised.
    double SlowBoard = 0.06;
    double LateSwitchOn = 0.06;
    double PrintingBoard = 0.05;
    double FlashBoard = 0.25;
    //
    // Stray bytes and repeated answers come only where the program awaits no
    // answer: during the pause, right behind an answer (in one write, so
    // that they reach the program with it or before its next request), after
    // a late answer that crossed a copy of its request (the program does not
    // trust what comes then), or right before an answer as a byte that is
    // neither a status byte nor the byte that ends the answer. A byte that
    // arrives while an answer is awaited and equals what is awaited cannot
    // be told from the answer (a stray 0x79 where an acknowledgement is
    // awaited is an acknowledgement to any reader of this protocol; a stray
    // byte equal to a read block's check byte right before the block makes
    // the shifted block pass its check), and a copy of an answer that comes
    // after the program's next request is that request's answer as far as
    // the protocol can tell: no program can defend against those, so the
    // soak does not inject them. A late answer is different: the program
    // itself sent the copy that it crosses.
};

enum class PortTrouble { None, Missing, Busy };

struct SessionPlan {
    quint32 Seed = 0;
    bool Update = true;  // else ReadFirmware
    int Low = 0;
    int High = 0x7FFF;
    // The image the caller hands over (all 64 KiB; an Update sends Low..High)
    // and the device memory at the start of the session.
    QByteArray Image;
    QByteArray DeviceMemory;
    std::array<quint8, 3> Model{};
    FirmwareVersionBytes Version;

    // The device.
    bool Marker = true;
    quint8 NoMarkerValue = 0;
    RandomFaultRates Rates;
    bool Storm = false;  // a noisy line: many refused or spoilt blocks
    quint32 FaultSeed = 0;
    QList<ScriptedFault> Scripted;
    // Of the replies longer than one byte (Connect and ReadMemory), this
    // share comes in two pieces with a pause between them (at time scale 1):
    // a Connect reply often after the watchdog's second, a read block within
    // 300 ms unless late read blocks are asked for (a read block later than
    // the watchdog is cut by the resend, and must not be taken rotated).
    double SplitReplyRate = 0;
    bool LateReadBlocks = false;
    // > 0: the reply to this Connect (counted from 1) comes in two pieces,
    // the second after the watchdog's second.
    int LateConnect = 0;
    // Sent by the device while the program is blocked in the pause after the
    // Connect reply; PauseRepeatsConnect: its Connect answer once more.
    QByteArray PauseStray;
    bool PauseRepeatsConnect = false;

    // How the board differs from a prompt bootloader (SoakMix).
    bool Flash = false;  // flash, and the announced data block kept for ever
    int ReplyDelayMs = 0;
    int AsleepMs = 0;  // < 0: never switched on
    int TextEveryMs = 0;
    // The board's kind, for the summary: "slow", "late-on", "text", "flash"
    // or empty.
    QString BoardKind() const;

    // Around the device.
    PortTrouble Port = PortTrouble::None;

    // The operator.
    double RetryChance = 0.8;  // of answering the question with Retry
    int GiveUpAfter = 8;       // questions in one session, then always Cancel
    double HoldChance = 0.3;   // of keeping a box open for a while
    int HoldMaxMs = 3000;      // at time scale 1
    // > 0: the first question stays open this long and is answered Retry.
    int FirstQuestionHoldMs = 0;
    int CloseAfterMs = -1;  // real ms after the start; < 0: the operator never closes

    // Exchanges that the session needs without faults.
    int PlainExchanges() const;
    QString Describe() const;
};

SessionPlan MakeSessionPlan(quint32 seed, const SoakMix& mix);

// The seed of session `index` of a run with the given seed.
quint32 SessionSeed(quint32 runSeed, int index);
