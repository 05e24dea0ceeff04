#include <io.h>
#include <windows.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <cstdio>

#include "SystemConsole.h"

namespace {

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

TerminalShape StandardOutputTerminal() {
    TerminalShape shape;
    if (_isatty(_fileno(stdout)) == 0) {
        return shape;
    }
    shape.Redraw = true;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        shape.Columns = info.srWindow.Right - info.srWindow.Left + 1;
        shape.Rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return shape;
}
