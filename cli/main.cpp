// fwloader-cli: the bootloader sessions of fwloader from the command line.

#include <QCoreApplication>
#include <QStringList>

#include "CliProgram.h"
#include "QueuedConsole.h"
#include "SystemConsole.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace {

class StandardConsole : public Console {
public:
    // Written through at once: nothing waits in a buffer when the program
    // has to end abruptly.
    void Out(const QString& text) override { WriteStandard(false, text); }
    void Err(const QString& text) override { WriteStandard(true, text); }
    bool OutIsTerminal() const override { return StandardOutputTerminal().Redraw; }
    int Columns() const override { return StandardOutputTerminal().Columns; }
    int Rows() const override { return StandardOutputTerminal().Rows; }
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication application(argc, argv);
    PrepareConsole();
#ifndef _WIN32
    // A reader of the output that goes away (a closed pipe) must not end the
    // program in the middle of a transfer: the sessions run to their end,
    // and what can no longer be written is lost.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    StandardConsole standard;
    QueuedConsole console(standard);
#ifndef _WIN32
    // Windows gives the arguments as UTF-16; elsewhere they are bytes.
    QList<QByteArray> raw;
    for (int i = 1; i < argc; ++i) {
        raw << QByteArray(argv[i]);
    }
    const QString undecodable = UndecodableArgument(raw);
    if (!undecodable.isEmpty()) {
        console.Err(QStringLiteral("fwloader-cli: %1\n").arg(undecodable));
        return ExitBadInput;
    }
#endif
    return RunCli(QCoreApplication::arguments().mid(1), console);
}
