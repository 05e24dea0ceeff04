// fwloader-cli: the bootloader sessions of fwloader from the command line.

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "CliProgram.h"

#ifdef _WIN32
#include "WindowsConsole.h"
#else
#include <unistd.h>
#include <csignal>
#endif

namespace {

class StandardConsole : public Console {
public:
    void Out(const QString& text) override { Put(stdout, text); }
    void Err(const QString& text) override { Put(stderr, text); }
    bool OutIsTerminal() const override { return Terminal; }

private:
    // Live lines only where they can be redrawn.
#ifdef _WIN32
    const bool Terminal = PrepareWindowsConsole();
#else
    const bool Terminal = isatty(fileno(stdout)) != 0;
#endif

    static void Put(std::FILE* stream, const QString& text) {
        const QByteArray bytes = text.toUtf8();
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
        std::fflush(stream);
    }
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
#ifndef _WIN32
    // A reader of the output that goes away (a closed pipe) must not end the
    // program in the middle of a transfer: the sessions run to their end,
    // and what can no longer be written is lost.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    StandardConsole console;
    return RunCli(QCoreApplication::arguments().mid(1), console);
}
