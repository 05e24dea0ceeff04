// Sessions over a real pseudo-terminal, timed from the device's side of the
// line: a full 64 KiB Update and a 32 KiB Read run in the session window
// (modal, offscreen) with the program's own serial port, timer and pause,
// against the simulated device on a thread of its own, so that the device
// answers the way a separate device does, independently of the program's
// event loop.
//
//   wire_bench [--runs N] [--timed-runs N] [--adapter-runs N] [--late-runs N]
//              [--probe-runs N] [--kib N]
//   (0 skips a part; --kib sets the Update's size, from address 0, 64 KiB
//   unless given)
//
// (a) Turnaround per exchange, without line timing: from the moment the
//     device has handed the last byte of a reply to the terminal until the
//     device receives the first bytes of the next request. It holds the
//     terminal's transfer both ways, the program's wake-up, the port's
//     data-received event, the session's handler, the port's sending of the
//     write and the device's own wake-up: everything between two packets on
//     a line that costs no time. The exchange after the Connect reply is left
//     out: the 100 ms pause before the first EraseMemory is prescribed.
//     The same gap is split with stamps taken by a thin port wrapper:
//     delivery (reply handed over -> data-received event), handler (event ->
//     the next write returns) and sending (write returned -> device has it).
// (b) With line-rate timing at 19200 baud: the wall time of each session
//     (exec of the window to its return) divided by the least time the line
//     needs for the bytes that actually went each way, 10 bits a byte. The
//     device's line model waits whole milliseconds, rounded up, per
//     exchange; its pace (the sum of those waits) is printed beside the
//     wire's least time, and where the rest of the wall time went: the
//     device's own lateness after its model (the machine's wake-up latency
//     as a thread that sleeps on a timer sees it), the gaps between packets
//     as in (a), and opening and closing. Since the device's hold of each
//     request is stamped on its side, the bench also gives the ratio with
//     that hold replaced by the line's least time: what the program would
//     take against a device that answers exactly on time.
// (c) As (b), a full Update behind a USB-serial adapter: the device holds
//     each reply as an FTDI chip does, until its latency timer has run from
//     the reply's first byte (or 62 bytes fill a packet). Once with the
//     driver's default of 16 ms, once with the 1 ms that the program asks
//     for (and the package's udev rule sets), against the line's least time.
// (d) One answer late, without line timing: the wall time of a session in
//     which the device answers one request 1.5 s late and answers the
//     watchdog's resent copy as late, against the same session without it:
//     what a single late reply costs (the lateness itself, the copy's answer
//     and the quiet the session waits for before its next request).
// Port probe: the port selection dialog's load over COM1 to COM99 with the
//     real serial port, once with every COMn linked to a missing device and
//     once with the machine's own mapping.

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "DeviceThread.h"
#include "FormComPort.h"
#include "FormProcess.h"
#include "QtPlatform.h"
#include "QtSerialPort.h"
#include "RegFileStore.h"
#include "SimulatedDevice.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int DeviceCom = 7;
constexpr int Baud = 19200;
constexpr double ConnectPauseMs = 100.0;
// The Update's size in bytes, from address 0.
int UpdateBytes = ImageSize;

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

using Stamp = DeviceThread::Stamp;

// When the program's serial port raised a data-received event and when a
// write of the program returned.
struct PortStamps {
    std::vector<Clock::time_point> Events;
    std::vector<Clock::time_point> Writes;
};

class StampingPort : public SerialPort {
public:
    explicit StampingPort(PortStamps& stamps) : Stamps(stamps) {
        Inner.SetCommHandler([this](CommEvent event) {
            if (event == CommEvent::DataReceived) {
                Stamps.Events.push_back(Clock::now());
            }
            RaiseComm(event);
        });
    }

    void SetPortNumber(qint16 n) override { Inner.SetPortNumber(n); }
    bool SetSettings(const QString& settings) override { return Inner.SetSettings(settings); }
    void SetBinaryInput() override { Inner.SetBinaryInput(); }
    void SetReceiveThreshold(int n) override { Inner.SetReceiveThreshold(n); }
    bool IsOpen() const override { return Inner.IsOpen(); }
    bool Open() override { return Inner.Open(); }
    void Close() override { Inner.Close(); }
    bool Write(const QByteArray& bytes) override {
        const bool ok = Inner.Write(bytes);
        Stamps.Writes.push_back(Clock::now());
        return ok;
    }
    QByteArray ReadAll() override { return Inner.ReadAll(); }
    QByteArray DiscardInput() override { return Inner.DiscardInput(); }

private:
    PortStamps& Stamps;
    QtSerialPort Inner;
};

// Any message box means the session went wrong: it is noted and cancelled.
class NotedBoxes : public MessageBoxes {
public:
    MessageAnswer Show(const QString& text, MessageIcon, MessageButtons, const QString&) override {
        Texts << text;
        return MessageAnswer::Cancel;
    }
    QStringList Texts;
};

struct SessionFigures {
    QString Failure;  // empty when the session succeeded and the data are right
    double WallMs = 0;
    qint64 ToDevice = 0;
    qint64 FromDevice = 0;
    double DeviceHoldMs = 0;             // the device between a request and its reply
    double DeviceModelMs = 0;            // what its line model asks for that
    double AdapterHeldMs = 0;            // replies held in the adapter beyond the line
    std::vector<double> DeviceLateness;  // us beyond its line model, per exchange
    std::vector<double> Turnaround;      // us, one per exchange
    std::vector<double> Delivery;
    std::vector<double> Handler;
    std::vector<double> Sending;

    double WireMinMs() const {
        return static_cast<double>(ToDevice + FromDevice) * 10.0 * 1000.0 / Baud;
    }
};

// fault: a scripted fault of the device for this session (empty: none).
SessionFigures RunSession(DeviceThread& device, bool update, bool lineTiming, quint32 seed,
                          int latencyTimerMs = 0, const QString& fault = {}) {
    SessionFigures figures;
    const QByteArray memory = RandomBytes(ImageSize, seed);
    const QByteArray image = RandomBytes(ImageSize, seed + 1);
    device.Call([&] {
        device.Device->Faults().ClearScripted();
        if (!fault.isEmpty()) {
            device.Device->AddFault(fault);
        }
        device.Device->SetLineTiming(lineTiming);
        device.Device->SetLatencyTimerMs(latencyTimerMs);
        device.Device->SetMemory(memory);
        device.Device->ResetCounters();
        device.Stamps.clear();
        device.Stamps.reserve(8192);
    });

    ProcessState state;
    state.ModelId = {1, 2, 3};
    state.FirmwareVersion = {1, 3};
    state.AppTitle = QStringLiteral("wire_bench");
    state.EnglishUi = true;
    state.ComPortNumber = DeviceCom;
    std::copy_n(image.constData(), ImageSize, reinterpret_cast<char*>(state.FirmwareImage.data()));
    state.ImageLowestAddress = 0;
    state.ImageHighestAddress = update ? UpdateBytes - 1 : 0x7FFF;
    state.SessionModeUpdate = update;
    state.SessionModeReadFirmware = !update;

    PortStamps stamps;
    stamps.Events.reserve(4096);
    stamps.Writes.reserve(4096);
    NotedBoxes boxes;
    QtPause pause;
    bool timedOut = false;
    int result = 0;
    Clock::time_point start;
    Clock::time_point end;
    {
        FormProcess form(state, std::make_unique<StampingPort>(stamps), boxes, pause);
        QTimer::singleShot(600000, &form, [&] {
            timedOut = true;
            form.reject();
        });
        start = Clock::now();
        result = form.exec();
        end = Clock::now();
    }
    figures.WallMs = Micros(end - start) / 1000.0;

    std::vector<Stamp> traffic;
    QByteArray memoryAfter;
    DeviceCounters counters;
    device.Call([&] {
        traffic = device.Stamps;
        memoryAfter = device.Device->Memory();
        counters = device.Device->Counters();
    });
    figures.AdapterHeldMs = static_cast<double>(counters.AdapterHeldUs) / 1000.0;

    if (timedOut) {
        figures.Failure = QStringLiteral("no end after ten minutes");
    } else if (result != QDialog::Accepted || !state.SessionSucceeded) {
        figures.Failure = QStringLiteral("the session failed: ") + boxes.Texts.join(u'|');
    } else if (counters.Of(ExchangeKind::Connect) != 1 ||
               counters.FaultsInjected != (fault.isEmpty() ? 0 : 1)) {
        figures.Failure = QStringLiteral("Connect was resent");
    } else if (update ? memoryAfter != image.left(UpdateBytes) + memory.mid(UpdateBytes)
                      : QByteArray(reinterpret_cast<const char*>(state.FirmwareImage.data()),
                                   0x8000) != memory.left(0x8000)) {
        figures.Failure = QStringLiteral("the data did not arrive whole");
    }

    // Walk the traffic exchange by exchange: a request (one or more pieces
    // in), then its reply (one or more pieces out). The gap before the second
    // request follows the Connect reply and holds the prescribed pause.
    struct Exchange {
        Clock::time_point LastIn, LastOut;
        int Request = 0;
        int Reply = 0;
    } current;
    int gapIndex = 0;
    auto closeExchange = [&figures, lineTiming](const Exchange& x) {
        if (x.Request == 0 || x.Reply == 0) {
            return;
        }
        // Until the reply's last byte: with line timing the device paces the
        // bytes of a reply, and its line model is for the last one.
        const double held = Micros(x.LastOut - x.LastIn) / 1000.0;
        figures.DeviceHoldMs += held;
        if (lineTiming) {
            // The device's line model: whole microseconds, rounded up.
            const double model = std::ceil(10.0 * (x.Request + x.Reply) * 1e6 / Baud) / 1000.0;
            figures.DeviceModelMs += model;
            figures.DeviceLateness.push_back((held - model) * 1000.0);
        }
    };
    for (const Stamp& s : traffic) {
        if (!s.In) {
            figures.FromDevice += s.Bytes;
            current.Reply += s.Bytes;
            current.LastOut = s.Time;
            continue;
        }
        figures.ToDevice += s.Bytes;
        if (current.Reply > 0) {
            const Clock::time_point lastOut = current.LastOut;
            if (gapIndex++ > 0) {
                figures.Turnaround.push_back(Micros(s.Time - lastOut));
                // The program's own stamps inside this gap: its last event and
                // its last write before the request arrived.
                auto event = std::lower_bound(stamps.Events.begin(), stamps.Events.end(), s.Time);
                auto write = std::lower_bound(stamps.Writes.begin(), stamps.Writes.end(), s.Time);
                if (event != stamps.Events.begin() && write != stamps.Writes.begin()) {
                    const Clock::time_point e = *std::prev(event);
                    const Clock::time_point w = *std::prev(write);
                    if (e > lastOut - std::chrono::milliseconds(1) && w >= e) {
                        figures.Delivery.push_back(Micros(e - lastOut));
                        figures.Handler.push_back(Micros(w - e));
                        figures.Sending.push_back(Micros(s.Time - w));
                    }
                }
            }
            closeExchange(current);
            current = Exchange{};
        }
        current.Request += s.Bytes;
        current.LastIn = s.Time;
    }
    closeExchange(current);
    return figures;
}

// The port selection dialog's load, probing COM1 to COM99 with the program's
// serial port under the given per-machine store root.
double ProbeMs(const QString& storeRoot, QStringList& listed) {
    qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(storeRoot));
    ProcessState state;
    state.EnglishUi = true;
    state.ComPortNumber = 1;
    state.SettingsKeyPath = QStringLiteral("SoftWare\\wire_bench\\Update");
    RegFileStore store(QFile::encodeName(storeRoot).toStdString());
    const Clock::time_point start = Clock::now();
    FormComPort dialog(state, store, std::make_unique<QtSerialPort>());
    const Clock::time_point end = Clock::now();
    listed.clear();
    for (int i = 0; i < dialog.ComboComPort->count(); ++i) {
        listed << dialog.ComboComPort->itemText(i);
    }
    return Micros(end - start) / 1000.0;
}

// The machine's floor for one hop of a packet: a byte written to a
// pseudo-terminal's master end by one thread after idleMs of quiet, until a
// thread sleeping in poll on the slave end has read it. Medians in us; empty
// when no terminal could be made.
std::vector<double> TerminalHopMicros(int idleMs, int samples) {
    std::vector<double> hops;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    char name[128] = {};
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0) {
        if (master >= 0) {
            ::close(master);
        }
        return hops;
    }
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || ::tcgetattr(slave, &raw) != 0) {
        ::close(master);
        return hops;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    std::vector<Clock::time_point> sent(samples), received(samples);
    std::atomic<int> done{0};
    std::thread reader([&] {
        for (int i = 0; i < samples; ++i) {
            pollfd fd{slave, POLLIN, 0};
            char byte = 0;
            while (::poll(&fd, 1, -1) <= 0 || ::read(slave, &byte, 1) != 1) {
            }
            received[i] = Clock::now();
            done.store(i + 1, std::memory_order_release);
        }
    });
    for (int i = 0; i < samples; ++i) {
        while (done.load(std::memory_order_acquire) < i) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
        const char byte = 0x55;
        sent[i] = Clock::now();
        [[maybe_unused]] const ssize_t ignored = ::write(master, &byte, 1);
    }
    reader.join();
    ::close(slave);
    ::close(master);
    for (int i = 0; i < samples; ++i) {
        hops.push_back(Micros(received[i] - sent[i]));
    }
    return hops;
}

QString LoadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(u' ', 0, 2)
                                          : QStringLiteral("unknown");
}

const char* Name(bool update) {
    static const QByteArray updateName =
        "Update " + QByteArray::number(UpdateBytes / 1024) + " KiB";
    return update ? updateName.constData() : "Read 32 KiB";
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sessions over a pseudo-terminal, timed."));
    parser.addHelpOption();
    const QCommandLineOption runsOption(
        QStringLiteral("runs"), QStringLiteral("Sessions of each kind without line timing."),
        QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption timedRunsOption(
        QStringLiteral("timed-runs"),
        QStringLiteral("Sessions of each kind at 19200 baud line timing."), QStringLiteral("n"),
        QStringLiteral("3"));
    const QCommandLineOption adapterRunsOption(
        QStringLiteral("adapter-runs"),
        QStringLiteral("Updates at 19200 baud behind an adapter, with each latency timer."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption lateRunsOption(
        QStringLiteral("late-runs"),
        QStringLiteral("Sessions of each kind with one answer late, and without."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption probeRunsOption(QStringLiteral("probe-runs"),
                                             QStringLiteral("Port probes of each kind."),
                                             QStringLiteral("n"), QStringLiteral("5"));
    const QCommandLineOption kibOption(QStringLiteral("kib"),
                                       QStringLiteral("The Update's size in KiB (1 to 64)."),
                                       QStringLiteral("n"), QStringLiteral("64"));
    parser.addOptions({runsOption, timedRunsOption, adapterRunsOption, lateRunsOption,
                       probeRunsOption, kibOption});
    parser.process(app);
    UpdateBytes = std::clamp(parser.value(kibOption).toInt(), 1, 64) * 1024;
    const int runs = std::max(0, parser.value(runsOption).toInt());
    const int timedRuns = std::max(0, parser.value(timedRunsOption).toInt());
    const int adapterRuns = std::max(0, parser.value(adapterRunsOption).toInt());
    const int probeRuns = std::max(0, parser.value(probeRunsOption).toInt());
    const int lateRuns = std::max(0, parser.value(lateRunsOption).toInt());

    std::printf("load average at start: %s (2 cores: %d online)\n", qPrintable(LoadAverage()),
                QThread::idealThreadCount());

    std::printf(
        "\nmachine floor: one byte through a pseudo-terminal to a thread asleep in poll, us\n");
    std::printf("%-30s %8s %8s %8s\n", "quiet before the byte", "median", "p95", "max");
    for (const int idleMs : {0, 3, 68}) {
        // With no quiet the writer waits only until the reader has the byte.
        const std::vector<double> hops = TerminalHopMicros(idleMs, idleMs == 0 ? 400 : 60);
        std::printf("%-30s %8.1f %8.1f %8.1f\n", qPrintable(QStringLiteral("%1 ms").arg(idleMs)),
                    Median(hops), Percentile(hops, 0.95), Max(hops));
    }
    std::printf(
        "(a gap between packets holds two such hops; 3 and 68 ms are the line times of a "
        "header and a data block at %d baud)\n",
        Baud);

    QTemporaryDir sessionRoot;
    qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(sessionRoot.path()));
    DeviceThread device;
    QString error;
    bool started = false;
    device.Call([&] {
        device.Device->SetModel(1, 2, 3);
        started = device.Device->Start(&error) &&
                  device.Device->PublishAsComPort(DeviceCom, sessionRoot.path(), &error);
    });
    if (!started) {
        std::fprintf(stderr, "wire_bench: %s\n", qPrintable(error));
        return 1;
    }

    int failures = 0;
    auto failed = [&failures](bool update, const SessionFigures& f) {
        if (f.Failure.isEmpty()) {
            return false;
        }
        std::fprintf(stderr, "wire_bench: %s: %s\n", Name(update), qPrintable(f.Failure));
        ++failures;
        return true;
    };

    if (runs > 0) {
        std::printf(
            "\n(a) turnaround per exchange without line timing, us: device handed over the "
            "reply's last byte -> device received the next request\n");
        std::printf("%-14s %4s %6s %8s %8s %8s | %9s %8s %8s\n", "session", "run", "exch", "median",
                    "p95", "max", "delivery", "handler", "sending");
        for (const bool update : {true, false}) {
            std::vector<double> medians, p95s, maxes, delivery, handler, sending;
            for (int run = 0; run < runs; ++run) {
                const SessionFigures f = RunSession(device, update, false, 100 + run);
                if (failed(update, f)) {
                    continue;
                }
                medians.push_back(Median(f.Turnaround));
                p95s.push_back(Percentile(f.Turnaround, 0.95));
                maxes.push_back(Max(f.Turnaround));
                delivery.push_back(Median(f.Delivery));
                handler.push_back(Median(f.Handler));
                sending.push_back(Median(f.Sending));
                std::printf("%-14s %4d %6zu %8.1f %8.1f %8.1f | %9.1f %8.1f %8.1f\n", Name(update),
                            run + 1, f.Turnaround.size(), medians.back(), p95s.back(), maxes.back(),
                            delivery.back(), handler.back(), sending.back());
            }
            std::printf("%-14s %4s %6s %8.1f %8.1f %8.1f | %9.1f %8.1f %8.1f\n", Name(update),
                        "med", "", Median(medians), Median(p95s), Median(maxes), Median(delivery),
                        Median(handler), Median(sending));
        }
        std::printf("target: median at most 300 us\n");
    }

    if (timedRuns > 0) {
        std::printf(
            "\n(b) line-rate timing at %d baud: wall time of the session window against the least "
            "time the line needs (bytes both ways x 10 bits / %d)\n",
            Baud, Baud);
        std::printf("%-14s %4s %8s %8s %8s %8s %8s %8s %8s %8s %8s\n", "session", "run", "to dev",
                    "from dev", "min s", "wall s", "ratio", "no pause", "pace s", "vs pace",
                    "exact");
        QStringList whereTimeWent;
        for (const bool update : {true, false}) {
            std::vector<double> ratios, withoutPause, againstPace, exact;
            for (int run = 0; run < timedRuns; ++run) {
                const SessionFigures f = RunSession(device, update, true, 200 + run);
                if (failed(update, f)) {
                    continue;
                }
                const double least = f.WireMinMs();
                ratios.push_back(f.WallMs / least);
                withoutPause.push_back((f.WallMs - ConnectPauseMs) / least);
                againstPace.push_back((f.WallMs - ConnectPauseMs) / f.DeviceModelMs);
                exact.push_back((f.WallMs - ConnectPauseMs - f.DeviceHoldMs + least) / least);
                std::printf("%-14s %4d %8lld %8lld %8.3f %8.3f %8.4f %8.4f %8.3f %8.4f %8.4f\n",
                            Name(update), run + 1, static_cast<long long>(f.ToDevice),
                            static_cast<long long>(f.FromDevice), least / 1000.0, f.WallMs / 1000.0,
                            ratios.back(), withoutPause.back(), f.DeviceModelMs / 1000.0,
                            againstPace.back(), exact.back());
                double gaps = 0;
                for (const double t : f.Turnaround) {
                    gaps += t;
                }
                double late = 0;
                for (const double t : f.DeviceLateness) {
                    late += t;
                }
                const double rest = f.WallMs - ConnectPauseMs - f.DeviceHoldMs - gaps / 1000.0;
                whereTimeWent << QString::asprintf(
                    "%-14s %4d %8.3f %8.1f %8.3f %8.1f %8.1f %8.1f %8.1f %8.1f %8.3f", Name(update),
                    run + 1, late / 1e6, Median(f.DeviceLateness), gaps / 1e6, Median(f.Turnaround),
                    Percentile(f.Turnaround, 0.95), Median(f.Delivery), Median(f.Handler),
                    Median(f.Sending), rest / 1000.0);
            }
            std::printf("%-14s %4s %8s %8s %8s %8s %8.4f %8.4f %8s %8.4f %8.4f\n", Name(update),
                        "med", "", "", "", "", Median(ratios), Median(withoutPause), "",
                        Median(againstPace), Median(exact));
        }
        std::printf(
            "pace s: what the device's line model asks for the same traffic (each exchange "
            "rounded up to whole us);\nvs pace: wall time less the pause against that;\n"
            "exact: wall time less the pause, with the time the device actually held each request "
            "replaced by the line's least time\n(as against a device that answers exactly on "
            "time), against the least time\n"
            "target: at most 1.03 without the pause\n");
        std::printf(
            "\nwhere the time beyond the device's pace went: the device's own lateness after "
            "its model, the gaps between packets (as in (a)), the rest (opening, closing)\n");
        std::printf("%-14s %4s %8s %8s %8s %8s %8s %8s %8s %8s %8s\n", "session", "run", "late s",
                    "late us", "gaps s", "gap us", "gap p95", "delivery", "handler", "sending",
                    "rest s");
        for (const QString& line : whereTimeWent) {
            std::printf("%s\n", qPrintable(line));
        }
        std::printf("(us columns are medians per exchange)\n");
    }

    if (adapterRuns > 0) {
        std::printf(
            "\n(c) %s at %d baud behind a USB-serial adapter that holds each reply until its "
            "latency timer has run from the reply's first byte (or 62 bytes fill a packet), "
            "against the line's least time\n",
            Name(true), Baud);
        std::printf("%-14s %4s %8s %8s %8s %8s %8s\n", "latency timer", "run", "min s", "wall s",
                    "ratio", "no pause", "held s");
        std::vector<double> medianWall;
        for (const int latencyMs : {16, 1}) {
            std::vector<double> walls, ratios, withoutPause;
            for (int run = 0; run < adapterRuns; ++run) {
                const SessionFigures f = RunSession(device, true, true, 300 + run, latencyMs);
                if (failed(true, f)) {
                    continue;
                }
                const double least = f.WireMinMs();
                walls.push_back(f.WallMs);
                ratios.push_back(f.WallMs / least);
                withoutPause.push_back((f.WallMs - ConnectPauseMs) / least);
                std::printf("%-14s %4d %8.3f %8.3f %8.4f %8.4f %8.3f\n",
                            qPrintable(QStringLiteral("%1 ms").arg(latencyMs)), run + 1,
                            least / 1000.0, f.WallMs / 1000.0, ratios.back(), withoutPause.back(),
                            f.AdapterHeldMs / 1000.0);
            }
            std::printf("%-14s %4s %8s %8.3f %8.4f %8.4f\n",
                        qPrintable(QStringLiteral("%1 ms").arg(latencyMs)), "med", "",
                        Median(walls) / 1000.0, Median(ratios), Median(withoutPause));
            medianWall.push_back(Median(walls));
        }
        if (medianWall.size() == 2 && medianWall[0] > 0 && medianWall[1] > 0) {
            std::printf("low latency saves %.3f s of the Update (median wall times)\n",
                        (medianWall[0] - medianWall[1]) / 1000.0);
        }
        std::printf("held s: time the adapter held the replies beyond their line time, summed\n");
    }

    if (lateRuns > 0) {
        std::printf(
            "\n(d) one answer 1.5 s late, crossing the watchdog's resend (the copy answered as "
            "late), without line timing: wall time, s\n");
        std::printf("%-14s %4s %-22s %8s %8s %8s\n", "session", "run", "late answer", "plain",
                    "late", "cost");
        for (const bool update : {true, false}) {
            // An exchange well inside the session.
            const QString fault = update ? QStringLiteral("erase#100:late=1500")
                                         : QStringLiteral("read#100:late=1500");
            for (int run = 0; run < lateRuns; ++run) {
                const SessionFigures plain = RunSession(device, update, false, 300 + run);
                const SessionFigures late = RunSession(device, update, false, 300 + run, 0, fault);
                if (failed(update, plain) || failed(update, late)) {
                    continue;
                }
                std::printf("%-14s %4d %-22s %8.3f %8.3f %8.3f\n", Name(update), run + 1,
                            qPrintable(fault.section(u':', 0, 0)), plain.WallMs / 1000.0,
                            late.WallMs / 1000.0, (late.WallMs - plain.WallMs) / 1000.0);
            }
        }
        std::printf("(the data are checked as in (a); a late session that ends otherwise fails)\n");
    }

    if (probeRuns > 0) {
        QTemporaryDir linkedRoot;
        QTemporaryDir emptyRoot;
        QDir().mkpath(linkedRoot.filePath(QStringLiteral("dosdevices")));
        for (int n = 1; n <= 99; ++n) {
            QFile::link(QStringLiteral("/nonexistent/wire_bench"),
                        linkedRoot.filePath(QStringLiteral("dosdevices/com%1").arg(n)));
        }
        std::printf("\nport probe: port selection dialog load over COM1..COM99, ms\n");
        std::printf("%-34s %8s %8s  %s\n", "store", "median", "max", "listed");
        const std::pair<const char*, QString> stores[] = {
            {"every COMn linked to a missing device", linkedRoot.path()},
            {"machine mapping, no links", emptyRoot.path()},
        };
        for (const auto& [label, root] : stores) {
            std::vector<double> times;
            QStringList listed;
            for (int run = 0; run < probeRuns; ++run) {
                times.push_back(ProbeMs(root, listed));
            }
            std::printf("%-34s %8.2f %8.2f  %s\n", label, Median(times), Max(times),
                        listed.isEmpty() ? "none" : qPrintable(listed.join(u' ')));
        }
        qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(sessionRoot.path()));
        std::printf("target: well under 100 ms\n");
    }

    std::printf("\nload average at end: %s\n", qPrintable(LoadAverage()));
    return failures == 0 ? 0 : 1;
}
