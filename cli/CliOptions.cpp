#include "CliOptions.h"

#include <algorithm>
#include <cmath>

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
    "  ports    list the serial devices of this machine, opening none\n"
    "  station  flash each board put into any --port slot, until stopped\n"
    "\n"
    "  fwloader-cli <command> --help   the options of a command\n"
    "  fwloader-cli --version          the program version\n"
    "\n"
    "Examples:\n"
    "  fwloader-cli update --port /dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 \\\n"
    "      --port COM4 --file Board_2.15.hex --model 12:0:200 --log flash.jsonl\n"
    "  fwloader-cli read --port COM3 --output device.hex --model 12:0:200\n"
    "\n"
    "Exit status:\n"
    "  0    every session succeeded\n"
    "  1    at least one did not (it failed, timed out, or its read was not saved),\n"
    "       or a log record could not be written\n"
    "  2    bad arguments or input: nothing was sent to any port\n"
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP); a second Ctrl-C or SIGTERM ends\n"
    "       the program at once\n";

const char UpdateHelp[] =
    "Usage: fwloader-cli update --port P [--port P ...] [--folder DIR | --file FILE]\n"
    "                           [--model A:B:C] [--version MAJOR.MINOR] [--retries N]\n"
    "                           [--timeout S] [--log FILE] [--station NAME]\n"
    "                           [--unit PORT=ID ...] [--field KEY=VALUE ...]\n"
    "                           [--expect-sha256 HASH|FILE ...]\n"
    "                           [--json] [--trace DIR] [--quiet] [--verify]\n"
    "\n"
    "Writes the firmware to the device on every --port, all at once.\n"
    "\n"
    "  --port P         COM3, 3, or a serial device such as /dev/ttyUSB0 or a stable\n"
    "                   name from /dev/serial/by-path or by-id (see fwloader-cli\n"
    "                   ports); repeat for a gang. Without it: the port stored for\n"
    "                   the folder's vendor.\n"
    "  --folder DIR     the folder used as the window uses its program folder:\n"
    "                   Config.txt gives the model bytes and the settings key, the\n"
    "                   firmware file is chosen among its *.hex files (all six\n"
    "                   TempFile_1.0x.hex present: TempFile_1.03.hex; otherwise the\n"
    "                   first by name). Default: the program folder.\n"
    "  --file FILE      the firmware file itself; Config.txt is then read from the\n"
    "                   program folder.\n"
    "  --model A:B:C    the model bytes instead of those of Config.txt. With --model\n"
    "                   and --port, Config.txt is not read.\n"
    "  --version M.N    the firmware version, needed when the file name gives none\n"
    "                   (the text after its last \"_\": Board_2.15.hex is 2.15).\n"
    "  --retries N      how often the question after six seconds of silence is\n"
    "                   answered Retry before Cancel (default 0).\n"
    "  --timeout S      end a session that has not ended after S seconds as\n"
    "                   timed-out, with its port closed; 0: never. Default: the\n"
    "                   image's line time at 9600 baud, doubled, plus 12 s for each\n"
    "                   question of the watchdog (the first and each Retry) and the\n"
    "                   quiet wait after it: %1 s for a 64 KiB image, %2 s for 4 KiB\n"
    "                   (with --retries 0).\n"
    "  --log FILE       append JSON records to FILE (a regular file): one when a\n"
    "                   session starts, before its first byte, and one when it\n"
    "                   ends: run, unit, times, station, port, adapter, firmware\n"
    "                   and its SHA-256, ending, detail... (see fwloader-cli(1)).\n"
    "  --station NAME   the station's name in the log (default: the host name).\n"
    "  --unit PORT=ID   the unit on PORT (a serial number or barcode), in its\n"
    "                   records; repeat for each port.\n"
    "  --field K=V      a field copied into every record (operator, work order,\n"
    "                   lot); repeatable.\n"
    "  --expect-sha256 HASH|FILE\n"
    "                   the firmware's SHA-256 must be HASH, or one of the hashes\n"
    "                   in FILE (one a line, as sha256sum writes them);\n"
    "                   repeatable. Other firmware is refused before the first\n"
    "                   byte.\n"
    "  --json           JSON Lines on standard output (see the README).\n"
    "  --trace DIR      one file per port in DIR with every call and byte, timed to\n"
    "                   the microsecond.\n"
    "  --quiet          no progress, only the result of each port.\n"
    "  --verify         before the device is told to start its application, read\n"
    "                   the written range back and compare it with the firmware; a\n"
    "                   block that differs is erased and written again (twice at\n"
    "                   most), and a unit whose memory still differs fails with the\n"
    "                   first differing address. It costs about as long again as\n"
    "                   the writing; the default --timeout allows for it.\n";

const char ReadHelp[] =
    "Usage: fwloader-cli read --port P --output FILE [--format hex|bin] [--json]\n"
    "                         [--trace DIR] [--folder DIR] [--model A:B:C]\n"
    "                         [--retries N] [--timeout S] [--log FILE]\n"
    "                         [--station NAME] [--unit PORT=ID] [--field K=V]\n"
    "                         [--quiet]\n"
    "\n"
    "Reads device memory 0x0000 to 0x7FFF and saves it, once the read succeeded.\n"
    "\n"
    "  --port P         COM3, 3, or a serial device. Without it: the stored port.\n"
    "  --output FILE    where to save; replaced whole or not at all. It must be\n"
    "                   writable before anything is sent; if saving still fails at\n"
    "                   the end, the bytes go to a file beside it (the result says\n"
    "                   where) and the session ends as not-saved.\n"
    "  --format hex     Intel HEX as the window's Save writes it: addresses 0x8000\n"
    "                   to 0xFFFF, LF CR line ends, no end record (the default).\n"
    "  --format bin     the 32,768 bytes themselves.\n"
    "  --folder DIR     where Config.txt is read (default: the program folder).\n"
    "  --model A:B:C    the model bytes sent in Connect; with --model and --port,\n"
    "                   Config.txt is not read.\n"
    "  --timeout S      as for update; the default is %3 s (with --retries 0).\n"
    "  --retries N, --log FILE, --station NAME, --unit PORT=ID, --field K=V,\n"
    "  --json, --trace DIR, --quiet\n"
    "                   as for update.\n";

const char StationHelp[] =
    "Usage: fwloader-cli station --port P [--port P ...] [the options of update]\n"
    "                            [--next auto|manual] [--stop-after N]\n"
    "                            [--lockout K] [--leave S]\n"
    "\n"
    "Runs a flashing station: each --port is a slot with its own loop. It waits\n"
    "for a board (a Connect every 0.9 s, alternately at 19200 and 9600 baud,\n"
    "never asking anything), flashes it with the session of update as soon as it\n"
    "answers, writes its records, and waits for the board to leave before it\n"
    "waits for the next one. Ctrl-C ends the station: a board being flashed ends\n"
    "as interrupted, every record and the summary are written.\n"
    "\n"
    "  --next auto      a board has left when its port disappears (a USB adapter\n"
    "                   that goes with the board) or when it has not answered\n"
    "                   Connect for --leave seconds (the default).\n"
    "  --next manual    the operator says so: Enter for every slot that waits, or\n"
    "                   a line naming the slot (its port or its number from 1).\n"
    "  --stop-after N   end once N boards have been flashed, over all slots.\n"
    "  --lockout K      a slot whose K boards in a row failed is locked out until\n"
    "                   a line naming it is typed (default 3; 0: never).\n"
    "  --leave S        seconds without an answer that mean a board has left\n"
    "                   (default 3).\n"
    "  --unit PORT=ID   the unit of the next board in PORT; a line \"SLOT ID\" on\n"
    "                   standard input (a barcode scanner) does the same.\n"
    "  --json           JSON Lines: state, arrived, result, left, locked and\n"
    "                   summary events, each with its port.\n"
    "  --trace DIR      one file per board: PORT-N.trace.\n"
    "\n"
    "Exit status: 0 when every board flashed passed, 1 otherwise, 130 when a board\n"
    "was being flashed when the station was interrupted.\n";

const char PortsHelp[] =
    "Usage: fwloader-cli ports [--probe] [--json]\n"
    "\n"
    "Lists the serial devices of this machine without opening any (opening a port\n"
    "toggles its DTR line, which resets boards wired for auto-reset): each with the\n"
    "COM number that opens it, its names under /dev/serial/by-path and by-id, which\n"
    "stay the same when the adapter is plugged in again and can be given to\n"
    "--port, and its USB vendor, product and serial number.\n"
    "\n"
    "  --probe   instead, open COM1 to COM99 as the port dialog does and list those\n"
    "            that open, each with the device it maps to.\n";

// The options each command takes; those with a value are marked by "=".
QStringList OptionsOf(Command command) {
    switch (command) {
        case Command::Update:
            return {"port=",          "folder=", "file=",    "model=", "version=", "retries=",
                    "timeout=",       "log=",    "station=", "trace=", "unit=",    "field=",
                    "expect-sha256=", "json",    "quiet",    "verify"};
        case Command::Read:
            return {"port=", "output=",  "format=", "folder=", "model=", "retries=", "timeout=",
                    "log=",  "station=", "trace=",  "unit=",   "field=", "json",     "quiet"};
        case Command::Ports:
            return {"json", "probe"};
        case Command::Station:
            return {"port=",    "folder=",  "file=",          "model=",   "version=",
                    "retries=", "timeout=", "log=",           "station=", "trace=",
                    "unit=",    "field=",   "expect-sha256=", "json",     "quiet",
                    "verify",   "next=",    "stop-after=",    "lockout=", "leave="};
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
        case Command::Station:
            return QStringLiteral("station");
        case Command::None:
            break;
    }
    return {};
}

// Stores one option's value; false with the reason when it cannot be used.
bool Apply(CliOptions& options, const QString& name, const QString& value, QString& error) {
    const bool flag = name == u"json" || name == u"quiet" || name == u"probe" || name == u"verify";
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
    } else if (name == u"timeout") {
        bool ok = false;
        const int seconds = value.toInt(&ok);
        if (!ok || seconds < 0 || seconds > MaxTimeoutSeconds) {
            error = QStringLiteral("--timeout takes whole seconds from 0 to %1, not \"%2\"")
                        .arg(MaxTimeoutSeconds)
                        .arg(value);
            return false;
        }
        options.TimeoutSeconds = seconds;
    } else if (name == u"next") {
        if (value != u"auto" && value != u"manual") {
            error = QStringLiteral("--next is auto or manual, not \"%1\"").arg(value);
            return false;
        }
        options.NextManual = value == u"manual";
    } else if (name == u"stop-after" || name == u"lockout" || name == u"leave") {
        bool ok = false;
        const int number = value.toInt(&ok);
        if (!ok || number < 0 || (name == u"leave" && number == 0)) {
            error = QStringLiteral("--%1 takes a whole number from %2, not \"%3\"")
                        .arg(name, name == u"leave" ? "1" : "0", value);
            return false;
        }
        (name == u"stop-after" ? options.StopAfter
         : name == u"lockout"  ? options.LockoutAfter
                               : options.LeaveSeconds) = number;
    } else if (name == u"log") {
        options.LogFile = value;
    } else if (name == u"station") {
        options.Station = value;
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
    } else if (name == u"unit" || name == u"field") {
        const qsizetype equals = value.indexOf(u'=');
        const QString key = value.left(std::max<qsizetype>(equals, 0));
        if (equals <= 0 || equals == value.size() - 1) {
            error = QStringLiteral("--%1 takes %2, not \"%3\"")
                        .arg(name, name == u"unit" ? "PORT=ID" : "KEY=VALUE", value);
            return false;
        }
        if (name == u"unit") {
            options.Units << value;
        } else if (std::any_of(options.Fields.begin(), options.Fields.end(),
                               [&](const auto& field) { return field.first == key; })) {
            error = QStringLiteral("--field %1 is given twice").arg(key);
            return false;
        } else {
            options.Fields.append({key, value.mid(equals + 1)});
        }
    } else if (name == u"expect-sha256") {
        options.ExpectSha256 << value;
    } else if (name == u"json") {
        options.Json = true;
    } else if (name == u"quiet") {
        options.Quiet = true;
    } else if (name == u"probe") {
        options.Probe = true;
    } else if (name == u"verify") {
        options.Verify = true;
    }
    return true;
}

// Checks that go across options.
QString CheckCombination(const CliOptions& options) {
    if ((options.Which == Command::Update || options.Which == Command::Station) &&
        !options.Folder.isEmpty() && !options.File.isEmpty()) {
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

int DefaultTimeoutSeconds(bool update, int low, int high, int retries, bool verify) {
    constexpr double BitsPerByte = 10;
    constexpr double SlowestBaud = 9600;
    constexpr int Block = 128;
    constexpr int ConnectAndGo = 8 + 10 + 5 + 1;  // headers and their replies
    constexpr int EraseAndWrite = 5 + 1 + 6 + 1;  // headers and their replies
    constexpr int ReadExchange = 7 + Block + 1;   // header, block and check byte
    // Five silent resends and the question; then, once the device answers a
    // request that went out more than once, the quiet wait before the next
    // (up to five seconds and a margin).
    constexpr int QuestionSeconds = 6 + 6;
    const int bytes = std::max(0, high - low + 1);
    const int blocks = bytes == 0 ? 0 : high / Block - low / Block + 1;
    // Each data block goes out with its check byte and is answered with one.
    const double exchanged =
        ConnectAndGo + (update ? bytes + blocks * (EraseAndWrite + 2) : blocks * ReadExchange) +
        (update && verify ? blocks * ReadExchange : 0);
    const double lineSeconds = exchanged * BitsPerByte / SlowestBaud;
    return static_cast<int>(std::ceil(2 * lineSeconds)) +
           QuestionSeconds * (std::max(0, retries) + 1);
}

QString CliHelp(CliOptions::Command command) {
    constexpr int KiB = 1024;
    switch (command) {
        case Command::Update:
            return QString::fromUtf8(UpdateHelp)
                .arg(DefaultTimeoutSeconds(true, 0, 64 * KiB - 1, 0))
                .arg(DefaultTimeoutSeconds(true, 0, 4 * KiB - 1, 0));
        case Command::Read:
            return QString::fromUtf8(ReadHelp).replace(
                QStringLiteral("%3"), QString::number(DefaultTimeoutSeconds(false, 0, 0x7FFF, 0)));
        case Command::Ports:
            return QString::fromUtf8(PortsHelp);
        case Command::Station:
            return QString::fromUtf8(StationHelp);
        case Command::None:
            break;
    }
    return QString::fromUtf8(Overview);
}

CliParse ParseCliArguments(const QStringList& arguments) {
    CliParse parse;
    CliOptions& options = parse.Options;
    if (arguments.isEmpty()) {
        parse.Error =
            QStringLiteral("no command given (update, read, ports or station; see --help)");
        return parse;
    }
    const QString first = arguments.first();
    if (first == u"--help" || first == u"-h" || first == u"help") {
        Command command = Command::None;
        if (first == u"help" && arguments.size() > 1) {
            for (const Command c :
                 {Command::Update, Command::Read, Command::Ports, Command::Station}) {
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
    for (const Command c : {Command::Update, Command::Read, Command::Ports, Command::Station}) {
        if (first == CommandName(c)) {
            options.Which = c;
        }
    }
    if (options.Which == Command::None) {
        parse.Error =
            QStringLiteral("unknown command \"%1\" (update, read, ports or station; see --help)")
                .arg(first);
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
