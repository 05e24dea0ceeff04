// The fwloader-cli executable against simulated devices on pseudo-terminals,
// published as COM ports below a temporary per-machine store root. The
// devices run on this test's event loop; the program runs as a process of
// its own, without a display, and what it prints, its exit status and what
// reached the devices are checked.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <functional>
#include <memory>

#include "BoardCycle.h"
#include "HexText.h"
#include "IntelHexReader.h"
#include "RandomBytes.h"
#include "SimulatedDevice.h"

namespace {

constexpr int GuardMs = 60000;

struct CliRun {
    int Exit = -1;
    bool Crashed = false;
    bool TimedOut = false;
    QByteArray Out;
    QByteArray Err;

    QList<QJsonObject> Events() const {
        QList<QJsonObject> events;
        for (const QByteArray& line : Out.split('\n')) {
            if (!line.isEmpty()) {
                events << QJsonDocument::fromJson(line).object();
            }
        }
        return events;
    }
    QList<QJsonObject> EventsOf(const QString& port) const {
        QList<QJsonObject> events;
        for (const QJsonObject& event : Events()) {
            if (event.value("port").toString() == port) {
                events << event;
            }
        }
        return events;
    }
};

bool NoByteReached(const SimulatedDevice& device) {
    for (const TrafficRecord& record : device.Traffic()) {
        if (record.Dir == TrafficRecord::Direction::In) {
            return false;
        }
    }
    return true;
}

}  // namespace

class CliOverWireTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> Root;    // the per-machine store root
    std::unique_ptr<QTemporaryDir> Folder;  // a folder with Config.txt and firmware
    std::vector<std::unique_ptr<SimulatedDevice>> Devices;
    // The largest file the program may write, as a full disk stops it; 0: no limit.
    qint64 FileSizeLimit = 0;

    SimulatedDevice& AddDevice(int com) {
        Devices.push_back(std::make_unique<SimulatedDevice>());
        SimulatedDevice& device = *Devices.back();
        device.SetModel(1, 2, 3);
        QString error;
        if (!device.Start(&error) ||
            (com > 0 && !device.PublishAsComPort(com, Root->path(), &error))) {
            qFatal("the simulated device cannot start: %s", qPrintable(error));
        }
        return device;
    }

    void Put(const QString& name, const QByteArray& content) {
        QFile file(Folder->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    // The program without a display: no DISPLAY, no Wayland, no Qt platform.
    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        env.insert("FWLOADER_STORE_ROOT", Root->path());
        return env;
    }

    // Runs the program while this thread's event loop keeps the devices
    // answering; whileRunning sees each piece of standard output.
    CliRun Run(const QStringList& arguments,
               const std::function<void(QProcess&, const QByteArray&)>& whileRunning = {},
               const QString& program = QStringLiteral(FWLOADER_CLI_PATH)) {
        CliRun run;
        QProcess process;
        process.setProcessEnvironment(Environment());
        if (FileSizeLimit > 0) {
            process.setChildProcessModifier([limit = FileSizeLimit] {
                const rlimit size{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
                ::setrlimit(RLIMIT_FSIZE, &size);
                std::signal(SIGXFSZ, SIG_IGN);  // a write beyond it fails with EFBIG
            });
        }
        QEventLoop loop;
        QObject::connect(&process, &QProcess::readyReadStandardOutput, &loop, [&] {
            run.Out += process.readAllStandardOutput();
            if (whileRunning) {
                whileRunning(process, run.Out);
            }
        });
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart) {
                loop.quit();
            }
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, &loop, [&] {
            run.TimedOut = true;
            process.kill();
        });
        guard.start(GuardMs);
        process.start(program, arguments);
        loop.exec();
        process.waitForFinished(5000);
        run.Out += process.readAllStandardOutput();
        run.Err = process.readAllStandardError();
        run.Crashed = process.exitStatus() != QProcess::NormalExit;
        run.Exit = process.exitCode();
        return run;
    }

    QByteArray ReadFile(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void init() {
        Root = std::make_unique<QTemporaryDir>();
        Folder = std::make_unique<QTemporaryDir>();
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(Root->path()));
        Put("Config.txt", "1:2:3\r\nVendor\r\nTitle\r\n");
    }

    void cleanup() {
        Devices.clear();
        FileSizeLimit = 0;
    }

    // Five devices at once, the watchdog's question answered Retry twice,
    // each session given 14 s: two take the firmware, one reports another
    // model, one never answers (asked twice, about six seconds apart, then
    // ended at its deadline) and one answers only once it has been asked
    // about. Each session leaves a record in the log.
    void gangEndsEachPortOnItsOwn() {
        const QByteArray firmware = RandomBytes(3000, 7);
        Put("Board_2.15.hex", HexFile(0x8010, firmware));
        SimulatedDevice& first = AddDevice(5);
        SimulatedDevice& byPath = AddDevice(0);
        SimulatedDevice& otherModel = AddDevice(6);
        SimulatedDevice& silent = AddDevice(7);
        SimulatedDevice& late = AddDevice(8);
        otherModel.SetModel(9, 9, 9);
        const QByteArray otherBefore = RandomBytes(0x10000, 8);
        otherModel.SetMemory(otherBefore);
        QVERIFY(silent.AddFault(QStringLiteral("any*:silence")));
        for (int n = 1; n <= 6; ++n) {
            QVERIFY(late.AddFault(QStringLiteral("connect#%1:silence").arg(n)));
        }
        const QString traces = Folder->filePath("traces");

        const QString log = Folder->filePath("flash.jsonl");

        const CliRun run =
            Run({"update",    "--port",   "COM5",         "--port",    byPath.TerminalPath(),
                 "--port",    "6",        "--port",       "com7",      "--port",
                 "COM8",      "--folder", Folder->path(), "--retries", "2",
                 "--timeout", "14",       "--json",       "--trace",   traces,
                 "--log",     log,        "--station",    "line 3"});

        QVERIFY2(!run.TimedOut && !run.Crashed, run.Err.constData());
        QCOMPARE(run.Exit, 1);
        // Every line is one JSON object; each port starts first and ends with
        // its result; progress only goes forward.
        const QList<QByteArray> lines = run.Out.trimmed().split('\n');
        for (const QByteArray& line : lines) {
            QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
        }
        struct Expected {
            QString Port;
            QString Ending;
            QString Message;
            int Retries;
            QStringList Answers;
        };
        const QString question = QStringLiteral("Check connection!Retry or cancel?");
        const QList<Expected> expected = {
            {"COM5", "success", "Successful", 0, {}},
            {byPath.TerminalPath(), "success", "Successful", 0, {}},
            {"COM6", "model-error", "Model Error！", 0, {}},
            {"COM7", "timed-out", "", 2, {"retry", "retry"}},
            {"COM8", "success", "Successful", 1, {"retry"}},
        };
        for (const Expected& port : expected) {
            const QList<QJsonObject> events = run.EventsOf(port.Port);
            QVERIFY2(events.size() >= 2, qPrintable(port.Port));
            QCOMPARE(events.first().value("event").toString(), QStringLiteral("start"));
            QCOMPARE(events.first().value("version").toString(), QStringLiteral("2.15"));
            const QJsonObject result = events.last();
            QCOMPARE(result.value("event").toString(), QStringLiteral("result"));
            QCOMPARE(result.value("ending").toString(), port.Ending);
            QCOMPARE(result.value("message").toString(), port.Message);
            QCOMPARE(result.value("ok").toBool(), port.Ending == "success");
            QCOMPARE(result.value("retries").toInt(), port.Retries);
            QVERIFY(result.value("bytes_sent").toDouble() > 0);
            QVERIFY(result.contains("seconds") && result.contains("bytes_received"));
            int percent = -1;
            QStringList answers;
            for (const QJsonObject& event : events) {
                if (event.value("event") == "progress") {
                    QVERIFY(event.value("percent").toInt() >= percent);
                    percent = event.value("percent").toInt();
                    QVERIFY(event.contains("address"));
                } else if (event.value("event") == "question") {
                    QCOMPARE(event.value("text").toString(), question);
                    answers << event.value("answer").toString();
                }
            }
            QCOMPARE(answers, port.Answers);
            if (port.Ending == "success") {
                QCOMPARE(percent, 100);
            }
        }
        // The silent port was asked twice (Retry) and ended at its deadline,
        // before the third question, with its port closed.
        const double deadline = run.EventsOf("COM7").last().value("seconds").toDouble();
        QVERIFY2(deadline >= 14.0 && deadline < 14.5, qPrintable(QString::number(deadline)));
        QVERIFY(run.EventsOf("COM7").last().value("detail").toString().contains(
            "no ending within 14 s"));
        const QJsonObject summary = run.Events().last();
        QCOMPARE(summary.value("event").toString(), QStringLiteral("summary"));
        QCOMPARE(summary.value("sessions").toInt(), 5);
        QCOMPARE(summary.value("succeeded").toInt(), 3);
        QCOMPARE(summary.value("failed").toInt(), 2);
        QCOMPARE(summary.value("endings").toObject().value("model-error").toInt(), 1);
        QCOMPARE(summary.value("endings").toObject().value("timed-out").toInt(), 1);
        QCOMPARE(summary.value("exit").toInt(), 1);

        // What the devices hold.
        for (SimulatedDevice* good : {&first, &byPath, &late}) {
            QCOMPARE(good->Memory().mid(0x8010, firmware.size()), firmware);
            QCOMPARE(good->LastConnect(), QByteArray::fromHex("5582010203020fda"));
            QCOMPARE(good->LastApplicationAddress(), 0x8010);
        }
        QVERIFY(otherModel.Memory() == otherBefore);
        QCOMPARE(otherModel.Counters().BlocksErased, 0);

        // One trace per port with every byte each way.
        const QString trace = QString::fromUtf8(ReadFile(traces + "/COM5.trace"));
        QVERIFY(trace.contains("-> 55 82 01 02 03 02 0F DA"));
        QVERIFY(trace.contains("<- 79 55"));
        QVERIFY(trace.contains(QRegularExpression(R"(\d\d:\d\d:\d\d\.\d{6} close)")));
        QVERIFY(trace.trimmed().endsWith("end: success: Successful"));
        QVERIFY(QFile::exists(traces + "/COM6.trace"));
        QVERIFY(QString::fromUtf8(ReadFile(traces + "/COM7.trace")).contains(" close\n"));
        QVERIFY(QFile::exists(traces + "/COM8.trace"));
        QVERIFY(QFile::exists(traces + "/" + byPath.TerminalPath().mid(1).replace('/', '_') +
                              ".trace"));

        // A start record per session before any result record, then one whole
        // result record per session, in the order of the results.
        const QByteArray sha256 = QCryptographicHash::hash(
            ReadFile(Folder->filePath("Board_2.15.hex")), QCryptographicHash::Sha256);
        const QList<QByteArray> records = ReadFile(log).trimmed().split('\n');
        QList<QJsonObject> results = run.Events();
        results.removeIf([](const QJsonObject& e) { return e.value("event") != "result"; });
        QCOMPARE(records.size(), 2 * results.size());
        for (qsizetype i = 0; i < records.size(); ++i) {
            const QJsonObject record = QJsonDocument::fromJson(records[i]).object();
            const bool start = i < results.size();
            QCOMPARE(record.value("record").toString(), start ? "start" : "result");
            QCOMPARE(record.value("sequence").toInt(), i + 1);
            QStringList keys{"command", "device",   "file",   "fwloader_version", "host",
                             "model",   "path",     "port",   "record",           "run",
                             "schema",  "sequence", "sha256", "started",          "station",
                             "time",    "version"};
            if (!start) {
                keys += QStringList{"bytes_received", "bytes_sent", "detail",
                                    "ended",          "ending",     "retries",
                                    "seconds",        "verified",   "verify_seconds"};
                QCOMPARE(record.value("verified").toBool(), false);
                if (record.value("ending") != "success") {
                    keys += QStringList{"address", "half_written"};
                }
                keys.sort();
                QCOMPARE(record.value("port"), results[i - results.size()].value("port"));
                QCOMPARE(record.value("ending"), results[i - results.size()].value("ending"));
            }
            QCOMPARE(record.keys(), keys);
            QCOMPARE(record.value("station").toString(), QStringLiteral("line 3"));
            QCOMPARE(record.value("sha256").toString().toLatin1(), sha256.toHex());
            QVERIFY(QDateTime::fromString(record.value("time").toString(), Qt::ISODateWithMs)
                        .isValid());
        }
    }

    // --verify against a device that stores one byte of a block wrong and
    // acknowledges it: without it, a success over wrong memory; with it, the
    // block written again, or a failure at that byte when it never takes.
    void verifyReadsTheWrittenRangeBack_data() {
        QTest::addColumn<bool>("verify");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("reads");  // ReadMemory requests received
        QTest::addColumn<int>("erases");
        QTest::addColumn<int>("mismatch");  // -1: a success
        // 3,000 bytes at 0x8010: 24 blocks; the third data block is 0x8100.
        QTest::newRow("off") << false << "data#3:miswrite" << 0 << 24 << -1;
        QTest::newRow("on, wrong once") << true << "data#3:miswrite" << 25 << 25 << -1;
        QTest::newRow("on, wrong every time") << true << "data*:miswrite" << 3 << 26 << 0x8048;
    }

    void verifyReadsTheWrittenRangeBack() {
        QFETCH(bool, verify);
        QFETCH(QString, fault);
        QFETCH(int, reads);
        QFETCH(int, erases);
        QFETCH(int, mismatch);
        const QByteArray firmware = RandomBytes(3000, 7);
        Put("Board_2.15.hex", HexFile(0x8010, firmware));
        SimulatedDevice& device = AddDevice(5);
        QVERIFY(device.AddFault(fault));
        const QString log = Folder->filePath("flash.jsonl");
        QStringList arguments{"update",       "--port", "COM5",  "--folder",
                              Folder->path(), "--json", "--log", log};
        if (verify) {
            arguments << "--verify";
        }

        const CliRun run = Run(arguments);
        QVERIFY2(!run.TimedOut && !run.Crashed, run.Err.constData());
        const bool ok = mismatch < 0;
        QCOMPARE(run.Exit, ok ? 0 : 1);
        const QJsonObject result = run.EventsOf("COM5").last();
        const QByteArray record = ReadFile(log).trimmed().split('\n').last();  // after the start
        for (const QJsonObject& told : {result, QJsonDocument::fromJson(record).object()}) {
            QCOMPARE(told.value("ending").toString(), ok ? "success" : "transfer-failure");
            QCOMPARE(told.value("verified").toBool(), verify && ok);
            QVERIFY(told.value("verify_seconds").isDouble());  // whole ms: may be 0 here
        }
        QCOMPARE(device.Counters().Of(ExchangeKind::ReadMemory), reads);
        QCOMPARE(device.Counters().BlocksErased, erases);
        QCOMPARE(device.Memory().mid(0x8010, firmware.size()) == firmware, verify && ok);
        QCOMPARE(device.LastApplicationAddress(), ok ? 0x8010 : -1);
        QCOMPARE(result.value("address").toInt(-1), mismatch);
        QVERIFY(ok || result.value("detail").toString().contains("differ"));
    }

    void readSavesTheDeviceMemory_data() {
        QTest::addColumn<QString>("format");
        QTest::newRow("hex") << "hex";
        QTest::newRow("bin") << "bin";
    }

    void readSavesTheDeviceMemory() {
        QFETCH(QString, format);
        SimulatedDevice& device = AddDevice(5);
        QByteArray memory = RandomBytes(0x10000, 9);
        memory[0x40] = char(0x79);  // a block that starts like an acknowledgement is data
        memory.replace(0x100, 40, QByteArray(40, '\0'));  // zero bytes leave their records short
        device.SetMemory(memory);
        const QString output = Folder->filePath("saved." + format);

        const QString log = Folder->filePath("read.jsonl");
        const CliRun run = Run({"read", "--port", "COM5", "--output", output, "--format", format,
                                "--model", "1:2:3", "--quiet", "--log", log});

        QVERIFY2(!run.TimedOut && !run.Crashed, run.Err.constData());
        QCOMPARE(run.Exit, 0);
        QVERIFY2(run.Out.contains("success") && run.Out.contains("读取成功"), run.Out.constData());
        QCOMPARE(device.LastApplicationAddress(), 0x9000);
        const QByteArray saved = ReadFile(output);
        // The record names the bytes saved, and where.
        const QJsonObject record =
            QJsonDocument::fromJson(ReadFile(log).trimmed().split('\n').last()).object();
        QCOMPARE(record.value("output").toString(), output);
        QCOMPARE(record.value("sha256").toString().toLatin1(),
                 QCryptographicHash::hash(saved, QCryptographicHash::Sha256).toHex());
        if (format == "bin") {
            QVERIFY(saved == memory.left(0x8000));
            return;
        }
        // The Save file: device 0x0000..0x7FFF at file addresses 0x8000..0xFFFF,
        // every line ended by LF CR.
        QVERIFY(saved.endsWith("\n\r"));
        ProcessState readBack;
        IntelHexReader reader(readBack);
        for (const QByteArray& line : saved.split('\n')) {
            QVERIFY(reader.AnalyseHexLine(line.startsWith('\r') ? line.mid(1) : line));
        }
        QVERIFY(QByteArray(reinterpret_cast<const char*>(readBack.FirmwareImage.data()) + 0x8000,
                           0x8000) == memory.left(0x8000));
    }

    // The output was writable when the read began but is not at its end: the
    // bytes go beside it, the session counts as failed, the endings add up.
    void readThatCannotBeSavedKeepsItsBytes() {
        SimulatedDevice& device = AddDevice(5);
        QVERIFY(device.AddFault(QStringLiteral("connect#1:silence")));  // a second's head start
        const QByteArray memory = RandomBytes(0x10000, 11);
        device.SetMemory(memory);
        const QString output = Folder->filePath("saved.bin");

        const CliRun run = Run({"read", "--port", "COM5", "--output", output, "--format", "bin",
                                "--model", "1:2:3", "--json"},
                               [&](QProcess&, const QByteArray&) { QDir().mkpath(output); });

        QVERIFY2(!run.TimedOut && !run.Crashed, run.Err.constData());
        QCOMPARE(run.Exit, 1);
        const QJsonObject result = run.EventsOf("COM5").last();
        QCOMPARE(result.value("ending").toString(), QStringLiteral("not-saved"));
        QVERIFY(!result.value("ok").toBool());
        const QString detail = result.value("detail").toString();
        const qsizetype at = detail.indexOf("the bytes read are in ");
        QVERIFY2(detail.startsWith("cannot write " + output) && at > 0, qPrintable(detail));
        const QString kept = detail.mid(at + 22);
        QVERIFY(kept.startsWith(output + ".unsaved-"));
        QVERIFY(ReadFile(kept) == memory.left(0x8000));
        const QJsonObject summary = run.Events().last();
        QCOMPARE(summary.value("failed").toInt(), 1);
        QCOMPARE(summary.value("endings").toObject().value("not-saved").toInt(), 1);
        QCOMPARE(summary.value("endings").toObject().value("success").toInt(), 0);
    }

    // Each unit leaves a start record before its first byte and a result
    // record once it is done, each whole or not at all: a file size limit
    // stands for a disk that fills.
    void recordsAreWholeOrAbsent() {
        const QByteArray firmware = HexFile(0x8000, RandomBytes(600, 11));
        Put("Board_2.15.hex", firmware);
        const QByteArray sha256 =
            QCryptographicHash::hash(firmware, QCryptographicHash::Sha256).toHex();
        Put("approved.sha256",
            "# approved\n" + QByteArray(64, 'a') + "  old.hex\n" + sha256 + "  Board_2.15.hex\n");
        SimulatedDevice& five = AddDevice(5);
        const QString log = Folder->filePath("flash.jsonl");
        const QStringList arguments{"update",
                                    "--port",
                                    "COM5",
                                    "--folder",
                                    Folder->path(),
                                    "--json",
                                    "--log",
                                    log,
                                    "--unit",
                                    "5=SN-0001",
                                    "--field",
                                    "operator=Li",
                                    "--field",
                                    "lot=L7",
                                    "--expect-sha256",
                                    Folder->filePath("approved.sha256")};

        const CliRun good = Run(arguments);
        QCOMPARE(good.Exit, 0);
        const QList<QByteArray> lines = ReadFile(log).split('\n');
        QCOMPARE(lines.size(), 3);
        const QJsonObject start = QJsonDocument::fromJson(lines[0]).object();
        const QJsonObject end = QJsonDocument::fromJson(lines[1]).object();
        const QRegularExpression utc(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
        for (const QJsonObject& record : {start, end}) {
            QCOMPARE(record.value("schema").toInt(), 1);
            QCOMPARE(record.value("run").toString().size(), 36);
            QCOMPARE(record.value("unit").toString(), QStringLiteral("SN-0001"));
            QCOMPARE(record.value("fields").toObject(),
                     (QJsonObject{{"operator", "Li"}, {"lot", "L7"}}));
            QCOMPARE(record.value("sha256").toString().toLatin1(), sha256);
            QCOMPARE(record.value("path").toString(), Folder->filePath("Board_2.15.hex"));
            QVERIFY(utc.match(record.value("started").toString()).hasMatch());
        }
        QCOMPARE(end.value("run"), start.value("run"));
        QCOMPARE(start.value("record").toString(), QStringLiteral("start"));
        QCOMPARE(start.value("sequence").toInt(), 1);
        QCOMPARE(end.value("record").toString(), QStringLiteral("result"));
        QCOMPARE(end.value("sequence").toInt(), 2);
        QVERIFY(utc.match(end.value("ended").toString()).hasMatch());
        QCOMPARE(end.value("ending").toString(), QStringLiteral("success"));
        QCOMPARE(good.EventsOf("COM5").last().value("logged"), QJsonValue(true));

        // The disk fills in the middle of the result record: the start
        // record stays, the fragment goes, and the unit is told unlogged.
        const QByteArray before = ReadFile(log);
        FileSizeLimit = before.size() + lines[0].size() + 1 + 40;
        const CliRun full = Run(arguments);
        QCOMPARE(full.Exit, 1);
        const QJsonObject result = full.EventsOf("COM5").last();
        QCOMPARE(result.value("ending").toString(), QStringLiteral("success"));
        QCOMPARE(result.value("logged"), QJsonValue(false));
        QCOMPARE(full.Events().last().value("unlogged").toInt(), 1);
        QCOMPARE(full.Events().last().value("failed").toInt(), 0);
        const QByteArray after = ReadFile(log);
        QVERIFY(after.startsWith(before) && after.endsWith('\n'));
        QCOMPARE(QJsonDocument::fromJson(after.mid(before.size()).trimmed())
                     .object()
                     .value("record")
                     .toString(),
                 QStringLiteral("start"));

        // No room for the start record: nothing is sent, nothing is left.
        const int connects = five.Counters().Exchanges;
        FileSizeLimit = after.size() + 40;
        const CliRun none = Run(arguments);
        QCOMPARE(none.Exit, 2);
        QVERIFY2(none.Err.contains("start records"), none.Err.constData());
        QCOMPARE(ReadFile(log), after);
        QCOMPARE(five.Counters().Exchanges, connects);
    }

    // Another program that reads the log cannot stop the station: a shared
    // flock() does not meet the writers' lock, a read lock is waited for a
    // bounded time and then refused before the first byte.
    void readerOfTheLogCannotHoldTheStation_data() {
        QTest::addColumn<QString>("lock");
        QTest::addColumn<int>("exit");
        QTest::newRow("flock, shared") << "flock" << 0;
        QTest::newRow("fcntl read lock") << "read lock" << 2;
    }

    void readerOfTheLogCannotHoldTheStation() {
        QFETCH(QString, lock);
        QFETCH(int, exit);
        Put("Board_2.15.hex", HexFile(0x8000, RandomBytes(300, 12)));
        SimulatedDevice& five = AddDevice(5);
        const QString log = Folder->filePath("flash.jsonl");
        Put("flash.jsonl", "");
        const int reader = ::open(QFile::encodeName(log).constData(), O_RDONLY);
        QVERIFY(reader >= 0);
        struct flock range {};
        range.l_type = F_RDLCK;
        QCOMPARE(lock == "flock" ? ::flock(reader, LOCK_SH) : ::fcntl(reader, F_OFD_SETLK, &range),
                 0);

        const CliRun run =
            Run({"update", "--port", "COM5", "--folder", Folder->path(), "--log", log});
        ::close(reader);

        QVERIFY2(!run.TimedOut, run.Err.constData());
        QCOMPARE(run.Exit, exit);
        QCOMPARE(NoByteReached(five), exit != 0);
        QCOMPARE(ReadFile(log).count('\n'), exit == 0 ? 2 : 0);
    }

    // A trace that nobody reads (a FIFO, standing for a hung network
    // folder) does not hold up the session: the read ends well within its
    // deadline, told that its trace is incomplete.
    void traceThatNobodyReadsCannotHoldTheSession() {
        AddDevice(5);
        const QString traces = Folder->filePath("traces");
        QVERIFY(QDir().mkpath(traces));
        const QByteArray fifo = QFile::encodeName(traces + "/COM5.trace");
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        QElapsedTimer clock;
        clock.start();

        const CliRun run = Run({"read", "--port", "COM5", "--output", Folder->filePath("m.hex"),
                                "--model", "1:2:3", "--timeout", "3", "--trace", traces, "--json"});
        ::close(reader);

        QVERIFY2(!run.TimedOut, run.Err.constData());
        QVERIFY2(clock.elapsed() < 9000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(run.EventsOf("COM5").last().value("ending").toString(), QStringLiteral("success"));
        QVERIFY(run.Err.contains("the trace file could not be written whole"));
    }

    void badInputSendsNothing_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("firmware");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QString>("reason");
        const QByteArray good = HexFile(0x1000, RandomBytes(256, 3));
        const QByteArray config = "1:2:3\r\nVendor\r\nTitle\r\n";
        const QStringList ports = {"--port", "COM5", "--port", "COM6"};
        QTest::newRow("no firmware file") << ports << QByteArray() << config << "无升级文件";
        QTest::newRow("rejected line")
            << ports << QByteArray(good + DataRecord(0x2000, "AB", 1) + "\r\n") << config
            << "文档有误";
        QTest::newRow("bad Config.txt")
            << ports << good << QByteArray("1:x:3\r\nVendor\r\nTitle\r\n") << "Cannot start";
        QTest::newRow("bad model")
            << (ports + QStringList{"--model", "1:256:3"}) << good << config << "--model";
        QTest::newRow("bad version")
            << (ports + QStringList{"--version", "1.x"}) << good << config << "--version";
        QTest::newRow("unknown port name") << QStringList{"--port", "COM5", "--port", "COMX"}
                                           << good << config << "not a port name";
        QTest::newRow("port number without a device")
            << QStringList{"--port", "COM5", "--port", "COM97"} << good << config
            << "not a port of this machine";
        QTest::newRow("missing device path")
            << QStringList{"--port", "COM5", "--port", "/nonexistent/ttyUSB0"} << good << config
            << "does not exist";
        QTest::newRow("same port twice") << QStringList{"--port", "COM5", "--port", "5"} << good
                                         << config << "are the same port";
        QTest::newRow("unknown option")
            << (ports + QStringList{"--speed", "3"}) << good << config << "does not take --speed";
        QTest::newRow("model of four bytes")
            << (ports + QStringList{"--model", "1:2:3:4"}) << good << config << "exactly three";
        QTest::newRow("no version in the file name")
            << (ports + QStringList{"--file", "@folder/board.hex", "--model", "1:2:3"}) << good
            << config << "gives no firmware version";
        // Ports that are no serial device, after a good one: nothing reaches it.
        QTest::newRow("a FIFO") << QStringList{"--port", "COM5", "--port", "@fifo"} << good
                                << config << "is a FIFO";
        QTest::newRow("a folder") << QStringList{"--port", "COM5", "--port", "@folder"} << good
                                  << config << "is a folder";
        QTest::newRow("/dev/null") << QStringList{"--port", "COM5", "--port", "/dev/null"} << good
                                   << config << "is not a serial device";
        QTest::newRow("a COM number whose device is missing")
            << QStringList{"--port", "COM5", "--port", "COM64"} << good << config
            << "/dev/ttyUSB31 does not exist";
        QTest::newRow("log a FIFO")
            << (ports + QStringList{"--log", "@fifo"}) << good << config << "not a regular file";
        QTest::newRow("log /dev/full") << (ports + QStringList{"--log", "/dev/full"}) << good
                                       << config << "not a regular file";
        QTest::newRow("firmware not on the allow-list")
            << (ports + QStringList{"--expect-sha256", QString(64, u'0')}) << good << config
            << "is not one that --expect-sha256 allows";
        QTest::newRow("unit of a port not in the run")
            << (ports + QStringList{"--unit", "COM7=SN1"}) << good << config
            << "COM7 is not one of the ports";
        QTest::newRow("read into a folder that does not exist")
            << QStringList{"read", "--port", "COM5", "--output", "@folder/none/x.hex"} << good
            << config << "--output: @folder/none/x.hex cannot be written";
    }

    void badInputSendsNothing() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, firmware);
        QFETCH(QByteArray, config);
        QFETCH(QString, reason);
        SimulatedDevice& five = AddDevice(5);
        SimulatedDevice& six = AddDevice(6);
        Put("Config.txt", config);
        if (!firmware.isEmpty()) {
            Put("Board_1.2.hex", firmware);
        }

        const QString fifo = Folder->filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QString command = QStringLiteral("update");
        if (arguments.first() == u"read") {
            command = arguments.takeFirst();
        }
        for (QString& argument : arguments) {
            argument.replace("@fifo", fifo).replace("@folder", Folder->path());
        }
        if (arguments.contains(Folder->path() + "/board.hex")) {
            Put("board.hex", firmware);
        }

        if (!arguments.contains("--file")) {
            arguments = QStringList{"--folder", Folder->path()} + arguments;
        }
        const CliRun run = Run(QStringList{command} + arguments);

        QCOMPARE(run.Exit, 2);
        QVERIFY2(QString::fromUtf8(run.Err).contains(reason.replace("@folder", Folder->path())),
                 run.Err.constData());
        QTest::qWait(50);
        QVERIFY(NoByteReached(five));
        QVERIFY(NoByteReached(six));
    }

    // Ctrl-C and SIGTERM end every session as interrupted, with its port
    // closed, and the program with 130.
    void signalEndsEverySession_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("ports");
        QTest::newRow("SIGINT, one port") << int(SIGINT) << 1;
        QTest::newRow("SIGTERM, two ports") << int(SIGTERM) << 2;
    }

    void signalEndsEverySession() {
        QFETCH(int, signal);
        QFETCH(int, ports);
        Put("Board_1.0.hex", HexFile(0, RandomBytes(0x8000, 4)));
        QStringList arguments{"update", "--folder", Folder->path(),
                              "--json", "--trace",  Folder->filePath("traces")};
        for (int i = 0; i < ports; ++i) {
            AddDevice(5 + i).SetLineTiming(true);  // 19200 baud: about 20 s for 32 KiB
            arguments << "--port" << QStringLiteral("COM%1").arg(5 + i);
        }
        bool sent = false;
        const CliRun run = Run(arguments, [&](QProcess& process, const QByteArray& out) {
            // Once every port is well into its transfer.
            if (!sent && out.count("\"percent\":3,") >= ports) {
                sent = true;
                ::kill(static_cast<pid_t>(process.processId()), signal);
            }
        });

        QVERIFY2(!run.TimedOut && !run.Crashed && sent, run.Err.constData());
        QCOMPARE(run.Exit, 130);
        for (int i = 0; i < ports; ++i) {
            const QString port = QStringLiteral("COM%1").arg(5 + i);
            const QJsonObject result = run.EventsOf(port).last();
            QCOMPARE(result.value("ending").toString(), QStringLiteral("interrupted"));
            QCOMPARE(result.value("ok").toBool(), false);
            const QStringList trace =
                QString::fromUtf8(ReadFile(Folder->filePath("traces/" + port + ".trace")))
                    .trimmed()
                    .split('\n');
            QVERIFY(trace.size() > 3);
            QVERIFY(trace[trace.size() - 2].endsWith(" close"));
            QVERIFY(trace.last().contains(" end: interrupted ("));
        }
        QCOMPARE(run.Events().last().value("exit").toInt(), 130);
    }

    // A station of two slots whose boards come and go: a wired fixture (a
    // board falls silent when taken out, its application is silent) and a
    // USB adapter that goes with its board (the application prints; its
    // first board fails). Each board is flashed once, with a record of its
    // own, and the failure makes the status 1; a unit typed on
    // standard input goes with the next board of its slot; the run ends
    // after four boards. Then Ctrl-C in the middle of a board ends it as
    // interrupted, with 130.
    void stationFlashesEachBoardOnce() {
        Put("Board_2.15.hex", HexFile(0x8010, RandomBytes(3000, 7)));
        SimulatedDevice& wired = AddDevice(5);
        SimulatedDevice& usb = AddDevice(6);
        // Its first board's session hears another model (the slot's own
        // Connect was the first).
        QVERIFY(usb.AddFault(QStringLiteral("connect#2:wrongmodel")));
        BoardCycleSettings fixture;
        fixture.ArriveMs = 300;
        fixture.DwellMs = 1500;
        fixture.NextMs = 800;
        fixture.AfterGo = BoardCycleSettings::App::Silent;
        BoardCycle wiredBoards(wired, fixture);
        fixture.ArriveMs = 900;
        fixture.AfterGo = BoardCycleSettings::App::Printing;
        fixture.Unplug = true;
        BoardCycle usbBoards(usb, fixture);
        wiredBoards.Start();
        usbBoards.Start();
        const QString log = Folder->filePath("station.jsonl");
        bool typed = false;
        const CliRun run =
            Run({"station", "--port", "COM5", "--port", "COM6", "--folder", Folder->path(),
                 "--json", "--log", log, "--leave", "1", "--stop-after", "4", "--unit", "COM6=U-1",
                 "--trace", Folder->filePath("traces")},
                [&](QProcess& process, const QByteArray&) {
                    if (!typed) {
                        typed = true;
                        process.write("COM5 SN-7\nCOM9 SN-8\n");
                    }
                });
        QVERIFY2(!run.TimedOut && !run.Crashed, run.Err.constData());
        QCOMPARE(run.Exit, 1);
        for (const QString port : {"COM5", "COM6"}) {
            QStringList road;
            for (const QJsonObject& event : run.EventsOf(port)) {
                const QString what = event.value("event").toString();
                if (what == "arrived" || what == "result") {
                    road << QStringLiteral("%1 %2 %3")
                                .arg(what)
                                .arg(event.value("board").toInt())
                                .arg(event.value("unit").toString())
                                .trimmed();
                }
            }
            QCOMPARE(road.join(", "), QStringLiteral("arrived 1 %1, result 1, arrived 2, result 2")
                                          .arg(port == "COM5" ? "SN-7" : "U-1"));
        }
        bool namesNoSlot = false;
        for (const QJsonObject& event : run.Events()) {
            namesNoSlot =
                namesNoSlot ||
                (event.value("event") == "warning" &&
                 event.value("message").toString().startsWith("\"COM9\" names no slot"));
        }
        QVERIFY(namesNoSlot);
        QCOMPARE(wired.Counters().ApplicationStarts, 2);
        QCOMPARE(usb.Counters().ApplicationStarts, 1);
        const QJsonObject summary = run.Events().last();
        QCOMPARE(summary.value("event").toString(), QStringLiteral("summary"));
        QCOMPARE(summary.value("station").toObject().value("passed").toInt(), 3);
        QCOMPARE(summary.value("station").toObject().value("endings").toObject(),
                 (QJsonObject{{"success", 3}, {"model-error", 1}}));
        QCOMPARE(summary.value("slots").toObject().value("COM6").toObject().value("boards").toInt(),
                 2);
        QStringList records;
        for (const QByteArray& line : ReadFile(log).trimmed().split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            records << QStringLiteral("%1 %2 %3 %4 %5")
                           .arg(record.value("port").toString(), record.value("record").toString())
                           .arg(record.value("board").toInt())
                           .arg(record.value("unit").toString(), record.value("ending").toString());
        }
        records.sort();
        QCOMPARE(records, (QStringList{"COM5 result 1 SN-7 success", "COM5 result 2  success",
                                       "COM5 start 1 SN-7 ", "COM5 start 2  ",
                                       "COM6 result 1 U-1 model-error", "COM6 result 2  success",
                                       "COM6 start 1 U-1 ", "COM6 start 2  "}));
        QStringList traces = QDir(Folder->filePath("traces")).entryList(QDir::Files);
        traces.sort();
        QCOMPARE(traces,
                 (QStringList{"COM5-1.trace", "COM5-2.trace", "COM6-1.trace", "COM6-2.trace"}));

        // A station whose every board passed ends with 0.
        const CliRun clean =
            Run({"station", "--port", "COM5", "--folder", Folder->path(), "--json", "--leave", "1",
                 "--stop-after", "1", "--log", Folder->filePath("clean.jsonl")});
        QVERIFY2(!clean.TimedOut && !clean.Crashed, clean.Err.constData());
        QCOMPARE(clean.Exit, 0);

        // Ctrl-C while a slow board is being flashed.
        wired.SetLineTiming(true);
        bool sent = false;
        const CliRun cut = Run({"station", "--port", "COM5", "--folder", Folder->path(), "--json"},
                               [&](QProcess& process, const QByteArray& out) {
                                   if (!sent && out.contains("\"arrived\"")) {
                                       sent = true;
                                       QTimer::singleShot(300, [&process] {
                                           ::kill(static_cast<pid_t>(process.processId()), SIGINT);
                                       });
                                   }
                               });
        QVERIFY2(!cut.TimedOut && !cut.Crashed && sent, cut.Err.constData());
        QCOMPARE(cut.Exit, 130);
        QStringList endings;
        for (const QJsonObject& event : cut.EventsOf("COM5")) {
            if (event.value("event") == "result") {
                endings << event.value("ending").toString();
            }
        }
        QCOMPARE(endings, QStringList{"interrupted"});
        QCOMPARE(cut.Events().last().value("exit").toInt(), 130);
    }

    // With no --port the stored port of the program folder's vendor is used,
    // and without a terminal each tenth of the transfer gives one line.
    void storedPortFromTheProgramFolder() {
        QFile::copy(QStringLiteral(FWLOADER_CLI_PATH), Folder->filePath("fwloader-cli"));
        QFile(Folder->filePath("fwloader-cli"))
            .setPermissions(QFileDevice::ExeOwner | QFileDevice::ReadOwner);
        Put("Board_3.4.hex", HexFile(0x2000, RandomBytes(0x1000, 5)));
        QDir().mkpath(Root->filePath("SoftWare/Vendor"));
        QFile stored(Root->filePath("SoftWare/Vendor/Update.reg"));
        QVERIFY(stored.open(QIODevice::WriteOnly));
        stored.write("\"ComPort\"=\"6\"\n");
        stored.close();
        AddDevice(5);
        SimulatedDevice& six = AddDevice(6);

        const CliRun run = Run({"update"}, {}, Folder->filePath("fwloader-cli"));

        QVERIFY2(!run.TimedOut && !run.Crashed, run.Err.constData());
        QCOMPARE(run.Exit, 0);
        QCOMPARE(six.LastConnect(), QByteArray::fromHex("55820102030304d0"));
        const QStringList lines = QString::fromUtf8(run.Out).trimmed().split('\n');
        QCOMPARE(lines.size(), 12);  // start, ten tenths, result
        QVERIFY(lines.first().startsWith("COM6  update on "));
        for (int tenth = 1; tenth <= 10; ++tenth) {
            const QStringList fields = lines[tenth].simplified().split(' ');
            QCOMPARE(fields[0], QStringLiteral("COM6"));
            const int percent = fields[1].chopped(1).toInt();
            QVERIFY2(percent >= tenth * 10 && percent < tenth * 10 + 10, qPrintable(lines[tenth]));
        }
        QVERIFY(lines.last().startsWith("COM6  success "));
        QVERIFY(lines.last().endsWith(": Successful"));
    }

    // The probe lists what opens, with the device behind each, and the
    // program needs neither a display nor the widget libraries.
    void portsWithoutDisplayOrWidgets() {
        SimulatedDevice& two = AddDevice(2);
        SimulatedDevice& nine = AddDevice(9);
        for (int n = 1; n <= 99; ++n) {
            if (n != 2 && n != 9) {
                QFile::link("/nonexistent/fwloader-test",
                            Root->filePath(QStringLiteral("dosdevices/com%1").arg(n)));
            }
        }
        const CliRun listed = Run({"ports", "--json"});
        QCOMPARE(listed.Exit, 0);
        QCOMPARE(listed.EventsOf("COM2").value(0).value("device").toString(), two.TerminalPath());
        QCOMPARE(listed.EventsOf("COM9").value(0).value("device").toString(), nine.TerminalPath());

        const CliRun run = Run({"ports", "--probe", "--json"});
        QCOMPARE(run.Exit, 0);
        const QList<QJsonObject> events = run.Events();
        QCOMPARE(events.size(), 3);
        QCOMPARE(events[0].value("port").toString(), QStringLiteral("COM2"));
        QCOMPARE(events[0].value("device").toString(), two.TerminalPath());
        QCOMPARE(events[1].value("port").toString(), QStringLiteral("COM9"));
        QCOMPARE(events[1].value("device").toString(), nine.TerminalPath());
        QCOMPARE(events[2].value("ports").toInt(), 2);

        const QString readelf = QStandardPaths::findExecutable("readelf");
        if (readelf.isEmpty()) {
            QSKIP("readelf is not installed: the linked libraries are not checked");
        }
        QProcess elf;
        elf.start(readelf, {"-d", QStringLiteral(FWLOADER_CLI_PATH)});
        QVERIFY(elf.waitForFinished(10000));
        const QByteArray needed = elf.readAllStandardOutput();
        QVERIFY(needed.contains("libQt6Core"));
        QVERIFY(needed.contains("libQt6SerialPort"));
        QVERIFY2(!needed.contains("libQt6Gui") && !needed.contains("libQt6Widgets"),
                 needed.constData());
    }
};

QTEST_GUILESS_MAIN(CliOverWireTest)
#include "tst_CliOverWire.moc"
