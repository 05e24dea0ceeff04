#pragma once

// The records that --log keeps of each unit, one JSON object a line: a start
// record before the first byte goes to its port, and a result record once
// its session (and the saving of a read) is over. "schema" names this
// layout; a field that changes meaning gives a new schema number.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

#include "CliPlan.h"
#include "PortSession.h"

inline constexpr int RecordSchema = 1;

// What every record of one run shares.
struct RecordRun {
    QString Id;  // one per invocation
    QString Host;
    QString Station;
    QString Command;  // "update" or "read"
    const Plan* Planned = nullptr;
    QList<QPair<QString, QString>> Fields;  // --field
    int Sequence = 0;                       // of the last record made
};

// A UTC time with milliseconds, "2026-05-04T13:07:22.081Z".
QString RecordTime(const QDateTime& time);

// board: a station slot's board number (from 1) on its port; 0: not a
// station's.
QByteArray StartRecord(RecordRun& run, const PlannedPort& port, const QDateTime& started,
                       int board = 0);
// outputSha256: a read's saved bytes, in hex; empty when nothing was saved.
QByteArray ResultRecord(RecordRun& run, const PlannedPort& port, const PortResult& result,
                        const QDateTime& started, const QDateTime& ended,
                        const QString& outputSha256, int board = 0);
