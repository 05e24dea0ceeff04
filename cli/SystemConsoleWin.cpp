#include <io.h>
#include <windows.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>
#include <QWaitCondition>
#include <atomic>
#include <cstdio>

#include "SystemConsole.h"

namespace {

std::function<void()> Handler;
std::atomic<int> Requests{0};
int SecondExitStatus = 130;

// Set while a handler is being watched; cleared (and the waiters woken) when
// the program drops it, after its sessions have ended and their records are
// written.
QMutex WatchLock;
QWaitCondition WatchEnded;
bool Watching = false;

bool EndsTheProcessOnReturn(DWORD event) {
    return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

}  // namespace

// Runs on a thread of the system's own; the handler goes to the main
// thread's event loop.
int ConsoleControl(unsigned long event) {
    const bool closing = EndsTheProcessOnReturn(event);
    if (Requests.fetch_add(1) > 0 && !closing) {
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
    if (closing) {
        // Windows ends the process as soon as this returns (and anyway after
        // about five seconds): wait until every session has ended as
        // interrupted and its record is written.
        QMutexLocker locker(&WatchLock);
        while (Watching) {
            WatchEnded.wait(&WatchLock);
        }
    }
    return TRUE;
}

namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
    return ConsoleControl(event);
}

}  // namespace

void WatchInterrupts(std::function<void()> handler, int secondExitStatus) {
    static bool installed = false;
    {
        QMutexLocker locker(&WatchLock);
        Watching = static_cast<bool>(handler);
        if (!Watching) {
            std::fflush(nullptr);
            WatchEnded.wakeAll();
        }
    }
    Handler = std::move(handler);
    SecondExitStatus = secondExitStatus;
    if (!installed) {
        installed = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
    }
}

void PrepareConsole() {
    // The console's code page is left as it is (it belongs to the console,
    // which outlives the program, also when the program ends abruptly): text
    // for a console goes out in UTF-16 (WriteStandard).
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output != INVALID_HANDLE_VALUE && GetConsoleMode(output, &mode)) {
        SetConsoleMode(output, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

void WriteStandard(bool error, const QString& text) {
    std::FILE* stream = error ? stderr : stdout;
    const HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode)) {
        std::fflush(stream);
        const auto* units = reinterpret_cast<const wchar_t*>(text.utf16());
        qsizetype done = 0;
        while (done < text.size()) {
            DWORD written = 0;
            if (!WriteConsoleW(handle, units + done, static_cast<DWORD>(text.size() - done),
                               &written, nullptr) ||
                written == 0) {
                break;
            }
            done += written;
        }
        return;
    }
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
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
