#pragma once

// The console of fwloader-cli on Windows: the program's output is UTF-8 (the
// messages are partly Chinese), and the live lines redraw themselves with
// escape sequences.

// Sets the console's output code page to UTF-8 for the run (the console's
// own is put back when the program ends) and turns on its escape-sequence
// processing. True when standard output is a console that now takes escape
// sequences; false for a file, a pipe or a console without them.
bool PrepareWindowsConsole();
