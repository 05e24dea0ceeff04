#pragma once

// What fwloader-cli needs of the process's console and of the system's
// requests to end, one implementation per system (SystemConsolePosix.cpp,
// SystemConsoleWin.cpp).

#include <QString>
#include <functional>

// From now on the system's requests to end the program (Ctrl-C, SIGTERM,
// SIGHUP; on Windows the console's Ctrl-C, Ctrl-Break and close) run handler
// on the main thread's event loop, once per request; an empty handler drops
// them. A second Ctrl-C or SIGTERM ends the process at once with
// secondExitStatus. A signal that was ignored when the program started stays
// ignored.
void WatchInterrupts(std::function<void()> handler, int secondExitStatus);

// On Windows the console's close, logoff and shutdown events end the process
// as soon as their handler returns: the handler waits until the program
// drops its handler (WatchInterrupts with an empty one, after its sessions
// have ended and their records are written).
//
// Makes the console ready for the program's output, before its first line:
// on Windows its escape-sequence processing is turned on for the live lines.
// Nothing elsewhere.
void PrepareConsole();

// Writes text to standard output (or standard error) at once: UTF-8 bytes to
// a pipe, a file or a terminal; on Windows UTF-16 to a console, whatever its
// code page (the messages are partly Chinese).
void WriteStandard(bool error, const QString& text);

#ifdef _WIN32
// The console control handler itself (the system calls it on a thread of its
// own), for the tests: TRUE when the event was handled.
int ConsoleControl(unsigned long event);
#endif

// Standard output as a terminal.
struct TerminalShape {
    // Lines may be redrawn in place: a terminal that takes cursor movements
    // (not TERM=dumb).
    bool Redraw = false;
    // Its size in characters; 0 when the system does not tell.
    int Columns = 0;
    int Rows = 0;
};
TerminalShape StandardOutputTerminal();
