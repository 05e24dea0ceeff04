#include <io.h>
#include <windows.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "SystemConsole.h"

namespace {

UINT OutputCodePage = 0;

void RestoreOutputCodePage() {
    SetConsoleOutputCP(OutputCodePage);
}

std::function<void()> Handler;
std::atomic<int> Requests{0};
int SecondExitStatus = 130;

// Runs on a thread of the system's own; the handler goes to the main
// thread's event loop.
BOOL WINAPI OnConsoleControl(DWORD) {
    if (Requests.fetch_add(1) > 0) {
        std::fflush(nullptr);
        ExitProcess(static_cast<UINT>(SecondExitStatus));
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            if (Handler) {
                Handler();
            }
        },
        Qt::QueuedConnection);
    return TRUE;
}

}  // namespace

void WatchInterrupts(std::function<void()> handler, int secondExitStatus) {
    static bool installed = false;
    Handler = std::move(handler);
    SecondExitStatus = secondExitStatus;
    if (!installed) {
        installed = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
    }
}

void PrepareConsole() {
    OutputCodePage = GetConsoleOutputCP();
    if (OutputCodePage != 0 && OutputCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        // The code page belongs to the console, which outlives the program.
        std::atexit(RestoreOutputCodePage);
    }
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode)) {
        SetConsoleMode(output, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

TerminalShape StandardOutputTerminal() {
    TerminalShape shape;
    DWORD mode = 0;
    if (_isatty(_fileno(stdout)) == 0 || !GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
        return shape;
    }
    // Lines are redrawn with escape sequences: only where the console
    // processes them (PrepareConsole turned that on where it can).
    shape.Redraw = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        shape.Columns = info.srWindow.Right - info.srWindow.Left + 1;
        shape.Rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return shape;
}
