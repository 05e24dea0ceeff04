// The command line's parts that need no device: the arguments, the port
// names, the tracing port (on virtual time, around a scripted device) and the
// output formats.

#ifndef _WIN32
#include <unistd.h>
#endif

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>

#include "AppendFileAccess.h"
#include "CliOptions.h"
#include "CliProgram.h"
#include "DeviceNames.h"
#include "PortName.h"
#include "QueuedConsole.h"
#include "Reporter.h"
#include "SessionRig.h"
#include "StationDisplay.h"
#include "StationInput.h"
#include "TracingPort.h"

namespace {

// A terminal screen as far as the live output uses it: text, line feeds,
// carriage returns, cursor up (ESC [ n A), erase to the end (ESC [ J), and
// lines that wrap at the width. Standard output and error both reach it.
struct Screen {
    int Width = 80;
    QStringList Rows{QString()};
    int Row = 0;
    int Column = 0;

    void Put(const QString& text) {
        static const QRegularExpression escape(QStringLiteral("^\x1b\\[(\\d*)([AJ])"));
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QRegularExpressionMatch control = escape.match(QStringView(text).mid(i));
            if (control.hasMatch() && control.captured(2) == u"A") {
                Row = std::max(0, Row - std::max(1, control.captured(1).toInt()));
            } else if (control.hasMatch()) {
                Rows = Rows.mid(0, Row + 1);
                Rows[Row].truncate(Column);
            } else if (text[i] == u'\r') {
                Column = 0;
            } else if (text[i] == u'\n' || Column == Width) {
                Column = 0;
                if (++Row == Rows.size()) {
                    Rows << QString();
                }
                i -= text[i] == u'\n' ? 0 : 1;  // a wrapped character goes on the new line
            } else {
                Rows[Row] = Rows[Row].leftJustified(Column).replace(Column, 1, text[i]);
                ++Column;
            }
            i += control.hasMatch() ? control.capturedLength() - 1 : 0;
        }
    }
    QStringList Lines() const {
        return Rows.last().isEmpty() ? Rows.mid(0, Rows.size() - 1) : Rows;
    }
};

class CapturedConsole : public Console {
public:
    void Out(const QString& text) override {
        Stdout += text;
        Shown.Put(text);
    }
    void Err(const QString& text) override {
        Stderr += text;
        Shown.Put(text);
    }
    bool OutIsTerminal() const override { return Terminal; }
    int Columns() const override { return Shown.Width; }
    int Rows() const override { return Height; }
    QString Stdout;
    QString Stderr;
    bool Terminal = false;
    int Height = 24;
    Screen Shown;
};

// An Update of 0x1270..0x12A0 on virtual time with the session's port either
// the scripted one itself or the tracing port around it. The device stays
// silent at the first Connect, refuses one data block and answers the rest.
struct TracedRun {
    VirtualScheduler Clock;
    ProcessState State;
    TestPort Port{Clock};
    ManualTimer Timer{Clock};
    ManualTimer SettleTimer{Clock};
    ScriptedMessageBoxes Boxes{&Clock};
    FakePause Sleep{Clock};
    RecordingView View{Clock};
    ScriptedDevice Device{Port};
    QStringList Trace;
    std::unique_ptr<TracingPort> Traced;
    std::unique_ptr<BootloaderSession> Session;

    explicit TracedRun(bool traced) {
        State.ModelId = {1, 2, 3};
        State.FirmwareVersion = {1, 3};
        State.EnglishUi = true;
        State.ComPortNumber = 4;
        State.SessionModeUpdate = true;
        State.ImageLowestAddress = 0x1270;
        State.ImageHighestAddress = 0x12A0;
        for (int a = 0; a < ImageSize; ++a) {
            State.FirmwareImage[a] = static_cast<std::uint8_t>(a * 5);
        }
        Device.Plan(Kind::Connect, 0, Fault::Silent);
        Device.Plan(Kind::Block, 0x1280, Fault::Refuse);
        SerialPort* port = &Port;
        if (traced) {
            Traced = std::make_unique<TracingPort>(
                Port, [this](const QString& record) { Trace << record; });
            port = Traced.get();
        }
        Session = std::make_unique<BootloaderSession>(State, *port, Timer, SettleTimer, Boxes,
                                                      Sleep, View);
        View.OnClose = [this] { Session->Form_Unload(); };
        Session->Form_Load();
        Clock.RunUntil([this] { return !Session->IsLoaded(); }, 60000);
    }
};

}  // namespace

class CliPartsTest : public QObject {
    Q_OBJECT

private slots:
    void argumentsThatCannotBeUsed_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("reason");
        QTest::newRow("nothing") << QStringList{} << "no command";
        QTest::newRow("unknown command") << QStringList{"flash"} << "unknown command";
        QTest::newRow("option of another command")
            << QStringList{"ports", "--port", "COM3"} << "ports does not take --port";
        QTest::newRow("value missing at the end")
            << QStringList{"update", "--port"} << "--port needs a value";
        QTest::newRow("empty value") << QStringList{"update", "--folder="} << "--folder needs";
        QTest::newRow("flag with a value") << QStringList{"update", "--json=1"} << "takes no value";
        QTest::newRow("folder and file")
            << QStringList{"update", "--folder", "a", "--file", "b.hex"}
            << "cannot be used together";
        QTest::newRow("negative retries")
            << QStringList{"update", "--retries", "-1"} << "--retries takes";
        QTest::newRow("read without output") << QStringList{"read", "--port", "3"} << "--output";
        QTest::newRow("read on two ports")
            << QStringList{"read", "--port", "3", "--port", "4", "--output", "x"} << "one --port";
        QTest::newRow("unknown format")
            << QStringList{"read", "--output", "x", "--format", "srec"} << "hex or bin";
        QTest::newRow("stray word") << QStringList{"update", "COM3"} << "unexpected argument";
        QTest::newRow("negative timeout")
            << QStringList{"update", "--timeout", "-5"} << "--timeout takes whole seconds";
        QTest::newRow("timeout beyond a week")
            << QStringList{"read", "--output", "x", "--timeout=604801"} << "from 0 to 604800";
        QTest::newRow("probe of a session") << QStringList{"update", "--probe"} << "--probe";
        QTest::newRow("verify of a read")
            << QStringList{"read", "--output", "x", "--verify"} << "read does not take --verify";
        QTest::newRow("unit without an id")
            << QStringList{"update", "--unit", "COM3="} << "PORT=ID";
        QTest::newRow("unit without a port")
            << QStringList{"update", "--unit", "=SN1"} << "PORT=ID";
        QTest::newRow("field without =") << QStringList{"read", "--field", "lot"} << "KEY=VALUE";
        QTest::newRow("field twice") << QStringList{"update", "--field", "lot=1", "--field=lot=2"}
                                     << "--field lot is given twice";
        QTest::newRow("allow-list of a read")
            << QStringList{"read", "--output", "x", "--expect-sha256", "ab"} << "--expect-sha256";
        QTest::newRow("station: next is auto or manual")
            << QStringList{"station", "--next", "later"} << "--next is auto or manual";
        QTest::newRow("station: no leave time")
            << QStringList{"station", "--leave", "0"} << "--leave takes a whole number from 1";
        QTest::newRow("station: negative lockout")
            << QStringList{"station", "--lockout", "-1"} << "--lockout takes";
        QTest::newRow("station options of update")
            << QStringList{"update", "--stop-after", "3"} << "update does not take --stop-after";
    }

    void argumentsThatCannotBeUsed() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, reason);
        const CliParse parse = ParseCliArguments(arguments);
        QVERIFY2(parse.Error.contains(reason), qPrintable(parse.Error));
        CapturedConsole console;
        QCOMPARE(RunCli(arguments, console), ExitBadInput);
        QVERIFY(console.Stderr.contains(reason));
        QVERIFY(console.Stdout.isEmpty());
    }

    void argumentsTaken() {
        const CliParse parse =
            ParseCliArguments({"update", "--port", "COM3", "--port=/dev/ttyUSB0", "--retries=2",
                               "--version", "1.7", "--json", "--quiet", "--trace", "t", "--model",
                               "1:2:3", "--file", "f.hex", "--verify"});
        QCOMPARE(parse.Error, QString());
        const CliOptions& o = parse.Options;
        QCOMPARE(o.Which, CliOptions::Command::Update);
        QCOMPARE(o.Ports, (QStringList{"COM3", "/dev/ttyUSB0"}));
        QCOMPARE(o.Retries, 2);
        QCOMPARE(o.Version, QStringLiteral("1.7"));
        QVERIFY(o.Json && o.Quiet && o.Verify);
        QCOMPARE(o.TraceDir, QStringLiteral("t"));
        QCOMPARE(o.Model, QStringLiteral("1:2:3"));
        QCOMPARE(o.File, QStringLiteral("f.hex"));
        const CliParse unit = ParseCliArguments(
            {"update", "--unit", "COM3=SN=7", "--field", "operator=Li Wei", "--field=lot=A=1"});
        QCOMPARE(unit.Options.Units, QStringList{"COM3=SN=7"});
        QCOMPARE(unit.Options.Fields,
                 (QList<QPair<QString, QString>>{{"operator", "Li Wei"}, {"lot", "A=1"}}));

        const CliParse read = ParseCliArguments({"read", "--output", "m.bin", "--format", "bin"});
        QCOMPARE(read.Error, QString());
        QVERIFY(read.Options.BinaryOutput);

#ifndef _WIN32  // Windows gives the arguments as UTF-16 text
        // A path that is not text in the system's encoding would name another file.
        QCOMPARE(UndecodableArgument({"update", "--log", "/tmp/\xe6\x97\xa5.jsonl"}), QString());
        QVERIFY(UndecodableArgument({"update", "--log", "/tmp/\xff.jsonl"}).contains("not text"));
#endif

        // --version before a command is the program's; after update, the firmware's.
        CapturedConsole console;
        QCOMPARE(RunCli({"--version"}, console), 0);
        QCOMPARE(console.Stdout, QStringLiteral("fwloader-cli 1.0.0\n"));
        const CliParse station =
            ParseCliArguments({"station", "--port", "COM3", "--next", "manual", "--stop-after", "5",
                               "--lockout=0", "--leave", "2", "--verify", "--file", "f.hex"});
        QCOMPARE(station.Error, QString());
        QCOMPARE(station.Options.Which, CliOptions::Command::Station);
        QVERIFY(station.Options.NextManual && station.Options.Verify);
        QCOMPARE(station.Options.StopAfter, 5);
        QCOMPARE(station.Options.LockoutAfter, 0);
        QCOMPARE(station.Options.LeaveSeconds, 2);
        const CliOptions defaults = ParseCliArguments({"station"}).Options;
        QVERIFY(!defaults.NextManual);
        QCOMPARE(defaults.LockoutAfter, 3);
        QCOMPARE(defaults.LeaveSeconds, 3);
        for (const char* command : {"update", "read", "ports", "station"}) {
            CapturedConsole help;
            QCOMPARE(RunCli({command, "--help"}, help), 0);
            QVERIFY(help.Stdout.startsWith(QStringLiteral("Usage: fwloader-cli ") + command));
        }
    }

    // What a line typed at the station asks for, and the yield it counts.
    void stationLinesAndYield() {
        const QStringList labels{"COM3", "/dev/ttyUSB0"};
        struct Row {
            QString Line;
            int Slot;
            QString Unit;
            bool Problem;
        };
        for (const Row& row : QList<Row>{{"", -1, "", false},
                                         {"COM3", 0, "", false},
                                         {"  2  SN 42 ", 1, "SN 42", false},
                                         {"/dev/ttyUSB0 SN-1", 1, "SN-1", false},
                                         {"3", -1, "", true},
                                         {"0 SN-1", -1, "SN-1", true},
                                         {"COM4 SN-1", -1, "SN-1", true}}) {
            const StationLine parsed = ParseStationLine(row.Line, labels);
            QCOMPARE(parsed.Slot, row.Slot);
            QCOMPARE(parsed.Unit, row.Unit);
            QCOMPARE(!parsed.Problem.isEmpty(), row.Problem);
        }
#ifndef _WIN32
        // Typed lines as the station's input gives them: split however the
        // reads come, the last one also without its end, and the reading
        // ends with the input.
        int pipeEnds[2];
        QCOMPARE(::pipe(pipeEnds), 0);
        const QByteArray typed = "COM3 SN-1\n\n2";
        QCOMPARE(::write(pipeEnds[1], typed.constData(), typed.size()), typed.size());
        ::close(pipeEnds[1]);
        QList<QByteArray> lines;
        ReadLinesOf(pipeEnds[0], [&](const QByteArray& line) { lines << line; });
        ::close(pipeEnds[0]);
        QCOMPARE(lines, (QList<QByteArray>{"COM3 SN-1", "", "2"}));
#endif
        YieldCount yield;
        QCOMPARE(yield.Text(), QStringLiteral("0 passed, 0 failed, yield -"));
        for (PortEnding ending : {PortEnding::Success, PortEnding::ModelError, PortEnding::Success,
                                  PortEnding::ModelError, PortEnding::Interrupted}) {
            yield.Add(ending);
        }
        QCOMPARE(yield.Text(), QStringLiteral("2 passed, 3 failed (2 model-error, 1 interrupted), "
                                              "yield 40.0%"));
        QCOMPARE(QJsonDocument(yield.Json()).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"boards":5,"endings":{"interrupted":1,"model-error":2,)"
                            R"("success":2},"failed":3,"passed":2,"yield":0.4})"));
    }

    // On a terminal a live line per slot, redrawn only when something
    // changed, results above it; at the end the yield instead.
    void stationLinesOnATerminal() {
        CapturedConsole console;
        console.Terminal = true;
        StationDisplay display(console, false, false, {"COM3", "COM4"});
        QCOMPARE(console.Shown.Lines().size(), 2);
        display.State(1, SlotState::Flashing);
        display.Progress(1, 0.5);
        display.Tick();
        QVERIFY2(console.Shown.Lines().last().startsWith("COM4  flashing  50%  board 0"),
                 qPrintable(console.Shown.Lines().join('|')));
        const QString drawn = console.Stdout;
        display.Tick();
        QCOMPARE(console.Stdout, drawn);  // nothing changed
        display.Progress(1, 0.75);
        display.Tick();
        QVERIFY(console.Shown.Lines().last().contains("flashing  75%"));
        PortResult result;
        result.Ending = PortEnding::Success;
        display.Finished(1, 1, result);
        QStringList lines = console.Shown.Lines();
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[0].startsWith("COM4  board 1  success"));
        QVERIFY(lines[2].endsWith("yield 1/1 100.0%  last success"));
        display.Summary(0);
        lines = console.Shown.Lines();
        QCOMPARE(lines.mid(1),
                 (QStringList{"COM3  0 boards: 0 passed, 0 failed, yield -",
                              "COM4  1 boards: 1 passed, 0 failed, yield 100.0%",
                              "station: 1 boards: 1 passed, 0 failed, yield 100.0%"}));
    }

    // The line time at 9600 baud, doubled, plus twelve seconds per question.
    void defaultTimeout() {
        // 24 + 512 * 15 + 65536 bytes: 76.3 s on the line.
        QCOMPARE(DefaultTimeoutSeconds(true, 0, 0xFFFF, 0), 165);
        QCOMPARE(DefaultTimeoutSeconds(true, 0, 0xFFFF, 2), 189);
        // With verify, a read exchange per block besides: 24 + 512 * 151 + 65536 bytes.
        QCOMPARE(DefaultTimeoutSeconds(true, 0, 0xFFFF, 0, true), 310);
        QCOMPARE(DefaultTimeoutSeconds(false, 0, 0x7FFF, 0, true), 85);
        // Partial first and last blocks: 3 blocks, 24 + 45 + 258 bytes.
        QCOMPARE(DefaultTimeoutSeconds(true, 0x1270, 0x1371, 0), 13);
        // 24 + 256 * 136 bytes: 36.3 s.
        QCOMPARE(DefaultTimeoutSeconds(false, 0, 0x7FFF, 0), 85);
        QVERIFY(CliHelp(CliOptions::Command::Update).contains("165 s for"));
    }

    void portNames() {
#ifdef _WIN32
        QSKIP("COM ports and device paths of Linux");
#endif
        QTemporaryDir root;
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(root.path()));
        QDir().mkpath(root.filePath("dosdevices"));
        QFile::link(QDir::rootPath() + "dev/null", root.filePath("dosdevices/com5"));
        QFile::link(QDir::rootPath() + "dev/null", root.filePath("dosdevices/com120"));

        PortTarget target;
        QString error;
        for (const char* name : {"COM5", "com5", "5"}) {
            QVERIFY2(ResolvePortName(name, target, error), qPrintable(error));
            QCOMPARE(target.Label, QStringLiteral("COM5"));
            QCOMPARE(target.Number, qint16(5));
            QVERIFY(target.DevicePath.isEmpty());
        }
        // A number above the fixed mapping is a port only through its link.
        QVERIFY(ResolvePortName("COM120", target, error));
        QVERIFY(!ResolvePortName("COM121", target, error));
        QVERIFY(error.contains("not a port of this machine"));
        for (const char* name : {"COM0", "COM40000", "COMX", "ttyUSB0", "/nonexistent/tty"}) {
            QVERIFY2(!ResolvePortName(name, target, error), qPrintable(name));
        }
        QVERIFY(ResolvePortName("/dev/null", target, error));
        QCOMPARE(target.Label, QStringLiteral("/dev/null"));
        QCOMPARE(target.Number, qint16(0));

        // Two names of one device, also through a link, are one port.
        PortTarget byNumber;
        PortTarget byPath;
        PortTarget other;
        QVERIFY(ResolvePortName("COM5", byNumber, error) &&
                ResolvePortName("/dev/null", byPath, error) &&
                ResolvePortName("COM7", other, error));
        QVERIFY(FindSharedDevice({byNumber, byPath}).contains("are the same port"));
        QCOMPARE(FindSharedDevice({byNumber, other}), QString());
        qunsetenv("FWLOADER_STORE_ROOT");
    }

    // The tracing port changes nothing of what the session sends, nor when:
    // the same scripted session, with resends, a refused block and the
    // pause, writes the same packets at the same virtual times and rates.
    void tracingPortIsTransparent() {
        TracedRun plain(false);
        TracedRun traced(true);
        QVERIFY(plain.State.SessionSucceeded && traced.State.SessionSucceeded);
        QCOMPARE(traced.Port.Writes.size(), plain.Port.Writes.size());
        qint64 sent = 0;
        QStringList writtenRecords;
        for (qsizetype i = 0; i < plain.Port.Writes.size(); ++i) {
            const auto& a = plain.Port.Writes[i];
            const auto& b = traced.Port.Writes[i];
            QCOMPARE(b.Bytes, a.Bytes);
            QCOMPARE(b.Time, a.Time);
            QCOMPARE(b.BaudRate, a.BaudRate);
            sent += a.Bytes.size();
            writtenRecords << "-> " + QString::fromLatin1(a.Bytes.toHex(' ').toUpper());
        }
        QCOMPARE(traced.Port.SettingsLog, plain.Port.SettingsLog);
        QCOMPARE(traced.Sleep.Pauses, plain.Sleep.Pauses);

        // Every packet is in the trace, in order, and the bytes are counted.
        QStringList tracedWrites;
        qint64 received = 0;
        for (const QString& record : traced.Trace) {
            if (record.startsWith("-> ")) {
                tracedWrites << record;
            } else if (record.startsWith("<- ") && record != "<- (nothing waiting)") {
                received += record.mid(3).split(' ').size();
            }
        }
        QCOMPARE(tracedWrites, writtenRecords);
        QCOMPARE(traced.Traced->BytesSent(), sent);
        QCOMPARE(traced.Traced->BytesReceived(), received);
        QVERIFY(traced.Trace.contains("settings 9600,N,8,1: ok"));
        QVERIFY(traced.Trace.contains("open: ok"));
        QVERIFY(traced.Trace.contains("event: data received"));
        QVERIFY(traced.Trace.contains("close"));
    }

    void failedWritesAreNotCounted() {
        VirtualScheduler clock;
        ScriptedSerialPort inner(clock);
        QStringList trace;
        TracingPort port(inner, [&](const QString& record) { trace << record; });
        QVERIFY(port.Open());
        QVERIFY(port.Write(QByteArray::fromHex("5501")));
        inner.WriteFails = true;
        QVERIFY(!port.Write(QByteArray::fromHex("550203")));
        QCOMPARE(port.BytesSent(), qint64(2));
        QCOMPARE(trace.last(), QStringLiteral("-> 55 02 03 (failed)"));
    }

    // Bytes thrown away before a header came from the device: they are
    // counted and written down, and the inner port really throws them away.
    void discardedBytesAreCountedAndTraced() {
        VirtualScheduler clock;
        ScriptedSerialPort inner(clock);
        QStringList trace;
        TracingPort port(inner, [&](const QString& record) { trace << record; });
        QVERIFY(port.Open());
        inner.PutWaitingInput(QByteArray::fromHex("79aa"));
        QCOMPARE(port.DiscardInput(), QByteArray::fromHex("79aa"));
        QCOMPARE(inner.Discards.size(), 1);
        QCOMPARE(port.BytesReceived(), qint64(2));
        QCOMPARE(trace.last(), QStringLiteral("<- 79 AA (thrown away)"));
        QVERIFY(port.ReadAll().isEmpty());
    }

    void traceTimestampsToTheMicrosecond() {
        QVERIFY(QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}$)")
                    .match(TraceTimestamp())
                    .hasMatch());
        QCOMPARE(TraceFileName("COM12"), QStringLiteral("COM12.trace"));
        QCOMPARE(TraceFileName("/dev/ttyUSB0"), QStringLiteral("dev_ttyUSB0.trace"));

#ifndef _WIN32  // counts the open descriptors in /proc
        // Each record reaches the file as it is written, not when the trace ends.
        const auto openFiles = [] { return QDir("/proc/self/fd").count(); };
        const auto before = openFiles();
        QTemporaryDir folder;
        const QString path = folder.filePath("t.trace");
        TraceFile trace(std::fopen(QFile::encodeName(path).constData(), "w"));
        trace.Write("-> 55 82");
        const auto content = [&path] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_VERIFY_WITH_TIMEOUT(content().endsWith(" -> 55 82\n"), 2000);
        QVERIFY(trace.Finish(1000));

        // A trace whose writes fail says so; an ended trace lets go of its file.
        {
            TraceFile full(std::fopen("/dev/full", "w"));
            full.Write("x");
            QVERIFY(!full.Finish(1000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(openFiles(), before, 2000);
#endif
#ifdef _WIN32
        QCOMPARE(TraceFileName("COM7"), QStringLiteral("COM7-port.trace"));
        QCOMPARE(TraceFileName("nul.x"), QStringLiteral("nul-port.x.trace"));
#else
        QCOMPARE(TraceFileName("COM7"), QStringLiteral("COM7.trace"));
#endif
    }

    // Names by which Windows opens a device instead of a file.
    void windowsDeviceNames() {
        const struct {
            const char* Path;
            bool Device;
        } rows[] = {
            {"COM7", true},
            {"com9.log", true},
            {"C:\\logs\\LPT1.jsonl", true},
            {"out/aux", true},
            {"NUL .txt", true},
            {"C:con", true},
            {"\\\\.\\PhysicalDrive0", true},
            {"//?/C:/x.log", true},
            {"COM\u00b9", true},
            {"COM10.log", false},
            {"COM.log", false},
            {"console.log", false},
            {"LPTX", false},
            {"C:\\NUL\\x.log", false},
            {"", false},
        };
        for (const auto& row : rows) {
            const QString path = QString::fromUtf8(row.Path);
            QVERIFY2(NamesWindowsDevice(path) == row.Device, row.Path);
            QCOMPARE(DeviceFileProblem("--log", path).isEmpty(), !row.Device);
        }
    }

    // The log's handle on Windows holds a right that each call on it needs
    // (append-data alone would fail every record there, not under Wine).
    void appendFileHandleServesEveryCall() {
        for (const AppendFileAccess::Need& need : AppendFileAccess::Needs) {
            QVERIFY2((AppendFileAccess::Opened & need.AnyOf) != 0, need.Call);
        }
    }

    // The JSON objects carry every field, the summary counts every ending.
    void jsonEventsAndSummary() {
        CapturedConsole console;
        JsonReporter json(console);
        json.Started({{"COM3", "update", "/dev/ttyS2", {{"version", "1.3"}}},
                      {"COM4", "update", "/dev/ttyS3", {}}});
        json.Progress(0, 0.504, 0x1280);
        json.Question(1, "Check connection!Retry or cancel?", false);
        json.Warning("COM4", "the latency timer of /dev/ttyUSB0 is still 16 ms");
        PortResult good;
        good.Ending = PortEnding::Success;
        good.Message = "Successful";
        good.Seconds = 1.23456;
        good.BytesSent = 71693;
        good.BytesReceived = 1547;
        json.Finished(0, good);
        PortResult cancelled;
        cancelled.Ending = PortEnding::Cancelled;
        cancelled.Retries = 2;
        cancelled.Address = 0x8400;
        cancelled.HalfWritten = true;
        cancelled.Detail = "stopped at 0x8400; the device may be left half-written";
        cancelled.LogKept = true;
        json.Finished(1, cancelled);
        json.Error({}, "--log: cannot append");
        json.Summary(1);

        QList<QJsonObject> events;
        for (const QString& line : console.Stdout.trimmed().split('\n')) {
            events << QJsonDocument::fromJson(line.toUtf8()).object();
        }
        QCOMPARE(events.size(), 9);
        QCOMPARE(events[7], (QJsonObject{{"event", "error"}, {"message", "--log: cannot append"}}));
        QCOMPARE(events[0].value("version").toString(), QStringLiteral("1.3"));
        QCOMPARE(events[0].value("device").toString(), QStringLiteral("/dev/ttyS2"));
        QCOMPARE(events[2].value("percent").toInt(), 50);
        QCOMPARE(events[2].value("address").toInt(), 0x1280);
        QCOMPARE(events[3].value("answer").toString(), QStringLiteral("cancel"));
        QCOMPARE(events[4].value("event").toString(), QStringLiteral("warning"));
        QVERIFY(console.Stderr.contains("warning: COM4: the latency timer"));
        const QJsonObject result = events[5];
        for (const char* field : {"port", "event", "ok", "ending", "message", "detail", "seconds",
                                  "bytes_sent", "bytes_received", "retries"}) {
            QVERIFY2(result.contains(field), field);
        }
        QVERIFY(result.value("ok").toBool());
        QVERIFY(!result.contains("address") && !result.contains("half_written"));
        QCOMPARE(result.value("seconds").toDouble(), 1.235);
        QCOMPARE(result.value("bytes_sent").toInt(), 71693);
        QCOMPARE(events[6].value("retries").toInt(), 2);
        QCOMPARE(events[6].value("address").toInt(), 0x8400);
        QVERIFY(events[6].value("half_written").toBool());
        QCOMPARE(events[6].value("detail").toString(), cancelled.Detail);
        // A unit whose record could not be written is told apart.
        QVERIFY(!result.contains("logged"));
        QCOMPARE(events[6].value("logged"), QJsonValue(false));
        QCOMPARE(events.last().value("unlogged").toInt(), 1);
        const QJsonObject summary = events.last();
        QCOMPARE(summary.value("succeeded").toInt(), 1);
        QCOMPARE(summary.value("failed").toInt(), 1);
        const QJsonObject endings = summary.value("endings").toObject();
        QCOMPARE(endings.size(), PortEndingCount);
        QCOMPARE(endings.value("success").toInt(), 1);
        QCOMPARE(endings.value("cancelled").toInt(), 1);
        QCOMPARE(endings.value("interrupted").toInt(), 0);
        // Only a read-back that was made and equal is told.
        QVERIFY(!HumanReporter::ResultText(good).contains("read back"));
        good.Verified = true;
        QVERIFY(HumanReporter::ResultText(good).contains("read back equal"));
    }

    // A standard output that takes nothing (Ctrl-S, a full pipe) holds up
    // no caller; what was given goes out in order once it takes again.
    void stalledOutputHoldsUpNoCaller() {
        struct StalledConsole : CapturedConsole {
            std::atomic<bool> Flowing{false};
            void Out(const QString& text) override {
                while (!Flowing) {
                    QThread::msleep(1);
                }
                CapturedConsole::Out(text);
            }
        } stalled;
        {
            QueuedConsole queued(stalled);
            QElapsedTimer clock;
            clock.start();
            for (int i = 0; i < 100; ++i) {
                queued.Out(QStringLiteral("%1\n").arg(i));
            }
            queued.Err("last\n");
            QVERIFY(clock.elapsed() < 500);
            QVERIFY(stalled.Stdout.isEmpty());
            stalled.Flowing = true;
        }
        QCOMPARE(stalled.Stdout.count(u'\n'), 100);
        QVERIFY(stalled.Stdout.endsWith("99\n"));
        QCOMPARE(stalled.Stderr, QStringLiteral("last\n"));
    }

    // On a terminal each running port keeps one line, cut to the width and
    // drawn again in place; errors and results go above it, and the screen
    // holds no stale or wrapped copy of a live line.
    void liveLinesOnATerminal() {
        CapturedConsole console;
        console.Terminal = true;
        console.Shown.Width = 60;
        HumanReporter human(console, false);
        const QString slot = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
        human.Started({{"COM3", "update", "/dev/ttyS2", {}}, {slot, "update", slot, {}}});
        human.Progress(1, 0.5, 0x4000);
        human.Tick();
        human.Error("COM3", "something around the session failed");
        human.Tick();
        PortResult result;
        result.Ending = PortEnding::TransferFailure;
        result.Message = QStringLiteral("读写失败,地址 = 125");
        human.Finished(0, result);
        human.Tick();

        // The slot's name is cut from the left; the line fits the width.
        const QStringList lines = console.Shown.Lines();
        QVERIFY2(lines.last().startsWith(QStringLiteral("…")) &&
                     lines.last().contains(" 50%  0x4000") &&
                     lines.last().size() < console.Shown.Width,
                 qPrintable(lines.join('|')));
        QCOMPARE(lines.filter("50%").size(), 1);
        QVERIFY(lines[0].startsWith("fwloader-cli: COM3: something") &&
                lines.filter("something around").size() == 1);
        QVERIFY(lines.join("").contains(QStringLiteral("transfer-failure")));
        human.Finished(1, result);
        human.Summary(1);
        QVERIFY(console.Shown.Lines().filter("%  0x").isEmpty());
        QVERIFY(console.Shown.Lines().last().startsWith("0 of 2 sessions succeeded (2 "));

        // Without a terminal nothing is redrawn; questions are lines of output.
        CapturedConsole plain;
        HumanReporter tenths(plain, false);
        tenths.Started({{"COM3", "update", "/dev/ttyS2", {}}});
        tenths.Question(0, "Check connection!Retry or cancel?", true);
        tenths.Tick();
        QCOMPARE(plain.Stdout, QStringLiteral("COM3  update on /dev/ttyS2\nCOM3  Check "
                                              "connection!Retry or cancel? -> Retry\n"));

        // More ports than rows: a compact block that fits the rows.
        CapturedConsole gang;
        gang.Terminal = true;
        gang.Height = 6;
        HumanReporter many(gang, false);
        std::vector<PortStart> starts;
        for (int n = 1; n <= 40; ++n) {
            starts.push_back({QStringLiteral("COM%1").arg(n), "update", "/dev/x", {}});
        }
        many.Started(starts);
        many.Progress(39, 0.25, 0x2000);
        many.Tick();
        const QStringList block = gang.Shown.Lines();
        QVERIFY2(block.size() <= 5 && block.first().startsWith("COM1 ") &&
                     block.last().contains("more running"),
                 qPrintable(block.join('|')));
        QVERIFY(std::all_of(block.begin(), block.end(),
                            [&](const QString& line) { return line.size() < gang.Shown.Width; }));
    }
};

QTEST_GUILESS_MAIN(CliPartsTest)
#include "tst_CliParts.moc"
