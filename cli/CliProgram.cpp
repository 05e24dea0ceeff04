#include "CliProgram.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "CliOptions.h"
#include "ComPortMap.h"
#include "Configuration.h"
#include "FirmwareFile.h"
#include "Gang.h"
#include "IntelHexWriter.h"
#include "PortName.h"
#include "PortSelection.h"
#include "QtPlatform.h"
#include "SystemSerialPort.h"

namespace {

constexpr int ReadLowest = 0;
constexpr int ReadHighest = 0x7FFF;
constexpr int LiveRefreshMs = 200;

QString ModelText(const ProcessState& state) {
    return QStringLiteral("%1:%2:%3")
        .arg(state.ModelId[0])
        .arg(state.ModelId[1])
        .arg(state.ModelId[2]);
}

// Everything a session needs, checked before any port is touched.
struct Plan {
    ProcessState Base;
    QList<PortTarget> Targets;
    QString FirmwarePath;
    QString Problem;  // why nothing may be sent
    QString ProblemPort;
};

// Config.txt, the model bytes and the ports: shared by update and read.
void PlanPorts(const CliOptions& options, FileSystem& files, Plan& plan) {
    const QString folder = options.Folder.isEmpty() ? ProgramFolder() : options.Folder;
    if (!options.Folder.isEmpty() && !QFileInfo(folder).isDir()) {
        plan.Problem = QStringLiteral("%1 is not a folder").arg(folder);
        return;
    }
    // The model bytes and the settings key come from Config.txt unless both
    // are given on the command line.
    if (options.Model.isEmpty() || options.Ports.isEmpty()) {
        const QString problem = LoadConfiguration(files, folder, plan.Base);
        if (!problem.isEmpty()) {
            plan.Problem = problem;
            return;
        }
    }
    if (!options.Model.isEmpty()) {
        const QString problem = ParseModelText(options.Model, plan.Base.ModelId);
        if (!problem.isEmpty()) {
            plan.Problem = QStringLiteral("--model %1: %2").arg(options.Model, problem);
            return;
        }
    }
    QString error;
    if (options.Ports.isEmpty()) {
        const std::unique_ptr<KeyValueBackend> store = MakeSystemKeyValueBackend();
        LoadStoredComPort(*store, plan.Base);
        PortTarget target;
        if (!ResolvePortNumber(plan.Base.ComPortNumber, target, error)) {
            plan.Problem = QStringLiteral("the port stored under %1: %2")
                               .arg(plan.Base.SettingsKeyPath, error);
            return;
        }
        plan.Targets << target;
    }
    for (const QString& name : options.Ports) {
        PortTarget target;
        if (!ResolvePortName(name, target, error)) {
            plan.Problem = error;
            plan.ProblemPort = name;
            return;
        }
        plan.Targets << target;
    }
    plan.Problem = FindSharedDevice(plan.Targets);
}

void PlanFirmware(const CliOptions& options, FileSystem& files, Plan& plan) {
    const QString folder = options.Folder.isEmpty() ? ProgramFolder() : options.Folder;
    const FirmwareLoad load = options.File.isEmpty()
                                  ? LoadFirmwareFromFolder(files, folder, plan.Base)
                                  : LoadFirmwareFile(files, options.File, plan.Base);
    if (!load.Ok()) {
        plan.Problem =
            QStringLiteral("%1: %2 (%3)")
                .arg(load.Path.isEmpty() ? folder : load.Path, load.Message(), load.Detail);
        return;
    }
    plan.FirmwarePath = QDir::cleanPath(QFileInfo(load.Path).absoluteFilePath());
    if (!options.Version.isEmpty() &&
        !ParseVersionText(options.Version, plan.Base.FirmwareVersion)) {
        plan.Problem = QStringLiteral(
                           "--version takes MAJOR.MINOR, each a whole number from 0 to 255, not "
                           "\"%1\"")
                           .arg(options.Version);
    }
}

// Opens one trace file per port; false with the reason when one cannot be.
bool OpenTraces(const QString& folder, const QList<PortTarget>& targets,
                std::vector<std::FILE*>& files, QString& error) {
    files.assign(targets.size(), nullptr);
    if (folder.isEmpty()) {
        return true;
    }
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("--trace: cannot make the folder %1").arg(folder);
        return false;
    }
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const QString path = QDir(folder).filePath(TraceFileName(targets[i].Label));
        files[i] = std::fopen(QFile::encodeName(path).constData(), "w");
        if (!files[i]) {
            error = QStringLiteral("--trace: cannot write %1").arg(path);
            for (std::FILE* file : files) {
                if (file) {
                    std::fclose(file);
                }
            }
            files.assign(targets.size(), nullptr);
            return false;
        }
    }
    return true;
}

int RunSessions(const CliOptions& options, Console& console) {
    const bool update = options.Which == CliOptions::Command::Update;
    std::unique_ptr<Reporter> reporter;
    if (options.Json) {
        reporter = std::make_unique<JsonReporter>(console);
    } else {
        reporter = std::make_unique<HumanReporter>(console, options.Quiet);
    }
    auto badInput = [&](const QString& port, const QString& text) {
        reporter->Error(port, text);
        reporter->Summary(ExitBadInput);
        return ExitBadInput;
    };

    // Ctrl-C and SIGTERM: from here on they end the sessions, not the process.
    bool interrupted = false;
    Gang* running = nullptr;
    OnTerminationSignals([&] {
        interrupted = true;
        if (running) {
            running->Interrupt();
        }
    });

    QtFileSystem files;
    Plan plan;
    plan.Base.EnglishUi = true;  // the window's texts are the English ones where there are two
    plan.Base.AppTitle = QStringLiteral("Update");
    PlanPorts(options, files, plan);
    if (plan.Problem.isEmpty()) {
        if (update) {
            PlanFirmware(options, files, plan);
        } else {
            plan.Base.ImageLowestAddress = ReadLowest;
            plan.Base.ImageHighestAddress = ReadHighest;
            const QFileInfo output(options.Output);
            if (!output.absoluteDir().exists()) {
                plan.Problem = QStringLiteral("--output: the folder %1 does not exist")
                                   .arg(output.absolutePath());
            } else if (output.isDir()) {
                plan.Problem = QStringLiteral("--output: %1 is a folder").arg(options.Output);
            }
        }
    }
    if (!plan.Problem.isEmpty()) {
        OnTerminationSignals({});
        return badInput(plan.ProblemPort, plan.Problem);
    }
    std::vector<std::FILE*> traces;
    QString traceError;
    if (!OpenTraces(options.TraceDir, plan.Targets, traces, traceError)) {
        OnTerminationSignals({});
        return badInput({}, traceError);
    }

    // One job per port, each with its own copy of the image and the values.
    std::vector<PortJob> jobs;
    std::vector<PortStart> starts;
    const QString format = options.BinaryOutput ? QStringLiteral("bin") : QStringLiteral("hex");
    for (qsizetype i = 0; i < plan.Targets.size(); ++i) {
        const PortTarget& target = plan.Targets[i];
        PortJob job;
        job.Label = target.Label;
        job.Number = target.Number;
        job.DevicePath = target.DevicePath;
        job.State = std::make_shared<ProcessState>(plan.Base);
        job.State->ComPortNumber = target.Number;
        job.State->SessionModeUpdate = update;
        job.State->SessionModeReadFirmware = !update;
        job.Retries = options.Retries;
        job.SuccessText = update ? QStringLiteral("Successful") : QStringLiteral("读取成功");
        job.Trace = traces[i];
        jobs.push_back(std::move(job));

        PortStart start{target.Label,
                        update ? QStringLiteral("update") : QStringLiteral("read"),
                        target.Device,
                        {}};
        start.Details.insert("model", ModelText(plan.Base));
        if (update) {
            start.Details.insert("file", plan.FirmwarePath);
            start.Details.insert("version", QStringLiteral("%1.%2")
                                                .arg(plan.Base.FirmwareVersion.Major)
                                                .arg(plan.Base.FirmwareVersion.Minor));
            start.Details.insert("low", plan.Base.ImageLowestAddress);
            start.Details.insert("high", plan.Base.ImageHighestAddress);
        } else {
            start.Details.insert("output", options.Output);
            start.Details.insert("format", format);
        }
        starts.push_back(start);
    }

    Gang gang(std::move(jobs));
    running = &gang;
    bool allOk = true;
    QObject::connect(&gang, &Gang::PortProgress, &gang,
                     [&](int index, double fraction, int address) {
                         reporter->Progress(index, fraction, address);
                     });
    QObject::connect(&gang, &Gang::PortQuestion, &gang,
                     [&](int index, const QString& text, bool retried) {
                         reporter->Question(index, text, retried);
                     });
    QObject::connect(&gang, &Gang::PortFinished, &gang, [&](int index, PortResult result) {
        bool ok = result.Ending == PortEnding::Success;
        if (ok && !update) {
            // The read succeeded: save what it brought.
            const ProcessState& state = *gang.Job(index).State;
            const QByteArray bytes =
                options.BinaryOutput
                    ? QByteArray(reinterpret_cast<const char*>(state.FirmwareImage.data()),
                                 ReadHighest + 1)
                    : BuildSaveFile(state);
            const QString error = files.WriteFileWhole(options.Output, bytes);
            if (!error.isEmpty()) {
                ok = false;
                result.Message = QStringLiteral("cannot write %1: %2").arg(options.Output, error);
                reporter->Error(gang.Job(index).Label, result.Message);
            }
        }
        if (result.TraceFailed) {
            reporter->Error(gang.Job(index).Label,
                            QStringLiteral("the trace file could not be written whole"));
        }
        allOk = allOk && ok;
        reporter->Finished(index, result, ok);
    });

    QEventLoop loop;
    bool allFinished = false;
    QObject::connect(&gang, &Gang::AllFinished, &loop, [&] {
        allFinished = true;
        loop.quit();
    });
    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, &loop, [&] { reporter->Tick(); });
    refresh.start(LiveRefreshMs);
    reporter->Started(starts);
    gang.Start();
    if (interrupted) {
        gang.Interrupt();
    }
    if (!allFinished) {
        loop.exec();
    }
    refresh.stop();
    running = nullptr;
    OnTerminationSignals({});

    const int status = interrupted ? ExitInterrupted : allOk ? ExitAllSucceeded : ExitSomeFailed;
    reporter->Summary(status);
    return status;
}

int ListPorts(const CliOptions& options, Console& console) {
    SystemSerialPort probe;
    const QList<ProbedPort> opened = ProbeComPorts(probe, PortSelection::HighestPort);
    int listed = 0;
    for (const ProbedPort& port : opened) {
        const QString name = ComPortDeviceName(port.Number);
        const QString device = QFileInfo(name).canonicalFilePath();
        const QString label = PortSelection::EntryText(port.Number);
        if (options.Json) {
            const QJsonObject object{{"port", label},
                                     {"event", "port"},
                                     {"device", device.isEmpty() ? name : device},
                                     {"name", name}};
            console.Out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) +
                        u'\n');
        } else {
            console.Out(QStringLiteral("%1  %2\n")
                            .arg(label.leftJustified(5),
                                 device.isEmpty() || device == name
                                     ? name
                                     : QStringLiteral("%1 -> %2").arg(name, device)));
        }
        ++listed;
    }
    if (options.Json) {
        const QJsonObject summary{{"event", "summary"}, {"ports", listed}};
        console.Out(QString::fromUtf8(QJsonDocument(summary).toJson(QJsonDocument::Compact)) +
                    u'\n');
    } else if (listed == 0) {
        console.Out(QStringLiteral("no COM port from 1 to 99 opens\n"));
    }
    return ExitAllSucceeded;
}

}  // namespace

QString TraceFileName(const QString& label) {
    QString name;
    for (const QChar c : label) {
        name += (c.isLetterOrNumber() || c == u'-' || c == u'.') ? c : QChar(u'_');
    }
    while (name.startsWith(u'_')) {
        name.remove(0, 1);
    }
    return (name.isEmpty() ? QStringLiteral("port") : name) + QStringLiteral(".trace");
}

int RunCli(const QStringList& arguments, Console& console) {
    const CliParse parse = ParseCliArguments(arguments);
    if (!parse.Error.isEmpty()) {
        console.Err(QStringLiteral("fwloader-cli: %1\n").arg(parse.Error));
        return ExitBadInput;
    }
    if (!parse.Text.isEmpty()) {
        console.Out(parse.Text);
        return ExitAllSucceeded;
    }
    if (parse.Options.Which == CliOptions::Command::Ports) {
        return ListPorts(parse.Options, console);
    }
    return RunSessions(parse.Options, console);
}
