#include "CliPlan.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <algorithm>
#include <memory>

#include "Configuration.h"
#include "DeviceNames.h"
#include "FirmwareFile.h"
#include "KeyValueBackend.h"
#include "QtPlatform.h"

namespace {

constexpr int ReadLowest = 0;
constexpr int ReadHighest = 0x7FFF;
constexpr int ModelParts = 3;

// Keeps the SHA-256 of every file read through it: the record of an Update
// names the bytes that were loaded, not what the file holds later.
class HashingFiles : public FileSystem {
public:
    explicit HashingFiles(FileSystem& inner) : Inner(inner) {}
    ReadResult ReadFile(const QString& path) override {
        ReadResult result = Inner.ReadFile(path);
        if (result.Ok) {
            Hashes.insert(
                path,
                QString::fromLatin1(
                    QCryptographicHash::hash(result.Bytes, QCryptographicHash::Sha256).toHex()));
        }
        return result;
    }
    QString WriteFileWhole(const QString& path, const QByteArray& bytes) override {
        return Inner.WriteFileWhole(path, bytes);
    }
    QString ProblemWriting(const QString& path) override { return Inner.ProblemWriting(path); }
    QStringList ListFiles(const QString& folder, const QString& pattern) override {
        return Inner.ListFiles(folder, pattern);
    }
    QMap<QString, QString> Hashes;

private:
    FileSystem& Inner;
};

// The name gives both version bytes: what it leaves untouched shows when two
// different starting values come out different.
bool NameGivesVersion(const QString& fileName) {
    FirmwareVersionBytes zero{0, 0};
    FirmwareVersionBytes one{1, 1};
    TakeVersionFromName(fileName, zero);
    TakeVersionFromName(fileName, one);
    return zero.Major == one.Major && zero.Minor == one.Minor;
}

QString Folder(const CliOptions& options) {
    return options.Folder.isEmpty() ? ProgramFolder() : options.Folder;
}

// Config.txt, the model bytes and the ports: shared by update and read.
void PlanPorts(const CliOptions& options, FileSystem& files, const SystemRoots& roots, Plan& plan) {
    const QString folder = Folder(options);
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
        QString problem = ParseModelText(options.Model, plan.Base.ModelId);
        if (problem.isEmpty() && options.Model.split(u':').size() != ModelParts) {
            problem = QStringLiteral("a model is exactly three bytes A:B:C");
        }
        if (!problem.isEmpty()) {
            plan.Problem = QStringLiteral("--model %1: %2").arg(options.Model, problem);
            return;
        }
    }
    QList<PortTarget> targets;
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
        targets << target;
    }
    // A station's slot may be empty at its start: its adapter comes with
    // the board.
    const bool station = options.Which == CliOptions::Command::Station;
    for (const QString& name : options.Ports) {
        PortTarget target;
        if (!ResolvePortName(name, target, error, station)) {
            plan.Problem = error;
            plan.ProblemPort = name;
            return;
        }
        targets << target;
    }
    plan.Problem = FindSharedDevice(targets);
    if (!plan.Problem.isEmpty()) {
        return;
    }
    // Each port must be a serial device now: a missing adapter, a file or
    // a folder given by mistake stops the run before any port is touched.
    for (const PortTarget& target : targets) {
        const QString problem = SerialDeviceProblem(target.Device, roots);
        const bool absent = station && !QFileInfo(target.Device).exists();
        if (!problem.isEmpty() && !absent) {
            plan.Problem = QStringLiteral("%1 %2").arg(target.Device, problem);
            plan.ProblemPort = target.Label;
            return;
        }
        PlannedPort port;
        port.Target = target;
        const QString canonical = QFileInfo(target.Device).canonicalFilePath();
        port.Device = canonical.isEmpty() ? target.Device : canonical;
        port.Usb = UsbIdentityOf(port.Device, roots);
        plan.Ports << port;
    }
}

// The units of --unit, each given to the planned port its PORT names.
void PlanUnits(const CliOptions& options, Plan& plan) {
    for (const QString& unit : options.Units) {
        const qsizetype equals = unit.indexOf(u'=');
        const QString name = unit.left(equals);
        PortTarget target;
        QString error;
        auto port = plan.Ports.end();
        if (ResolvePortName(name, target, error)) {
            const QString canonical = QFileInfo(target.Device).canonicalFilePath();
            port = std::find_if(plan.Ports.begin(), plan.Ports.end(), [&](const PlannedPort& p) {
                return p.Device == (canonical.isEmpty() ? target.Device : canonical);
            });
        }
        if (port == plan.Ports.end()) {
            plan.Problem =
                QStringLiteral("--unit %1: %2 is not one of the ports of this run").arg(unit, name);
            return;
        }
        if (!port->Unit.isEmpty()) {
            plan.Problem = QStringLiteral("--unit: %1 is given two units").arg(name);
            return;
        }
        port->Unit = unit.mid(equals + 1);
    }
}

// The SHA-256 hashes of --expect-sha256: each value is a hash itself, or a
// file with one a line (the first word; "sha256sum" output, # comments).
bool ExpectedHashes(const CliOptions& options, FileSystem& files, QStringList& hashes,
                    QString& problem) {
    static const QRegularExpression hash(QStringLiteral("^[0-9a-fA-F]{64}$"));
    for (const QString& value : options.ExpectSha256) {
        if (hash.match(value).hasMatch()) {
            hashes << value.toLower();
            continue;
        }
        const FileSystem::ReadResult read = files.ReadFile(value);
        if (!read.Ok) {
            problem = QStringLiteral(
                          "--expect-sha256 %1: neither a SHA-256 of 64 hex digits "
                          "nor a file that can be read (%2)")
                          .arg(value, read.Error);
            return false;
        }
        int lineNumber = 0;
        for (const QByteArray& line : read.Bytes.split('\n')) {
            ++lineNumber;
            const QString text = QString::fromUtf8(line).trimmed();
            if (text.isEmpty() || text.startsWith(u'#')) {
                continue;
            }
            const QString first = text.section(QRegularExpression(QStringLiteral("\\s+")), 0, 0);
            if (!hash.match(first).hasMatch()) {
                problem = QStringLiteral(
                              "--expect-sha256 %1, line %2: not a SHA-256 of 64 hex "
                              "digits")
                              .arg(value)
                              .arg(lineNumber);
                return false;
            }
            hashes << first.toLower();
        }
    }
    return true;
}

void PlanFirmware(const CliOptions& options, FileSystem& files, Plan& plan) {
    const QString folder = Folder(options);
    HashingFiles hashing(files);
    const FirmwareLoad load = options.File.isEmpty()
                                  ? LoadFirmwareFromFolder(hashing, folder, plan.Base)
                                  : LoadFirmwareFile(hashing, options.File, plan.Base);
    if (!load.Ok()) {
        plan.Problem =
            QStringLiteral("%1: %2 (%3)")
                .arg(load.Path.isEmpty() ? folder : load.Path, load.Message(), load.Detail);
        return;
    }
    plan.FirmwarePath = QDir::cleanPath(QFileInfo(load.Path).absoluteFilePath());
    plan.FirmwareSha256 = hashing.Hashes.value(load.Path);
    QStringList allowed;
    if (!ExpectedHashes(options, files, allowed, plan.Problem)) {
        return;
    }
    if (!options.ExpectSha256.isEmpty() && !allowed.contains(plan.FirmwareSha256)) {
        plan.Problem = QStringLiteral("%1: its SHA-256 %2 is not one that --expect-sha256 allows")
                           .arg(plan.FirmwarePath, plan.FirmwareSha256);
        return;
    }
    if (options.Version.isEmpty()) {
        if (!NameGivesVersion(load.FileName)) {
            plan.Problem = QStringLiteral(
                               "%1: the file name gives no firmware version (MAJOR.MINOR after "
                               "its last \"_\", as in Board_2.15.hex); give --version MAJOR.MINOR")
                               .arg(load.FileName);
        }
    } else if (!ParseVersionText(options.Version, plan.Base.FirmwareVersion)) {
        plan.Problem = QStringLiteral(
                           "--version takes MAJOR.MINOR, each a whole number from 0 to 255, not "
                           "\"%1\"")
                           .arg(options.Version);
    }
}

void PlanOutput(const CliOptions& options, FileSystem& files, Plan& plan) {
    plan.Base.ImageLowestAddress = ReadLowest;
    plan.Base.ImageHighestAddress = ReadHighest;
    if (QFileInfo(options.Output).isDir()) {
        plan.Problem = QStringLiteral("--output: %1 is a folder").arg(options.Output);
        return;
    }
    const QString problem = files.ProblemWriting(options.Output);
    if (!problem.isEmpty()) {
        plan.Problem =
            QStringLiteral("--output: %1 cannot be written: %2").arg(options.Output, problem);
    }
    plan.OutputPath = QDir::cleanPath(QFileInfo(options.Output).absoluteFilePath());
}

}  // namespace

QString ModelText(const ProcessState& state) {
    return QStringLiteral("%1:%2:%3")
        .arg(state.ModelId[0])
        .arg(state.ModelId[1])
        .arg(state.ModelId[2]);
}

Plan MakePlan(const CliOptions& options, FileSystem& files, const SystemRoots& roots) {
    const bool update = options.Which == CliOptions::Command::Update ||
                        options.Which == CliOptions::Command::Station;
    Plan plan;
    plan.Base.EnglishUi = true;  // the window's texts are the English ones where there are two
    plan.Base.AppTitle = QStringLiteral("Update");
    plan.Base.SessionModeUpdate = update;
    plan.Base.SessionModeReadFirmware = !update;
    PlanPorts(options, files, roots, plan);
    if (plan.Problem.isEmpty()) {
        PlanUnits(options, plan);
    }
    if (!plan.Problem.isEmpty()) {
        return plan;
    }
#ifdef _WIN32
    // A record or a read's bytes written to a port or a printer would be lost.
    plan.Problem = DeviceFileProblem(QStringLiteral("--log"), options.LogFile);
    if (plan.Problem.isEmpty() && !update) {
        plan.Problem = DeviceFileProblem(QStringLiteral("--output"), options.Output);
    }
    if (!plan.Problem.isEmpty()) {
        return plan;
    }
#endif
    if (update) {
        PlanFirmware(options, files, plan);
    } else {
        PlanOutput(options, files, plan);
    }
    if (!plan.Problem.isEmpty()) {
        return plan;
    }
    plan.TimeoutSeconds =
        options.TimeoutSeconds >= 0
            ? options.TimeoutSeconds
            : DefaultTimeoutSeconds(update, plan.Base.ImageLowestAddress,
                                    plan.Base.ImageHighestAddress, options.Retries, options.Verify);
    QStringList devices;
    for (const PlannedPort& port : plan.Ports) {
        devices << port.Device;
    }
    plan.Warnings = StationWarnings(devices, roots);
    return plan;
}
