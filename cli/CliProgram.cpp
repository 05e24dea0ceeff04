#include "CliProgram.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>
#include <QTimer>
#include <QUuid>
#include <cstdio>
#include <memory>

#include "CliOptions.h"
#include "CliPlan.h"
#include "Configuration.h"
#include "DeviceNames.h"
#include "Gang.h"
#include "IntelHexWriter.h"
#include "KeyValueBackend.h"
#include "LogWriter.h"
#include "PortList.h"
#include "QtPlatform.h"
#include "StationRun.h"
#include "SystemConsole.h"
#include "UnitRecord.h"

namespace {

constexpr int ReadHighest = 0x7FFF;
constexpr int LiveRefreshMs = 200;

// Opens one trace file per port; false with the reason when one cannot be.
bool OpenTraces(const QString& folder, const QList<PlannedPort>& ports,
                std::vector<std::FILE*>& files, QString& error) {
    files.assign(ports.size(), nullptr);
    if (folder.isEmpty()) {
        return true;
    }
    if (!QDir().mkpath(folder)) {
        error = QStringLiteral("--trace: cannot make the folder %1").arg(folder);
        return false;
    }
    for (qsizetype i = 0; i < ports.size(); ++i) {
        const QString path = QDir(folder).filePath(TraceFileName(ports[i].Target.Label));
        files[i] = OpenTrace(path);
        if (!files[i]) {
            error = QStringLiteral("--trace: cannot write %1").arg(path);
            for (std::FILE* file : files) {
                if (file) {
                    std::fclose(file);
                }
            }
            files.assign(ports.size(), nullptr);
            return false;
        }
    }
    return true;
}

// Saves what a read brought. When output cannot be written after all, the
// bytes go to a file beside it (or, failing that, to the temporary folder)
// so that they are not lost; the text tells what happened, empty when the
// save succeeded.
QString SaveRead(FileSystem& files, const QString& output, const QByteArray& bytes) {
    const QString error = files.WriteFileWhole(output, bytes);
    if (error.isEmpty()) {
        return {};
    }
    const QString suffix = QStringLiteral(".unsaved-") + QDateTime::currentDateTimeUtc().toString(
                                                             QStringLiteral("yyyyMMddThhmmsszzzZ"));
    QString problem = QStringLiteral("cannot write %1: %2").arg(output, error);
    for (const QString& rescue :
         {output + suffix,
          QDir(QDir::tempPath()).filePath(QFileInfo(output).fileName() + suffix)}) {
        const QString failed = files.WriteFileWhole(rescue, bytes);
        if (failed.isEmpty()) {
            return problem + QStringLiteral("; the bytes read are in %1").arg(rescue);
        }
        problem += QStringLiteral("; nor %1: %2").arg(rescue, failed);
    }
    return problem;
}

PortStart StartOf(const Plan& plan, const PlannedPort& port, const CliOptions& options) {
    const bool update = options.Which == CliOptions::Command::Update;
    PortStart start{port.Target.Label,
                    update ? QStringLiteral("update") : QStringLiteral("read"),
                    port.Target.Device,
                    {}};
    start.Details.insert("model", ModelText(plan.Base));
    start.Details.insert("timeout", plan.TimeoutSeconds);
    if (update) {
        start.Details.insert("file", plan.FirmwarePath);
        start.Details.insert("version", QStringLiteral("%1.%2")
                                            .arg(plan.Base.FirmwareVersion.Major)
                                            .arg(plan.Base.FirmwareVersion.Minor));
        start.Details.insert("low", plan.Base.ImageLowestAddress);
        start.Details.insert("high", plan.Base.ImageHighestAddress);
    } else {
        start.Details.insert("output", plan.OutputPath);
        start.Details.insert("format", options.BinaryOutput ? "bin" : "hex");
    }
    return start;
}

int RunSessions(const CliOptions& options, Console& console) {
    const bool update = options.Which == CliOptions::Command::Update;
    const std::unique_ptr<Reporter> reporter = MakeReporter(options, console);

    // Ctrl-C, SIGTERM, SIGHUP: from here on the first ends the sessions, not
    // the process; a second Ctrl-C or SIGTERM ends the process at once.
    bool interrupted = false;
    Gang* running = nullptr;
    std::function<void()> alsoOnInterrupt;  // what a wait for the log adds
    WatchInterrupts(
        [&] {
            interrupted = true;
            if (running) {
                running->Interrupt();
            }
            if (alsoOnInterrupt) {
                alsoOnInterrupt();
            }
        },
        ExitInterrupted);
    auto badInput = [&](const QString& port, const QString& text) {
        return EndBadInput(*reporter, port, text);
    };

    const SystemRoots roots;
    QtFileSystem files;
    const Plan plan = MakePlan(options, files, roots);
    if (!plan.Problem.isEmpty()) {
        return badInput(plan.ProblemPort, plan.Problem);
    }
    LogWriter log;
    if (const QString problem = OpenRunLog(options, log); !problem.isEmpty()) {
        return badInput({}, problem);
    }
    std::vector<std::FILE*> traces;
    QString traceError;
    if (!OpenTraces(options.TraceDir, plan.Ports, traces, traceError)) {
        return badInput({}, traceError);
    }

    // One job per port, each with its own copy of the image and the values.
    std::vector<PortJob> jobs;
    std::vector<PortStart> starts;
    for (qsizetype i = 0; i < plan.Ports.size(); ++i) {
        const PlannedPort& port = plan.Ports[i];
        PortJob job;
        job.Label = port.Target.Label;
        job.Number = port.Target.Number;
        job.DevicePath = port.Target.DevicePath;
        job.State = std::make_shared<ProcessState>(plan.Base);
        job.State->ComPortNumber = port.Target.Number;
        job.Retries = options.Retries;
        job.SuccessText = update ? QStringLiteral("Successful") : QStringLiteral("读取成功");
        job.Trace = traces[i];
        job.TimeoutMs = plan.TimeoutSeconds * 1000;
        job.Verify = update && options.Verify;
        job.CheckOpenedPort = [device = port.Device, roots] {
            return LatencyWarning(device, roots);
        };
        jobs.push_back(std::move(job));
        starts.push_back(StartOf(plan, port, options));
    }

    RecordRun record =
        NewRecordRun(options, plan, update ? QStringLiteral("update") : QStringLiteral("read"));
    // Waits for the records given so far, serving signals meanwhile; false
    // when a new request to end came first.
    auto waitForLog = [&] {
        if (log.Pending() == 0) {
            return true;
        }
        QEventLoop wait;
        bool askedToEnd = false;
        QObject::connect(&log, &LogWriter::Idle, &wait, &QEventLoop::quit);
        alsoOnInterrupt = [&] {
            askedToEnd = true;
            wait.quit();
        };
        wait.exec();
        alsoOnInterrupt = {};
        return !askedToEnd;
    };

    // A start record for every unit before the first byte goes out: a crash
    // or a power loss still leaves evidence that the unit was touched.
    const QDateTime started = QDateTime::currentDateTimeUtc();
    if (log.IsOpen()) {
        QString startError;
        for (const PlannedPort& port : plan.Ports) {
            log.Append(StartRecord(record, port, started), [&](const QString& error) {
                startError = startError.isEmpty() ? error : startError;
            });
        }
        if (!waitForLog() || !startError.isEmpty()) {
            return badInput(
                {}, QStringLiteral("--log: cannot write the start records to %1: %2")
                        .arg(options.LogFile,
                             startError.isEmpty() ? QStringLiteral("interrupted") : startError));
        }
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
    QObject::connect(&gang, &Gang::PortWarning, &gang, [&](int index, const QString& text) {
        reporter->Warning(gang.Job(index).Label, text);
    });
    QObject::connect(&gang, &Gang::PortFinished, &gang, [&](int index, PortResult result) {
        const QString label = gang.Job(index).Label;
        QByteArray savedSha256;
        if (result.Ending == PortEnding::Success && !update) {
            // The read succeeded: save what it brought.
            const ProcessState& state = *gang.Job(index).State;
            const QByteArray bytes =
                options.BinaryOutput
                    ? QByteArray(reinterpret_cast<const char*>(state.FirmwareImage.data()),
                                 ReadHighest + 1)
                    : BuildSaveFile(state);
            const QString problem = SaveRead(files, options.Output, bytes);
            if (!problem.isEmpty()) {
                result.Ending = PortEnding::NotSaved;
                result.Detail = problem;
            }
            savedSha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
        }
        if (result.TraceFailed) {
            reporter->Error(label, QStringLiteral("the trace file could not be written whole"));
        }
        const QString saved = update || result.Ending != PortEnding::Success
                                  ? QString()
                                  : QString::fromLatin1(savedSha256.toHex());
        if (!log.IsOpen()) {
            allOk = allOk && result.Ending == PortEnding::Success;
            reporter->Finished(index, result);
            return;
        }
        // The record is on the disk before the result is told.
        const QByteArray line = ResultRecord(record, plan.Ports[index], result, started,
                                             QDateTime::currentDateTimeUtc(), saved);
        log.Append(line, [&, index, label, result](const QString& error) mutable {
            result.LogKept = true;
            result.Logged = error.isEmpty();
            if (!result.Logged) {
                reporter->Error(label, QStringLiteral("--log: the record of this session could "
                                                      "not be written to %1: %2")
                                           .arg(options.LogFile, error));
            }
            allOk = allOk && result.Logged && result.Ending == PortEnding::Success;
            reporter->Finished(index, result);
        });
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
    for (const QString& warning : plan.Warnings) {
        reporter->Warning({}, warning);
    }
    gang.Start();
    if (interrupted) {
        gang.Interrupt();
    }
    if (!allFinished) {
        loop.exec();
    }
    running = nullptr;
    // Every result is told once its record is written (or could not be).
    waitForLog();
    refresh.stop();

    const int status = interrupted ? ExitInterrupted : allOk ? ExitAllSucceeded : ExitSomeFailed;
    reporter->Summary(status);
    WatchInterrupts({}, ExitInterrupted);
    return status;
}

}  // namespace

std::unique_ptr<Reporter> MakeReporter(const CliOptions& options, Console& console) {
    if (options.Json) {
        return std::make_unique<JsonReporter>(console);
    }
    return std::make_unique<HumanReporter>(console, options.Quiet);
}

int EndBadInput(Reporter& reporter, const QString& port, const QString& text) {
    reporter.Error(port, text);
    reporter.Summary(ExitBadInput);
    WatchInterrupts({}, ExitInterrupted);
    return ExitBadInput;
}

QString OpenRunLog(const CliOptions& options, LogWriter& log) {
    if (options.LogFile.isEmpty()) {
        return {};
    }
    const QString error = log.Open(options.LogFile);
    if (error.isEmpty()) {
        return {};
    }
    return QStringLiteral("--log: cannot append to %1: %2").arg(options.LogFile, error);
}

RecordRun NewRecordRun(const CliOptions& options, const Plan& plan, const QString& command) {
    const QString host = QSysInfo::machineHostName();
    return RecordRun{QUuid::createUuid().toString(QUuid::WithoutBraces),
                     host,
                     options.Station.isEmpty() ? host : options.Station,
                     command,
                     &plan,
                     options.Fields};
}

std::FILE* OpenTrace(const QString& path) {
#ifdef _WIN32
    return std::fopen(QFile::encodeName(path).constData(), "w");
#else
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, O_WRONLY);
    std::FILE* file = ::fdopen(fd, "w");
    if (!file) {
        ::close(fd);
    }
    return file;
#endif
}

QString UndecodableArgument(const QList<QByteArray>& arguments) {
    for (const QByteArray& argument : arguments) {
        if (QFile::encodeName(QFile::decodeName(argument)) != argument) {
            return QStringLiteral(
                       "the argument \"%1\" is not text in the system's encoding; "
                       "a file name must be")
                .arg(QFile::decodeName(argument));
        }
    }
    return {};
}

QString TraceFileName(const QString& label) {
    QString name;
    for (const QChar c : label) {
        name += (c.isLetterOrNumber() || c == u'-' || c == u'.') ? c : QChar(u'_');
    }
    while (name.startsWith(u'_')) {
        name.remove(0, 1);
    }
    if (name.isEmpty()) {
        name = QStringLiteral("port");
    }
#ifdef _WIN32
    // COM7.trace would be the port COM7 itself, in any folder.
    if (IsDeviceFileName(name)) {
        name.insert(name.indexOf(u'.') < 0 ? name.size() : name.indexOf(u'.'),
                    QStringLiteral("-port"));
    }
#endif
    return name + QStringLiteral(".trace");
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
#ifdef _WIN32
        const QString storeRoot;  // COM ports are the system's own
#else
        const QString storeRoot = QString::fromLocal8Bit(PerMachineStoreRoot());
#endif
        return ListPorts(parse.Options, console, SystemRoots{}, storeRoot);
    }
    if (parse.Options.Which == CliOptions::Command::Station) {
        return RunStation(parse.Options, console);
    }
    return RunSessions(parse.Options, console);
}
