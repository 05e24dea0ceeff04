#include "WindowsConsole.h"

#include <windows.h>

#include <cstdlib>

namespace {

UINT OutputCodePage = 0;

void RestoreOutputCodePage() {
    SetConsoleOutputCP(OutputCodePage);
}

}  // namespace

bool PrepareWindowsConsole() {
    OutputCodePage = GetConsoleOutputCP();
    if (OutputCodePage != 0 && OutputCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        // The code page belongs to the console, which outlives the program.
        std::atexit(RestoreOutputCodePage);
    }
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) {
        return false;  // not a console
    }
    return SetConsoleMode(output,
                          mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}
