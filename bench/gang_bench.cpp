// Several ports at once, as fwloader-cli runs them: each port's session on a
// thread of its own (the command line's own gang), each simulated device on
// a thread of its own, all with line timing at 19200 baud.
//
//   gang_bench [--kib N] [--ports N] [--runs N] [--verify-runs N]
//
// (a) One Update alone, then the same Update on eight ports at once: the
//     wall time of the gang against the wall time of one (target: at most
//     1.1), with each port's time and the CPU time of its thread.
// (b) One good port beside ports whose devices misbehave: silent, silent at
//     first (so that its 100 ms pause after the marker comes while the good
//     port is in full flow), refusing data blocks until the transfer fails,
//     vanishing mid-transfer, reporting another model. The good port's time
//     against its time alone, and the longest gap between its packets (a
//     stall of the good port by another's fault would show here), as the
//     device sees them.
// (v) What --verify costs: one port's Update without and with the read-back
//     of the written range before GoApplication (--verify-runs N; with
//     --runs 0 only this part runs), against the line's least time for the
//     read-back's bytes.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "BenchFigures.h"
#include "BenchUpdate.h"
#include "DeviceThread.h"
#include "Gang.h"
#include "SimulatedDevice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int FirstCom = 11;
constexpr double ConnectPauseMs = 100.0;

// A simulated device on a thread of its own, published as COMn.
class GangDevice {
public:
    GangDevice(int com, const QString& root) : ComNumber(com) {
        Call([this, com, root] {
            Thread.Device->SetModel(1, 2, 3);
            Thread.Device->SetLineTiming(true);
            QString error;
            if (!Thread.Device->Start(&error) ||
                !Thread.Device->PublishAsComPort(com, root, &error)) {
                std::fprintf(stderr, "gang_bench: COM%d: %s\n", com, qPrintable(error));
                std::exit(1);
            }
        });
    }

    void Call(const std::function<void()>& work) { Thread.Call(work); }

    // Prepares the device for the next session, with these faults.
    void Prepare(const QStringList& faults, bool otherModel) {
        Call([&] {
            if (!Thread.Device->IsRunning()) {
                Thread.Device->Start();
                Thread.Device->PublishAsComPort(Com(), QString());
            }
            Thread.Device->Faults().ClearScripted();
            for (const QString& fault : faults) {
                Thread.Device->AddFault(fault);
            }
            Thread.Device->SetModel(otherModel ? 9 : 1, 2, 3);
            Thread.Device->FillMemory(0x00);
            Thread.Device->ResetCounters();
            Thread.Stamps.clear();
            Thread.Stamps.reserve(8192);
        });
    }

    // The gaps, in ms, between a reply and the next request, the one after
    // the Connect reply (the prescribed pause) left out.
    std::vector<double> Gaps() {
        std::vector<double> gaps;
        Call([&] { gaps = DeviceThread::ReplyToRequestGaps(Thread.Stamps); });
        return gaps;
    }

    QByteArray Memory() {
        QByteArray memory;
        Call([&] { memory = Thread.Device->Memory(); });
        return memory;
    }

    int Com() const { return ComNumber; }
    void SetCom(int com) { ComNumber = com; }

private:
    DeviceThread Thread;
    int ComNumber = 0;
};

struct GangRun {
    double WallSeconds = 0;
    std::vector<PortResult> Results;
};

GangRun RunGang(const std::vector<int>& coms, const ProcessState& base, bool verify = false) {
    std::vector<PortJob> jobs;
    for (const int com : coms) {
        PortJob job;
        job.Label = QStringLiteral("COM%1").arg(com);
        job.Number = static_cast<qint16>(com);
        job.State = std::make_shared<ProcessState>(base);
        job.State->ComPortNumber = job.Number;
        job.SuccessText = QStringLiteral("Successful");
        job.Verify = verify;
        jobs.push_back(std::move(job));
    }
    GangRun run;
    Gang gang(std::move(jobs));
    QEventLoop loop;
    QObject::connect(&gang, &Gang::AllFinished, &loop, &QEventLoop::quit);
    const Clock::time_point start = Clock::now();
    gang.Start();
    loop.exec();
    run.WallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int i = 0; i < gang.Size(); ++i) {
        run.Results.push_back(gang.Result(i));
    }
    return run;
}

void PrintPorts(const std::vector<int>& coms, const GangRun& run, const QStringList& roles) {
    for (std::size_t i = 0; i < coms.size(); ++i) {
        const PortResult& r = run.Results[i];
        std::printf("  COM%-3d %-28s %-17s %8.3f s  cpu %7.3f s  sent %6lld  received %6lld\n",
                    coms[i], qPrintable(roles.value(static_cast<int>(i))),
                    qPrintable(EndingName(r.Ending)), r.Seconds, r.CpuSeconds,
                    static_cast<long long>(r.BytesSent), static_cast<long long>(r.BytesReceived));
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Several ports at once, line-timed."));
    parser.addHelpOption();
    const QCommandLineOption kibOption(QStringLiteral("kib"),
                                       QStringLiteral("Firmware size in KiB (1 to 64)."),
                                       QStringLiteral("n"), QStringLiteral("64"));
    const QCommandLineOption portsOption(QStringLiteral("ports"),
                                         QStringLiteral("Ports of the gang (2 to 16)."),
                                         QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Runs of (a) and (b); 0: only (v)."),
                                        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption verifyOption(QStringLiteral("verify-runs"),
                                          QStringLiteral("Runs of (v), the cost of --verify."),
                                          QStringLiteral("n"), QStringLiteral("1"));
    parser.addOptions({kibOption, portsOption, runsOption, verifyOption});
    parser.process(app);
    const int kib = std::clamp(parser.value(kibOption).toInt(), 1, 64);
    const int ports = std::clamp(parser.value(portsOption).toInt(), 2, 16);
    const int runs = std::max(0, parser.value(runsOption).toInt());
    const int verifyRuns = std::max(0, parser.value(verifyOption).toInt());

    QTemporaryDir root;
    qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(root.path()));
    std::vector<std::unique_ptr<GangDevice>> devices;
    std::vector<int> coms;
    for (int i = 0; i < ports; ++i) {
        devices.push_back(std::make_unique<GangDevice>(FirstCom + i, root.path()));
        devices.back()->SetCom(FirstCom + i);
        coms.push_back(FirstCom + i);
    }

    // The firmware: kib KiB from address 0, over the pre-fill pattern.
    ProcessState base = BenchUpdateState(kib);
    base.AppTitle = QStringLiteral("gang_bench");
    const QByteArray image(reinterpret_cast<const char*>(base.FirmwareImage.data()), ImageSize);

    std::printf("Update of %d KiB at 19200 baud, line-timed devices, %d cores\n", kib,
                QThread::idealThreadCount());
    int failures = 0;
    auto check = [&](const GangRun& run, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (run.Results[i].Ending != PortEnding::Success ||
                devices[i]->Memory().left(kib * 1024) != image.left(kib * 1024)) {
                std::fprintf(stderr, "gang_bench: COM%d did not take the firmware\n", coms[i]);
                ++failures;
            }
        }
    };

    if (verifyRuns > 0) {
        // The read-back asks for each 128-byte block of the range: 7 bytes
        // out, 129 back, 10 bits a byte at 19200 baud.
        const int blocks = (kib * 1024 + 127) / 128;
        const double readBackLineSeconds = blocks * (7 + 129) * 10.0 / 19200.0;
        std::printf("\n(v) one port's Update without and with --verify\n");
        std::vector<double> costs;
        for (int run = 0; run < verifyRuns; ++run) {
            devices[0]->Prepare({}, false);
            const GangRun plain = RunGang({coms[0]}, base);
            check(plain, 1);
            devices[0]->Prepare({}, false);
            const GangRun verified = RunGang({coms[0]}, base, true);
            check(verified, 1);
            const PortResult& p = plain.Results[0];
            const PortResult& v = verified.Results[0];
            if (!v.Verified.value_or(false)) {
                std::fprintf(stderr, "gang_bench: the Update with --verify was not verified\n");
                ++failures;
            }
            costs.push_back(v.Seconds - p.Seconds);
            std::printf(
                "run %d: without %.3f s (sent %lld, received %lld), with %.3f s (sent %lld, "
                "received %lld): verify took %.3f s by the session's clock, %.3f s more "
                "in all; with/without %.3f\n",
                run + 1, p.Seconds, static_cast<long long>(p.BytesSent),
                static_cast<long long>(p.BytesReceived), v.Seconds,
                static_cast<long long>(v.BytesSent), static_cast<long long>(v.BytesReceived),
                v.VerifySeconds, costs.back(), v.Seconds / p.Seconds);
        }
        std::printf(
            "verify's cost (median of %d): %.3f s; the read-back's least line time %.3f s "
            "(%d blocks)\n",
            verifyRuns, Percentile(costs, 0.5), readBackLineSeconds, blocks);
    }
    if (runs == 0) {
        return failures == 0 ? 0 : 1;
    }

    std::printf("\n(a) one port alone against %d ports at once\n", ports);
    std::vector<double> ratios;
    for (int run = 0; run < runs; ++run) {
        devices[0]->Prepare({}, false);
        const GangRun alone = RunGang({coms[0]}, base);
        check(alone, 1);
        for (auto& device : devices) {
            device->Prepare({}, false);
        }
        const GangRun gang = RunGang(coms, base);
        check(gang, coms.size());
        ratios.push_back(gang.WallSeconds / alone.WallSeconds);
        std::printf("run %d: alone %.3f s (cpu %.3f s), %d at once %.3f s: ratio %.4f\n", run + 1,
                    alone.WallSeconds, alone.Results[0].CpuSeconds, ports, gang.WallSeconds,
                    ratios.back());
        double cpu = 0;
        for (const PortResult& r : gang.Results) {
            cpu += r.CpuSeconds;
        }
        std::printf("  cpu per port in the gang: mean %.3f s\n", cpu / ports);
        PrintPorts(coms, gang, {});
    }
    std::printf("ratio (median of %d): %.4f   target: at most 1.1\n", runs,
                Percentile(ratios, 0.5));

    std::printf("\n(b) one good port beside ports whose devices misbehave\n");
    struct Role {
        const char* Name;
        QStringList Faults;
        bool OtherModel = false;
    };
    const std::vector<Role> roles = {
        {"good", {}},
        {"silent", {"any*:silence"}},
        {"silent for 3 Connects", {"connect#1:silence", "connect#2:silence", "connect#3:silence"}},
        {"refuses data blocks", {"data*:nack"}},
        {"vanishes at data block 5", {"data#5:vanish"}},
        {"other model", {}, true},
        {"silent", {"any*:silence"}},
        {"silent for 2 Connects", {"connect#1:silence", "connect#2:silence"}},
    };
    std::vector<int> mixed;
    QStringList names;
    devices[0]->Prepare({}, false);
    const GangRun alone = RunGang({coms[0]}, base);
    const std::vector<double> aloneGaps = devices[0]->Gaps();
    for (std::size_t i = 0; i < std::min<std::size_t>(coms.size(), roles.size()); ++i) {
        mixed.push_back(coms[i]);
        names << QString::fromLatin1(roles[i].Name);
        devices[i]->Prepare(roles[i].Faults, roles[i].OtherModel);
    }
    const GangRun mixedRun = RunGang(mixed, base);
    check(mixedRun, 1);
    const std::vector<double> mixedGaps = devices[0]->Gaps();
    PrintPorts(mixed, mixedRun, names);
    std::printf("good port: alone %.3f s, beside the faults %.3f s: ratio %.4f\n",
                alone.WallSeconds, mixedRun.Results[0].Seconds,
                mixedRun.Results[0].Seconds / alone.Results[0].Seconds);
    std::printf(
        "good port's gaps between packets, ms: alone p99 %.2f max %.2f; beside the faults "
        "p99 %.2f max %.2f (a stall by the %.0f ms pause or a watchdog would show here)\n",
        Percentile(aloneGaps, 0.99), Percentile(aloneGaps, 1.0), Percentile(mixedGaps, 0.99),
        Percentile(mixedGaps, 1.0), ConnectPauseMs);
    return failures == 0 ? 0 : 1;
}
