#include "CliOptions.h"

#include "Configuration.h"

namespace {

using Command = CliOptions::Command;

const char Overview[] =
    "Usage: fwloader-cli <command> [options]\n"
    "\n"
    "Runs the bootloader sessions of fwloader from a script or a flashing station:\n"
    "the same packets, timing, retries and messages as the window, on one or\n"
    "several serial ports at once.\n"
    "\n"
    "Commands:\n"
    "  update   write the firmware file to the device on each --port\n"
    "  read     read device memory 0x0000 to 0x7FFF into a file\n"
    "  ports    list the COM ports 1 to 99 that open\n"
    "\n"
    "  fwloader-cli <command> --help   the options of a command\n"
    "  fwloader-cli --version          the program version\n"
    "\n"
    "Exit status: 0 every session succeeded, 1 at least one did not, 2 bad\n"
    "arguments or input (nothing was sent), 130 interrupted.\n";

const char UpdateHelp[] =
    "Usage: fwloader-cli update --port P [--port P ...] [--folder DIR | --file FILE]\n"
    "                           [--model A:B:C] [--version MAJOR.MINOR] [--retries N]\n"
    "                           [--json] [--trace DIR] [--quiet]\n"
    "\n"
    "Writes the firmware to the device on every --port, all at once.\n"
    "\n"
    "  --port P         COM3, 3, or a device path such as /dev/ttyUSB0; repeat for a\n"
    "                   gang. Without it: the port stored for the folder's vendor.\n"
    "  --folder DIR     the folder used as the window uses its program folder:\n"
    "                   Config.txt gives the model bytes and the settings key, the\n"
    "                   firmware file is chosen among its *.hex files (all six\n"
    "                   TempFile_1.0x.hex present: TempFile_1.03.hex; otherwise the\n"
    "                   first by name). Default: the program folder.\n"
    "  --file FILE      the firmware file itself; Config.txt is then read from the\n"
    "                   program folder.\n"
    "  --model A:B:C    the model bytes instead of those of Config.txt. With --model\n"
    "                   and --port, Config.txt is not read.\n"
    "  --version M.N    the firmware version instead of the one in the file name.\n"
    "  --retries N      how often the question after six seconds of silence is\n"
    "                   answered Retry before Cancel (default 0).\n"
    "  --json           JSON Lines on standard output (see the README).\n"
    "  --trace DIR      one file per port in DIR with every call and byte, timed to\n"
    "                   the microsecond.\n"
    "  --quiet          no progress, only the result of each port.\n";

const char ReadHelp[] =
    "Usage: fwloader-cli read --port P --output FILE [--format hex|bin] [--json]\n"
    "                         [--trace DIR] [--folder DIR] [--model A:B:C]\n"
    "                         [--retries N] [--quiet]\n"
    "\n"
    "Reads device memory 0x0000 to 0x7FFF and saves it, once the read succeeded.\n"
    "\n"
    "  --port P         COM3, 3, or a device path. Without it: the stored port.\n"
    "  --output FILE    where to save; replaced whole or not at all.\n"
    "  --format hex     Intel HEX as the window's Save writes it: addresses 0x8000\n"
    "                   to 0xFFFF, LF CR line ends, no end record (the default).\n"
    "  --format bin     the 32,768 bytes themselves.\n"
    "  --folder DIR     where Config.txt is read (default: the program folder).\n"
    "  --model A:B:C    the model bytes sent in Connect; with --model and --port,\n"
    "                   Config.txt is not read.\n"
    "  --retries N, --json, --trace DIR, --quiet   as for update.\n";

const char PortsHelp[] =
    "Usage: fwloader-cli ports [--json]\n"
    "\n"
    "Probes COM1 to COM99 as the port dialog does and lists those that open, each\n"
    "with the device it maps to.\n";

// The options each command takes; those with a value are marked by "=".
QStringList OptionsOf(Command command) {
    switch (command) {
        case Command::Update:
            return {"port=",    "folder=", "file=", "model=", "version=",
                    "retries=", "trace=",  "json",  "quiet"};
        case Command::Read:
            return {"port=",    "output=", "format=", "folder=", "model=",
                    "retries=", "trace=",  "json",    "quiet"};
        case Command::Ports:
            return {"json"};
        case Command::None:
            break;
    }
    return {};
}

QString CommandName(Command command) {
    switch (command) {
        case Command::Update:
            return QStringLiteral("update");
        case Command::Read:
            return QStringLiteral("read");
        case Command::Ports:
            return QStringLiteral("ports");
        case Command::None:
            break;
    }
    return {};
}

// Stores one option's value; false with the reason when it cannot be used.
bool Apply(CliOptions& options, const QString& name, const QString& value, QString& error) {
    const bool flag = name == u"json" || name == u"quiet";
    if (!flag && value.isEmpty()) {
        error = QStringLiteral("--%1 needs a value").arg(name);
        return false;
    }
    if (name == u"port") {
        options.Ports << value;
    } else if (name == u"folder") {
        options.Folder = value;
    } else if (name == u"file") {
        options.File = value;
    } else if (name == u"model") {
        options.Model = value;
    } else if (name == u"version") {
        options.Version = value;
    } else if (name == u"retries") {
        bool ok = false;
        const int retries = value.toInt(&ok);
        if (!ok || retries < 0) {
            error = QStringLiteral("--retries takes a whole number from 0, not \"%1\"").arg(value);
            return false;
        }
        options.Retries = retries;
    } else if (name == u"trace") {
        options.TraceDir = value;
    } else if (name == u"output") {
        options.Output = value;
    } else if (name == u"format") {
        if (value != u"hex" && value != u"bin") {
            error = QStringLiteral("--format is hex or bin, not \"%1\"").arg(value);
            return false;
        }
        options.BinaryOutput = value == u"bin";
    } else if (name == u"json") {
        options.Json = true;
    } else if (name == u"quiet") {
        options.Quiet = true;
    }
    return true;
}

// Checks that go across options.
QString CheckCombination(const CliOptions& options) {
    if (options.Which == Command::Update && !options.Folder.isEmpty() && !options.File.isEmpty()) {
        return QStringLiteral("--folder and --file cannot be used together");
    }
    if (options.Which == Command::Read) {
        if (options.Output.isEmpty()) {
            return QStringLiteral("read needs --output FILE");
        }
        if (options.Ports.size() > 1) {
            return QStringLiteral("read takes one --port");
        }
    }
    return {};
}

}  // namespace

QString CliHelp(CliOptions::Command command) {
    switch (command) {
        case Command::Update:
            return QString::fromUtf8(UpdateHelp);
        case Command::Read:
            return QString::fromUtf8(ReadHelp);
        case Command::Ports:
            return QString::fromUtf8(PortsHelp);
        case Command::None:
            break;
    }
    return QString::fromUtf8(Overview);
}

CliParse ParseCliArguments(const QStringList& arguments) {
    CliParse parse;
    CliOptions& options = parse.Options;
    if (arguments.isEmpty()) {
        parse.Error = QStringLiteral("no command given (update, read or ports; see --help)");
        return parse;
    }
    const QString first = arguments.first();
    if (first == u"--help" || first == u"-h" || first == u"help") {
        Command command = Command::None;
        if (first == u"help" && arguments.size() > 1) {
            for (const Command c : {Command::Update, Command::Read, Command::Ports}) {
                if (arguments[1] == CommandName(c)) {
                    command = c;
                }
            }
        }
        parse.Text = CliHelp(command);
        return parse;
    }
    if (first == u"--version") {
        parse.Text = QStringLiteral("fwloader-cli %1\n").arg(QLatin1String(ProgramVersion));
        return parse;
    }
    for (const Command c : {Command::Update, Command::Read, Command::Ports}) {
        if (first == CommandName(c)) {
            options.Which = c;
        }
    }
    if (options.Which == Command::None) {
        parse.Error =
            QStringLiteral("unknown command \"%1\" (update, read or ports; see --help)").arg(first);
        return parse;
    }

    const QString command = CommandName(options.Which);
    const QStringList known = OptionsOf(options.Which);
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString argument = arguments[i];
        if (argument == u"--help" || argument == u"-h") {
            parse.Text = CliHelp(options.Which);
            return parse;
        }
        if (!argument.startsWith(u"--")) {
            parse.Error = QStringLiteral("unexpected argument \"%1\" (see fwloader-cli %2 --help)")
                              .arg(argument, command);
            return parse;
        }
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = argument.mid(2, equals < 0 ? -1 : equals - 2);
        const bool takesValue = known.contains(name + u'=');
        if (!takesValue && !known.contains(name)) {
            parse.Error = QStringLiteral("%1 does not take --%2 (see fwloader-cli %1 --help)")
                              .arg(command, name);
            return parse;
        }
        QString value;
        if (takesValue) {
            if (equals >= 0) {
                value = argument.mid(equals + 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            }
        } else if (equals >= 0) {
            parse.Error = QStringLiteral("--%1 takes no value").arg(name);
            return parse;
        }
        if (!Apply(options, name, value, parse.Error)) {
            return parse;
        }
    }
    parse.Error = CheckCombination(options);
    return parse;
}
