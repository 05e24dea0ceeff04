#pragma once

// fwloader-cli: the window's Update and Read sessions driven by arguments,
// on one or several ports at once, and the port probe.

#include <QStringList>
#include <cstdio>
#include <memory>

#include "Reporter.h"

struct CliOptions;
struct Plan;
struct RecordRun;
class LogWriter;

// Exit statuses.
inline constexpr int ExitAllSucceeded = 0;
inline constexpr int ExitSomeFailed = 1;
inline constexpr int ExitBadInput = 2;
inline constexpr int ExitInterrupted = 130;

// Runs the command that the arguments (those after the program name) ask
// for and returns the exit status. Needs a QCoreApplication; sessions run on
// threads of their own while this thread's event loop gathers their reports.
// Everything is checked before the first byte goes out; a session that has
// not ended by its deadline ends as timed-out. Ctrl-C, SIGTERM and SIGHUP end
// every session as interrupted; a second Ctrl-C or SIGTERM ends the process
// at once with ExitInterrupted.
int RunCli(const QStringList& arguments, Console& console);

// Why the program's arguments (as the system passed them, after the program
// name) cannot be taken as text; empty when they can. A path whose bytes the
// system's encoding cannot decode would otherwise name another file.
QString UndecodableArgument(const QList<QByteArray>& arguments);

// The trace file name of a port: its label with every character that cannot
// stand in a file name replaced ("/dev/ttyUSB0" gives "dev_ttyUSB0.trace");
// on Windows "-port" is added where the name would be a device ("COM7"
// gives "COM7-port.trace").
QString TraceFileName(const QString& label);

// Opens a trace file for writing, without waiting for a reader when it is
// a FIFO (such a trace is written by a thread of its own, see TraceFile);
// nullptr when it cannot be.
std::FILE* OpenTrace(const QString& path);

// What every run (update, read, station) sets up the same way before its
// first port is touched.

// The reporter the options ask for: JSON Lines, or lines for people.
std::unique_ptr<Reporter> MakeReporter(const CliOptions& options, Console& console);

// Tells a problem found before the first port is touched, as the run's
// last words, drops the run's interrupt handler (a console close waiting for
// it may go on) and gives the exit status for it.
int EndBadInput(Reporter& reporter, const QString& port, const QString& text);

// Opens the log that --log names, if any; the text to tell as bad input when
// it cannot be appended to, or an empty text.
QString OpenRunLog(const CliOptions& options, LogWriter& log);

// A new run of the command ("update", "read"): its id, this host and the
// station's name, as its records carry them.
RecordRun NewRecordRun(const CliOptions& options, const Plan& plan, const QString& command);
