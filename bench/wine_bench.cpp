// The Windows build's fwloader-cli.exe under Wine beside the Linux build's
// fwloader-cli, run after each other against the same simulated device
// (line-timed at 19200 baud, on a thread of this bench), which is published
// as COMn of a Wine prefix: the Windows program opens \\.\COMn through the
// prefix's dosdevices link, the Linux program the same link through
// FWLOADER_STORE_ROOT.
//
//   wine_bench --windows-folder DIR [--wine WINE64] [--prefix DIR]
//              [--linux-cli PROGRAM] [--kib N] [--runs N]
//
// DIR is an installed Windows program folder (cmake --install build/windows
// --prefix DIR). For each run and each build: the Update's time as the
// device sees it (first request byte in to last reply byte out, so Wine's
// start-up is left out), the session's own time (its result line), the
// turnaround per exchange (from the last piece of a reply out of the device
// to the next request in, the pause after Connect left out) and the bytes
// each way; then the medians and the ratio Windows / Linux.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "BenchFigures.h"
#include "DeviceThread.h"
#include "SimulatedDevice.h"

namespace {

constexpr int Com = 41;  // above the ports that Wine maps to devices of this machine

// Intel HEX of image[0, size): 32-byte data records and the end record.
QByteArray HexFile(const QByteArray& image, int size) {
    QByteArray text;
    for (int address = 0; address < size; address += 32) {
        const int count = std::min(32, size - address);
        QByteArray record;
        record.append(static_cast<char>(count));
        record.append(static_cast<char>(address >> 8));
        record.append(static_cast<char>(address & 0xFF));
        record.append('\0');
        record.append(image.mid(address, count));
        quint8 sum = 0;
        for (const char byte : record) {
            sum = static_cast<quint8>(sum + static_cast<quint8>(byte));
        }
        record.append(static_cast<char>(-sum));
        text += ':' + record.toHex().toUpper() + "\r\n";
    }
    return text + ":00000001FF\r\n";
}

struct Sample {
    double DeviceSeconds = 0;   // first request byte in to last reply byte out
    double SessionSeconds = 0;  // the session's own figure
    double WallSeconds = 0;     // the program's start to its end
    std::vector<double> Gaps;   // turnaround per exchange, ms
    int BytesIn = 0, BytesOut = 0;
    bool Ok = false;
};

Sample RunOnce(DeviceThread& device, const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment, const QByteArray& image, int size) {
    device.Call([&] {
        device.Device->FillMemory(0x00);
        device.Device->ResetCounters();
        device.Stamps.clear();
        device.Stamps.reserve(16384);
    });
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    const auto start = DeviceThread::Clock::now();
    process.start(program, arguments);
    Sample sample;
    if (!process.waitForFinished(600000)) {
        std::fprintf(stderr, "wine_bench: %s did not end\n", qPrintable(program));
        process.kill();
        process.waitForFinished();
        return sample;
    }
    sample.WallSeconds = std::chrono::duration<double>(DeviceThread::Clock::now() - start).count();
    for (const QByteArray& line : process.readAllStandardOutput().split('\n')) {
        const QJsonObject result = QJsonDocument::fromJson(line).object();
        if (result.value(QStringLiteral("event")).toString() == QStringLiteral("result")) {
            sample.SessionSeconds = result.value(QStringLiteral("seconds")).toDouble();
            sample.Ok =
                result.value(QStringLiteral("ending")).toString() == QStringLiteral("success");
        }
    }
    QByteArray memory;
    device.Call([&] {
        memory = device.Device->Memory();
        const std::vector<DeviceThread::Stamp>& stamps = device.Stamps;
        if (!stamps.empty()) {
            sample.DeviceSeconds =
                std::chrono::duration<double>(stamps.back().Time - stamps.front().Time).count();
        }
        for (const DeviceThread::Stamp& stamp : stamps) {
            (stamp.In ? sample.BytesIn : sample.BytesOut) += stamp.Bytes;
        }
        sample.Gaps = DeviceThread::ReplyToRequestGaps(stamps);
    });
    if (process.exitCode() != 0 || !sample.Ok || memory.left(size) != image.left(size)) {
        std::fprintf(stderr, "wine_bench: %s: exit %d, the device %s the image\n%s",
                     qPrintable(program), process.exitCode(),
                     memory.left(size) == image.left(size) ? "holds" : "does not hold",
                     process.readAllStandardError().constData());
        sample.Ok = false;
    }
    return sample;
}

void Print(const char* build, int run, const Sample& s) {
    std::printf(
        "run %d %-7s device %7.3f s  session %7.3f s  wall %7.3f s  in %6d out %5d  "
        "turnaround ms median %.3f p95 %.3f max %.2f\n",
        run, build, s.DeviceSeconds, s.SessionSeconds, s.WallSeconds, s.BytesIn, s.BytesOut,
        Median(s.Gaps), Percentile(s.Gaps, 0.95), Max(s.Gaps));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each run's line as it ends
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The Windows build's Update under Wine beside the Linux build's."));
    parser.addHelpOption();
    const QCommandLineOption folderOption(
        QStringLiteral("windows-folder"),
        QStringLiteral("The installed Windows program folder (holds fwloader-cli.exe)."),
        QStringLiteral("dir"));
    const QCommandLineOption wineOption(QStringLiteral("wine"), QStringLiteral("Wine's loader."),
                                        QStringLiteral("program"),
                                        QStringLiteral("/usr/lib/wine/wine64"));
    const QCommandLineOption prefixOption(
        QStringLiteral("prefix"), QStringLiteral("The Wine prefix (made when missing)."),
        QStringLiteral("dir"), QStringLiteral("build/windows/wineprefix"));
    const QCommandLineOption linuxOption(
        QStringLiteral("linux-cli"), QStringLiteral("The Linux fwloader-cli (default: beside)."),
        QStringLiteral("program"));
    const QCommandLineOption kibOption(QStringLiteral("kib"),
                                       QStringLiteral("Firmware size in KiB (1 to 64)."),
                                       QStringLiteral("n"), QStringLiteral("16"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Runs of each build."), QStringLiteral("n"),
                                        QStringLiteral("3"));
    parser.addOptions({folderOption, wineOption, prefixOption, linuxOption, kibOption, runsOption});
    parser.process(app);
    const QString windowsCli =
        QDir(parser.value(folderOption)).absoluteFilePath(QStringLiteral("fwloader-cli.exe"));
    if (!parser.isSet(folderOption) || !QFileInfo::exists(windowsCli)) {
        std::fprintf(stderr,
                     "wine_bench: --windows-folder names no folder with fwloader-cli.exe\n");
        return 2;
    }
    const QString linuxCli = parser.isSet(linuxOption) ? parser.value(linuxOption)
                                                       : QCoreApplication::applicationDirPath() +
                                                             QStringLiteral("/fwloader-cli");
    const QString prefix = QDir(parser.value(prefixOption)).absolutePath();
    const int kib = std::clamp(parser.value(kibOption).toInt(), 1, 64);
    const int runs = std::max(1, parser.value(runsOption).toInt());
    const int size = kib * 1024;

    // The firmware folder: Config.txt and the image as HEX.
    QTemporaryDir folder;
    const QByteArray image = RandomBytes(size, 1);
    {
        QFile config(folder.filePath(QStringLiteral("Config.txt")));
        QFile hex(folder.filePath(QStringLiteral("firmware_1.3.hex")));
        if (!config.open(QIODevice::WriteOnly) || !hex.open(QIODevice::WriteOnly)) {
            return 2;
        }
        config.write("1:2:3\r\nwine_bench\r\nwine_bench\r\n");
        hex.write(HexFile(image, size));
    }

    DeviceThread device;
    device.Call([&] {
        device.Device->SetModel(1, 2, 3);
        device.Device->SetLineTiming(true);
        QString error;
        if (!device.Device->Start(&error) ||
            !device.Device->PublishAsComPort(Com, prefix, &error)) {
            std::fprintf(stderr, "wine_bench: COM%d: %s\n", Com, qPrintable(error));
            std::exit(1);
        }
    });

    QProcessEnvironment linuxEnv = QProcessEnvironment::systemEnvironment();
    linuxEnv.insert(QStringLiteral("FWLOADER_STORE_ROOT"), prefix);
    QProcessEnvironment wineEnv = QProcessEnvironment::systemEnvironment();
    wineEnv.insert(QStringLiteral("WINEPREFIX"), prefix);
    wineEnv.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    wineEnv.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
    wineEnv.remove(QStringLiteral("DISPLAY"));
    wineEnv.remove(QStringLiteral("WAYLAND_DISPLAY"));
    // The prefix's server stays between the runs, so that each run's start
    // is a program's start, not the prefix's.
    const QString wine = parser.value(wineOption);
    QProcess server;
    server.setProcessEnvironment(wineEnv);
    server.start(QFileInfo(wine).dir().filePath(QStringLiteral("wineserver")),
                 {QStringLiteral("-p60")});
    server.waitForFinished(60000);
    // Listed among the machine's serial ports, as a port driver lists its
    // ports (the list lasts as long as the prefix's server).
    QProcess listing;
    listing.setProcessEnvironment(wineEnv);
    listing.start(wine,
                  {QStringLiteral("reg"), QStringLiteral("add"),
                   QStringLiteral("HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"), QStringLiteral("/v"),
                   QStringLiteral("\\Device\\wine_bench"), QStringLiteral("/d"),
                   QStringLiteral("COM%1").arg(Com), QStringLiteral("/f")});
    listing.waitForFinished(60000);
    const QString windowsFolder =
        QStringLiteral("Z:") + QDir::toNativeSeparators(folder.path()).replace(u'/', u'\\');
    const QString port = QStringLiteral("COM%1").arg(Com);

    std::printf("Update of %d KiB at 19200 baud, line-timed device on %s; Windows build under %s\n",
                kib, qPrintable(port), qPrintable(wine));
    std::vector<double> linuxTimes, windowsTimes, linuxGaps, windowsGaps;
    bool ok = true;
    for (int run = 1; run <= runs; ++run) {
        const Sample onLinux =
            RunOnce(device, linuxCli,
                    {QStringLiteral("update"), QStringLiteral("--port"), port,
                     QStringLiteral("--folder"), folder.path(), QStringLiteral("--json")},
                    linuxEnv, image, size);
        Print("Linux", run, onLinux);
        const Sample onWine =
            RunOnce(device, wine,
                    {windowsCli, QStringLiteral("update"), QStringLiteral("--port"), port,
                     QStringLiteral("--folder"), windowsFolder, QStringLiteral("--json")},
                    wineEnv, image, size);
        Print("Windows", run, onWine);
        ok = ok && onLinux.Ok && onWine.Ok;
        linuxTimes.push_back(onLinux.DeviceSeconds);
        windowsTimes.push_back(onWine.DeviceSeconds);
        linuxGaps.insert(linuxGaps.end(), onLinux.Gaps.begin(), onLinux.Gaps.end());
        windowsGaps.insert(windowsGaps.end(), onWine.Gaps.begin(), onWine.Gaps.end());
    }
    const double linuxTime = Median(linuxTimes), windowsTime = Median(windowsTimes);
    std::printf(
        "median of %d: Linux %.3f s, Windows under Wine %.3f s: ratio %.4f (target: at most "
        "1.05)\nturnaround per exchange, ms: Linux median %.3f p95 %.3f, Windows under Wine "
        "median %.3f p95 %.3f\n",
        runs, linuxTime, windowsTime, windowsTime / linuxTime, Median(linuxGaps),
        Percentile(linuxGaps, 0.95), Median(windowsGaps), Percentile(windowsGaps, 0.95));
    return ok ? 0 : 1;
}
