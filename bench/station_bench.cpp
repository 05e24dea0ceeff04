// A flashing station as fwloader-cli station runs it: four slots, each a
// SlotLoop on a thread of its own, each in front of a simulated device on a
// thread of its own, line-timed at 19200 baud, whose boards come and go
// (BoardCycle): the first boards arrive at staggered times, each runs a
// silent application once flashed and is taken out a while later, and the
// next comes with erased memory.
//
//   station_bench [--kib N] [--boards N] [--slots N] [--stuck]
//
// Prints, per board, its arrival, the start and end of its flashing and
// when the slot saw it leave (seconds from the start), checks that each
// board began flashing within one second of its arrival, and draws a
// timeline per slot: A arrival, = flashing, . waiting for it to leave,
// L left (one character a fifth of a second). With --stuck the first slot's
// board stays in its bootloader after GoApplication and is never taken out
// (its slot waits for it to leave for ever), and the second slot's boards
// print a line every 200 ms once flashed: the figures of the slots after
// them, beside a run without --stuck, show whether such boards hold up the
// others.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "BenchFigures.h"
#include "BenchUpdate.h"
#include "BoardCycle.h"
#include "DeviceThread.h"
#include "SlotLoop.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int FirstCom = 31;
constexpr int StaggerMs = 700;
constexpr int DwellMs = 1500;
constexpr int NextMs = 2000;
constexpr int LeaveMs = 1000;
constexpr double StartLimitSeconds = 1.0;

struct BoardTimes {
    double Arrived = -1;  // put into the slot (the device's side)
    double Started = -1;  // the slot heard it and began flashing
    double Ended = -1;
    double Left = -1;  // the slot saw it leave
    bool Passed = false;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption kibOption("kib", "Firmware size in KiB (default 4).", "n", "4");
    const QCommandLineOption boardsOption("boards", "Boards per slot (default 3).", "n", "3");
    const QCommandLineOption slotsOption("slots", "Slots (default 4).", "n", "4");
    const QCommandLineOption stuckOption(
        "stuck", "The first slot's board never leaves; the second's print once flashed.");
    parser.addOptions({kibOption, boardsOption, slotsOption, stuckOption});
    parser.process(app);
    const int kib = std::clamp(parser.value(kibOption).toInt(), 1, 32);
    const int boards = std::clamp(parser.value(boardsOption).toInt(), 1, 20);
    const int slotCount = std::clamp(parser.value(slotsOption).toInt(), 1, 8);
    const bool stuck = parser.isSet(stuckOption) && slotCount > 1;

    QTemporaryDir root;
    qputenv("FWLOADER_STORE_ROOT", QFile::encodeName(root.path()));
    const Clock::time_point zero = Clock::now();
    auto now = [zero] { return std::chrono::duration<double>(Clock::now() - zero).count(); };
    std::mutex guard;
    std::vector<std::vector<BoardTimes>> times(slotCount, std::vector<BoardTimes>(boards));

    std::vector<std::unique_ptr<DeviceThread>> devices;
    std::vector<std::unique_ptr<BoardCycle>> cycles(slotCount);
    for (int s = 0; s < slotCount; ++s) {
        devices.push_back(std::make_unique<DeviceThread>());
        devices.back()->Call([&, s] {
            SimulatedDevice& device = *devices[s]->Device;
            device.SetModel(1, 2, 3);
            device.SetLineTiming(true);
            QString error;
            if (!device.Start(&error) ||
                !device.PublishAsComPort(FirstCom + s, root.path(), &error)) {
                std::fprintf(stderr, "station_bench: COM%d: %s\n", FirstCom + s, qPrintable(error));
                std::exit(1);
            }
            BoardCycleSettings settings;
            settings.ArriveMs = 300 + s * StaggerMs;
            settings.DwellMs = DwellMs;
            settings.NextMs = NextMs + s * 100;
            settings.Boards = boards;
            settings.AfterGo = BoardCycleSettings::App::Silent;
            if (stuck && s == 0) {
                settings.Boards = 1;
                settings.DwellMs = -1;
                settings.AfterGo = BoardCycleSettings::App::Bootloader;
            } else if (stuck && s == 1) {
                settings.AfterGo = BoardCycleSettings::App::Printing;
            }
            cycles[s] = std::make_unique<BoardCycle>(device, settings);
            QObject::connect(cycles[s].get(), &BoardCycle::BoardIn, [&, s](int board) {
                std::lock_guard<std::mutex> lock(guard);
                if (board <= boards) {
                    times[s][board - 1].Arrived = now();
                }
            });
            cycles[s]->Start();
        });
    }

    ProcessState base = BenchUpdateState(kib);

    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<std::unique_ptr<SlotLoop>> slotList;
    int running = slotCount;
    int done = 0;
    QEventLoop loop;
    for (int s = 0; s < slotCount; ++s) {
        SlotSettings settings;
        settings.Job.Label = QStringLiteral("COM%1").arg(FirstCom + s);
        settings.Job.Number = static_cast<qint16>(FirstCom + s);
        settings.Job.State = std::make_shared<ProcessState>(base);
        settings.Job.State->ComPortNumber = settings.Job.Number;
        settings.Job.SuccessText = QStringLiteral("Successful");
        settings.Job.TimeoutMs = 60000;
        settings.LeaveMs = LeaveMs;
        threads.push_back(std::make_unique<QThread>());
        slotList.push_back(std::make_unique<SlotLoop>(std::move(settings)));
        SlotLoop* slot = slotList.back().get();
        slot->moveToThread(threads.back().get());
        QObject::connect(threads.back().get(), &QThread::started, slot, &SlotLoop::Begin,
                         Qt::DirectConnection);
        QObject::connect(slot, &SlotLoop::Ended, threads.back().get(), &QThread::quit,
                         Qt::DirectConnection);
        auto at = [&, s](int board) -> BoardTimes* {
            return board >= 1 && board <= boards ? &times[s][board - 1] : nullptr;
        };
        QObject::connect(slot, &SlotLoop::BoardArrived, &loop, [=](int board) {
            if (BoardTimes* t = at(board)) {
                t->Started = now();
            }
        });
        QObject::connect(slot, &SlotLoop::BoardFinished, &loop,
                         [=](int board, const PortResult& result) {
                             if (BoardTimes* t = at(board)) {
                                 t->Ended = now();
                                 t->Passed = result.Ending == PortEnding::Success;
                             }
                         });
        QObject::connect(slot, &SlotLoop::BoardLeft, &loop, [=, &done, &slotList](int board) {
            if (BoardTimes* t = at(board)) {
                t->Left = now();
            }
            if (board == boards && ++done == slotCount - (stuck ? 1 : 0)) {
                for (auto& each : slotList) {
                    QMetaObject::invokeMethod(each.get(), &SlotLoop::Finish, Qt::QueuedConnection);
                }
            }
        });
        QObject::connect(slot, &SlotLoop::Ended, &loop, [&] {
            if (--running == 0) {
                loop.quit();
            }
        });
    }
    for (auto& thread : threads) {
        thread->start();
    }
    QTimer::singleShot(120000, &loop, &QEventLoop::quit);
    loop.exec();
    for (auto& thread : threads) {
        thread->wait(5000);
    }
    for (int s = 0; s < slotCount; ++s) {
        devices[s]->Call([&, s] { cycles[s].reset(); });
    }

    std::printf(
        "Station of %d slots, %d boards each, %d KiB at 19200 baud, line-timed; "
        "a Connect every %d ms; leave: %d ms unanswered%s\n\n",
        slotCount, boards, kib, SlotSettings{}.PollMs, LeaveMs,
        stuck ? "; the first slot's board never leaves, the second's print" : "");
    std::printf("slot   board  arrived  started  ended    left     arrival->start  flash\n");
    int late = 0;
    int failed = 0;
    std::vector<double> waits;
    std::vector<double> flashes;  // of the slots after those with --stuck boards
    double last = 0;
    std::lock_guard<std::mutex> lock(guard);
    for (int s = 0; s < slotCount; ++s) {
        for (int b = 0; b < boards; ++b) {
            if (stuck && s == 0 && b > 0) {
                break;  // its one board never leaves
            }
            const BoardTimes& t = times[s][b];
            if (s > (stuck ? 1 : 0)) {
                flashes.push_back(t.Ended - t.Started);
            }
            const double wait = t.Started - t.Arrived;
            waits.push_back(wait);
            late += (t.Started < 0 || t.Arrived < 0 || wait > StartLimitSeconds) ? 1 : 0;
            failed += t.Passed ? 0 : 1;
            last = std::max(last, t.Left);
            std::printf("COM%d  %5d  %7.2f  %7.2f  %7.2f  %7.2f  %8.3f s      %5.2f s%s\n",
                        FirstCom + s, b + 1, t.Arrived, t.Started, t.Ended, t.Left, wait,
                        t.Ended - t.Started, t.Passed ? "" : "  FAILED");
        }
    }
    std::printf("\narrival->start: median %.3f s, max %.3f s (limit %.1f s); %d late, %d failed\n",
                Median(waits), Max(waits), StartLimitSeconds, late, failed);
    if (!flashes.empty()) {
        std::printf(
            "flashing on the slots after those with --stuck boards: median %.3f s, max %.3f s\n",
            Median(flashes), Max(flashes));
    }

    // The timeline: one character a tenth of a second.
    std::printf("\ntimeline (0.2 s a character): A arrived, = flashing, . leaving, L left\n");
    const int width = static_cast<int>(last * 5) + 2;
    for (int s = 0; s < slotCount; ++s) {
        std::string line(width, ' ');
        for (const BoardTimes& t : times[s]) {
            auto cell = [](double seconds) { return static_cast<int>(seconds * 5); };
            for (int c = cell(t.Started); c < cell(t.Ended) && c < width; ++c) {
                line[c] = '=';
            }
            for (int c = cell(t.Ended); c < cell(t.Left) && c < width; ++c) {
                line[c] = '.';
            }
            if (t.Arrived >= 0 && cell(t.Arrived) < width) {
                line[cell(t.Arrived)] = 'A';
            }
            if (t.Left >= 0 && cell(t.Left) < width) {
                line[cell(t.Left)] = 'L';
            }
        }
        std::printf("COM%d |%s\n", FirstCom + s, line.c_str());
    }
    return late == 0 && failed == 0 ? 0 : 1;
}
