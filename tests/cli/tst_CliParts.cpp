// The command line's parts that need no device: the arguments, the port
// names, the tracing port (on virtual time, around a scripted device) and the
// output formats.

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "CliOptions.h"
#include "CliProgram.h"
#include "PortName.h"
#include "Reporter.h"
#include "SessionRig.h"
#include "TracingPort.h"

namespace {

class CapturedConsole : public Console {
public:
    void Out(const QString& text) override { Stdout += text; }
    void Err(const QString& text) override { Stderr += text; }
    bool OutIsTerminal() const override { return Terminal; }
    QString Stdout;
    QString Stderr;
    bool Terminal = false;
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
        const CliParse parse = ParseCliArguments(
            {"update", "--port", "COM3", "--port=/dev/ttyUSB0", "--retries=2", "--version", "1.7",
             "--json", "--quiet", "--trace", "t", "--model", "1:2:3", "--file", "f.hex"});
        QCOMPARE(parse.Error, QString());
        const CliOptions& o = parse.Options;
        QCOMPARE(o.Which, CliOptions::Command::Update);
        QCOMPARE(o.Ports, (QStringList{"COM3", "/dev/ttyUSB0"}));
        QCOMPARE(o.Retries, 2);
        QCOMPARE(o.Version, QStringLiteral("1.7"));
        QVERIFY(o.Json && o.Quiet);
        QCOMPARE(o.TraceDir, QStringLiteral("t"));
        QCOMPARE(o.Model, QStringLiteral("1:2:3"));
        QCOMPARE(o.File, QStringLiteral("f.hex"));

        const CliParse read = ParseCliArguments({"read", "--output", "m.bin", "--format", "bin"});
        QCOMPARE(read.Error, QString());
        QVERIFY(read.Options.BinaryOutput);

        // --version before a command is the program's; after update, the firmware's.
        CapturedConsole console;
        QCOMPARE(RunCli({"--version"}, console), 0);
        QCOMPARE(console.Stdout, QStringLiteral("fwloader-cli 1.0.0\n"));
        for (const char* command : {"update", "read", "ports"}) {
            CapturedConsole help;
            QCOMPARE(RunCli({command, "--help"}, help), 0);
            QVERIFY(help.Stdout.startsWith(QStringLiteral("Usage: fwloader-cli ") + command));
        }
    }

    void portNames() {
#ifdef _WIN32
        QSKIP("COM ports and device paths of Linux");
#endif
        QTemporaryDir root;
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(root.path()));
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
        qunsetenv("XDG_CONFIG_DIRS");
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
    }

    // The JSON objects carry every field, the summary counts every ending.
    void jsonEventsAndSummary() {
        CapturedConsole console;
        JsonReporter json(console);
        json.Started({{"COM3", "update", "/dev/ttyS2", {{"version", "1.3"}}},
                      {"COM4", "update", "/dev/ttyS3", {}}});
        json.Progress(0, 0.504, 0x1280);
        json.Question(1, "Check connection!Retry or cancel?", false);
        PortResult good;
        good.Ending = PortEnding::Success;
        good.Message = "Successful";
        good.Seconds = 1.23456;
        good.BytesSent = 71693;
        good.BytesReceived = 1547;
        json.Finished(0, good, true);
        PortResult cancelled;
        cancelled.Ending = PortEnding::Cancelled;
        cancelled.Retries = 2;
        json.Finished(1, cancelled, false);
        json.Summary(1);

        QList<QJsonObject> events;
        for (const QString& line : console.Stdout.trimmed().split('\n')) {
            events << QJsonDocument::fromJson(line.toUtf8()).object();
        }
        QCOMPARE(events.size(), 7);
        QCOMPARE(events[0].value("version").toString(), QStringLiteral("1.3"));
        QCOMPARE(events[0].value("device").toString(), QStringLiteral("/dev/ttyS2"));
        QCOMPARE(events[2].value("percent").toInt(), 50);
        QCOMPARE(events[2].value("address").toInt(), 0x1280);
        QCOMPARE(events[3].value("answer").toString(), QStringLiteral("cancel"));
        const QJsonObject result = events[4];
        for (const char* field : {"port", "event", "ok", "ending", "message", "seconds",
                                  "bytes_sent", "bytes_received", "retries"}) {
            QVERIFY2(result.contains(field), field);
        }
        QCOMPARE(result.value("seconds").toDouble(), 1.235);
        QCOMPARE(result.value("bytes_sent").toInt(), 71693);
        QCOMPARE(events[5].value("retries").toInt(), 2);
        const QJsonObject summary = events.last();
        QCOMPARE(summary.value("succeeded").toInt(), 1);
        QCOMPARE(summary.value("failed").toInt(), 1);
        const QJsonObject endings = summary.value("endings").toObject();
        QCOMPARE(endings.size(), PortEndingCount);
        QCOMPARE(endings.value("success").toInt(), 1);
        QCOMPARE(endings.value("cancelled").toInt(), 1);
        QCOMPARE(endings.value("interrupted").toInt(), 0);
    }

    // On a terminal each port keeps one line, drawn again in place.
    void liveLinesOnATerminal() {
        CapturedConsole console;
        console.Terminal = true;
        HumanReporter human(console, false);
        human.Started({{"COM3", "update", "/dev/ttyS2", {}}, {"COM12", "update", "/dev/x", {}}});
        human.Progress(1, 0.5, 0x4000);
        human.Tick();
        PortResult result;
        result.Ending = PortEnding::TransferFailure;
        result.Message = QStringLiteral("读写失败,地址 = 125");
        human.Finished(0, result, false);
        const QStringList draws = console.Stdout.split("\x1b[2A");
        QCOMPARE(draws.size(), 3);  // the first drawing and two in place
        QVERIFY(draws[1].contains("COM12  [##########----------]  50%  0x4000"));
        QVERIFY(draws[2].contains("COM3   transfer-failure"));
        QVERIFY(draws[2].contains(": 读写失败,地址 = 125\n"));
        QCOMPARE(draws[2].count('\n'), 2);
    }
};

QTEST_GUILESS_MAIN(CliPartsTest)
#include "tst_CliParts.moc"
