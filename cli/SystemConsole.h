#pragma once

// What fwloader-cli needs of the process's console and of the system's
// requests to end, one implementation per system (SystemConsolePosix.cpp,
// SystemConsoleWin.cpp).

#include <functional>

// From now on the system's requests to end the program (Ctrl-C, SIGTERM,
// SIGHUP; on Windows the console's Ctrl-C, Ctrl-Break and close) run handler
// on the main thread's event loop, once per request; an empty handler drops
// them. A second Ctrl-C or SIGTERM ends the process at once with
// secondExitStatus. A signal that was ignored when the program started stays
// ignored.
void WatchInterrupts(std::function<void()> handler, int secondExitStatus);

// Makes the console ready for the program's output, before its first line:
// on Windows the console's output code page becomes UTF-8 for the run (the
// console's own is put back when the program ends; the messages are partly
// Chinese) and its escape-sequence processing is turned on for the live
// lines. Nothing elsewhere.
void PrepareConsole();

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
