#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QtPlatform.h"
#include "SystemConsole.h"

void WatchInterrupts(std::function<void()> handler, int secondExitStatus) {
    OnTerminationSignals(std::move(handler));
    ExitOnSecondTerminationRequest(secondExitStatus);
}

void PrepareConsole() {}

void WriteStandard(bool error, const QString& text) {
    std::FILE* stream = error ? stderr : stdout;
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

TerminalShape StandardOutputTerminal() {
    TerminalShape shape;
    if (::isatty(STDOUT_FILENO) == 0) {
        return shape;
    }
    const char* term = std::getenv("TERM");
    shape.Redraw = term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0) {
        shape.Columns = size.ws_col;
        shape.Rows = size.ws_row;
    }
    return shape;
}
