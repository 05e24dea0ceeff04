#pragma once

// The command line of fwloader-cli: which command, and its options.

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

struct CliOptions {
    enum class Command { None, Update, Read, Ports, Station };
    Command Which = Command::None;

    QStringList Ports;          // --port, in the order given
    QString Folder;             // --folder (empty: the program folder)
    QString File;               // --file
    QString Model;              // --model A:B:C (empty: from Config.txt)
    QString Version;            // --version MAJOR.MINOR of the update (empty: from the file name)
    int Retries = 0;            // --retries: Retry answers before Cancel
    bool Json = false;          // --json
    QString TraceDir;           // --trace
    bool Quiet = false;         // --quiet
    QString Output;             // --output of read
    bool BinaryOutput = false;  // --format bin
    int TimeoutSeconds = -1;    // --timeout; -1: derived from the image, 0: none
    QString LogFile;            // --log
    QString Station;            // --station (empty: the host name)
    bool Probe = false;         // ports --probe
    bool Verify = false;        // update --verify: read back before GoApplication
    QStringList Units;          // --unit PORT=ID, as given
    // --field KEY=VALUE, in the order given; each key once.
    QList<QPair<QString, QString>> Fields;
    QStringList ExpectSha256;  // --expect-sha256: a SHA-256 in hex, or a file of them
    // station:
    bool NextManual = false;  // --next manual: the operator says when a board has left
    int StopAfter = 0;        // --stop-after N boards; 0: until stopped
    int LockoutAfter = 3;     // --lockout K failures in a row; 0: never
    int LeaveSeconds = 3;     // --leave S: unanswered this long, a board has left
};

struct CliParse {
    CliOptions Options;
    // Set when the arguments ask for text instead of a command: the help of
    // a command or of the program, or the program version.
    QString Text;
    // Why the arguments cannot be used; empty when they can.
    QString Error;
};

// Parses the arguments after the program name. Options take their value as
// the next argument or after "=" (--port=COM3).
CliParse ParseCliArguments(const QStringList& arguments);

// The help of a command; the program's overview for Command::None.
QString CliHelp(CliOptions::Command command);

// The longest time that --timeout allows, a week.
inline constexpr int MaxTimeoutSeconds = 7 * 24 * 3600;

// The deadline of a session when --timeout is not given: the time its
// exchanges take on the line at 9600 baud (10 bits a byte), doubled, plus
// the watchdog's allowance: six seconds to its question and six more for the
// quiet wait after a request that went out more than once, once more for
// each Retry answer. An Update of [low, high] exchanges Connect, then for
// each 128-byte block EraseMemory, WriteMemory and the data block, then
// GoApplication; a read exchanges Connect, a ReadMemory for each block of
// [low, high] and GoApplication; an Update with verify adds a ReadMemory for
// each block. Whole seconds, rounded up.
int DefaultTimeoutSeconds(bool update, int low, int high, int retries, bool verify = false);
