#include "StationRun.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QHash>
#include <QThread>
#include <QTimer>
#include <mutex>
#include <utility>

#include "CliPlan.h"
#include "CliProgram.h"
#include "Gang.h"
#include "LogWriter.h"
#include "QtPlatform.h"
#include "SlotLoop.h"
#include "StationDisplay.h"
#include "StationInput.h"
#include "SystemConsole.h"
#include "UnitRecord.h"

namespace {

constexpr int LiveRefreshMs = 200;
constexpr int ThreadEndWaitMs = 5000;

// One slot as the main thread keeps it.
struct Slot {
    std::unique_ptr<QThread> Thread;
    std::unique_ptr<SlotLoop> Loop;
    QStringList Units;                             // for its next boards, in the order given
    QHash<int, QPair<QString, QDateTime>> Boards;  // unit and start of each running board
    bool Ended = false;
};

}  // namespace

int RunStation(const CliOptions& options, Console& console) {
    bool interrupted = false;
    std::function<void()> onInterrupt;
    WatchInterrupts(
        [&] {
            interrupted = true;
            if (onInterrupt) {
                onInterrupt();
            }
        },
        ExitInterrupted);
    auto badInput = [&](const QString& port, const QString& text) {
        return EndBadInput(*MakeReporter(options, console), port, text);
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
    if (!options.TraceDir.isEmpty() && !QDir().mkpath(options.TraceDir)) {
        return badInput({},
                        QStringLiteral("--trace: cannot make the folder %1").arg(options.TraceDir));
    }

    QStringList labels;
    for (const PlannedPort& port : plan.Ports) {
        labels << port.Target.Label;
    }
    StationDisplay display(console, options.Json, options.Quiet, labels);
    for (const QString& warning : plan.Warnings) {
        display.Warning(-1, warning);
    }
    RecordRun record = NewRecordRun(options, plan, QStringLiteral("update"));
    auto budget =
        options.StopAfter > 0 ? std::make_shared<std::atomic<int>>(options.StopAfter) : nullptr;

    std::vector<Slot> slotList(plan.Ports.size());
    int running = 0;  // slotList not ended
    int finished = 0;
    bool allPassed = true;
    bool cutMidBoard = false;
    QEventLoop loop;
    auto finishAll = [&](bool interrupt) {
        for (Slot& slot : slotList) {
            QMetaObject::invokeMethod(slot.Loop.get(),
                                      interrupt ? &SlotLoop::Interrupt : &SlotLoop::Finish,
                                      Qt::QueuedConnection);
        }
    };
    // A board's session is over: its record, then its result.
    auto boardFinished = [&](int index, int board, PortResult result) {
        Slot& s = slotList[index];
        if (s.Ended) {
            return;  // given up for its held thread already
        }
        PlannedPort unitPort = plan.Ports[index];
        const auto [unit, started] = s.Boards.take(board);
        unitPort.Unit = unit;
        cutMidBoard = cutMidBoard || result.Ending == PortEnding::Interrupted;
        if (budget && ++finished == options.StopAfter) {
            finishAll(false);
        }
        if (result.TraceFailed) {
            display.Error(index, QStringLiteral("the trace file could not be written whole"));
        }
        if (!log.IsOpen()) {
            allPassed = allPassed && result.Ending == PortEnding::Success;
            display.Finished(index, board, result);
            return;
        }
        // The record is on the disk before the result is told.
        const QByteArray line = ResultRecord(record, unitPort, result, started,
                                             QDateTime::currentDateTimeUtc(), {}, board);
        log.Append(line, [&, index, board, result](const QString& error) mutable {
            result.LogKept = true;
            result.Logged = error.isEmpty();
            if (!result.Logged) {
                display.Error(index, QStringLiteral("--log: the record of board %1 could not be "
                                                    "written to %2: %3")
                                         .arg(board)
                                         .arg(options.LogFile, error));
            }
            allPassed = allPassed && result.Logged && result.Ending == PortEnding::Success;
            display.Finished(index, board, result);
        });
    };
    auto slotEnded = [&](int index) {
        if (!std::exchange(slotList[index].Ended, true) && --running == 0) {
            loop.quit();
        }
    };
    // Interrupted, a slot whose thread is held (a hung driver) is given up
    // from here once the grace has passed: its board ends as interrupted,
    // and the process ends around the thread.
    QTimer abandon;
    abandon.setSingleShot(true);
    QObject::connect(&abandon, &QTimer::timeout, &loop, [&] {
        for (int index = 0; index < static_cast<int>(slotList.size()); ++index) {
            for (const int board : slotList[index].Boards.keys()) {
                PortResult result;
                result.HalfWritten = true;
                result.Detail = QStringLiteral(
                                    "interrupted, and the session did not stop in the %1 s "
                                    "after; its port is closed as the program ends; the device "
                                    "may be left half-written")
                                    .arg(Gang::DefaultGraceMs / 1000.0);
                boardFinished(index, board, result);
            }
            slotEnded(index);
        }
    });
    onInterrupt = [&] {
        finishAll(true);
        if (!abandon.isActive()) {
            abandon.start(Gang::DefaultGraceMs);
        }
    };

    for (qsizetype i = 0; i < plan.Ports.size(); ++i) {
        const int index = static_cast<int>(i);
        const PlannedPort& port = plan.Ports[i];
        SlotSettings settings;
        PortJob& job = settings.Job;
        job.Label = port.Target.Label;
        job.Number = port.Target.Number;
        job.DevicePath = port.Target.DevicePath;
        job.State = std::make_shared<ProcessState>(plan.Base);
        job.State->ComPortNumber = port.Target.Number;
        job.Retries = options.Retries;
        job.SuccessText = QStringLiteral("Successful");
        job.TimeoutMs = plan.TimeoutSeconds * 1000;
        job.Verify = options.Verify;
        job.CheckOpenedPort = [device = port.Device, roots] {
            return LatencyWarning(device, roots);
        };
        settings.LeaveMs = options.LeaveSeconds * 1000;
        settings.ManualNext = options.NextManual;
        settings.LockoutAfter = options.LockoutAfter;
        settings.Budget = budget;
        if (!options.TraceDir.isEmpty()) {
            const QString stem = QDir(options.TraceDir).filePath(TraceFileName(job.Label));
            settings.TraceOf = [stem](int board) {
                return OpenTrace(stem.left(stem.size() - 6) +
                                 QStringLiteral("-%1.trace").arg(board));
            };
        }
        Slot& slot = slotList[i];
        if (!port.Unit.isEmpty()) {
            slot.Units << port.Unit;
        }
        slot.Thread = std::make_unique<QThread>();
        slot.Thread->setObjectName(QStringLiteral("slot %1").arg(job.Label));
        slot.Loop = std::make_unique<SlotLoop>(std::move(settings));
        SlotLoop* loopOf = slot.Loop.get();
        loopOf->moveToThread(slot.Thread.get());
        QObject::connect(slot.Thread.get(), &QThread::started, loopOf, &SlotLoop::Begin,
                         Qt::DirectConnection);
        QObject::connect(loopOf, &SlotLoop::Ended, slot.Thread.get(), &QThread::quit,
                         Qt::DirectConnection);
        QObject::connect(loopOf, &SlotLoop::StateChanged, &loop,
                         [&, index](int state) { display.State(index, SlotState(state)); });
        QObject::connect(loopOf, &SlotLoop::Progress, &loop,
                         [&, index](double fraction, int) { display.Progress(index, fraction); });
        QObject::connect(loopOf, &SlotLoop::Warning, &loop,
                         [&, index](const QString& text) { display.Warning(index, text); });
        QObject::connect(
            loopOf, &SlotLoop::Question, &loop, [&, index](const QString& text, bool retried) {
                display.Warning(
                    index,
                    QStringLiteral("%1 (answered %2)").arg(text, retried ? "Retry" : "Cancel"));
            });
        QObject::connect(loopOf, &SlotLoop::BoardLeft, &loop,
                         [&, index](int board) { display.Left(index, board); });
        QObject::connect(loopOf, &SlotLoop::LockedOut, &loop,
                         [&, index](int failures) { display.Locked(index, failures); });
        QObject::connect(loopOf, &SlotLoop::BoardArrived, &loop, [&, index](int board) {
            Slot& s = slotList[index];
            PlannedPort unitPort = plan.Ports[index];
            unitPort.Unit = s.Units.isEmpty() ? QString() : s.Units.takeFirst();
            const QDateTime started = QDateTime::currentDateTimeUtc();
            s.Boards.insert(board, {unitPort.Unit, started});
            display.Arrived(index, board, unitPort.Unit);
            if (log.IsOpen()) {
                log.Append(StartRecord(record, unitPort, started, board),
                           [&, index](const QString& error) {
                               if (!error.isEmpty()) {
                                   display.Error(index, QStringLiteral("--log: %1").arg(error));
                               }
                           });
            }
        });
        QObject::connect(loopOf, &SlotLoop::BoardFinished, &loop,
                         [&, index](int board, const PortResult& result) {
                             boardFinished(index, board, result);
                         });
        QObject::connect(loopOf, &SlotLoop::Ended, &loop, [&, index] { slotEnded(index); });
        ++running;
    }

    auto sink = std::make_shared<LineSink>();
    {
        std::lock_guard<std::mutex> lock(sink->Guard);
        sink->Take = [&](const QString& text) {
            const StationLine line = ParseStationLine(text, labels);
            if (!line.Problem.isEmpty()) {
                display.Warning(-1, line.Problem);
                return;
            }
            if (!line.Unit.isEmpty()) {
                slotList[line.Slot].Units << line.Unit;
                return;
            }
            for (int i = 0; i < static_cast<int>(slotList.size()); ++i) {
                if (line.Slot < 0 || line.Slot == i) {
                    QMetaObject::invokeMethod(slotList[i].Loop.get(), &SlotLoop::Release,
                                              Qt::QueuedConnection);
                }
            }
        };
    }
    ReadLines(sink);

    QTimer refresh;
    QObject::connect(&refresh, &QTimer::timeout, &loop, [&] { display.Tick(); });
    refresh.start(LiveRefreshMs);
    for (Slot& slot : slotList) {
        slot.Thread->start();
    }
    if (interrupted) {
        onInterrupt();
    }
    if (running > 0) {
        loop.exec();
    }
    {
        std::lock_guard<std::mutex> lock(sink->Guard);
        sink->Take = {};
    }
    for (Slot& slot : slotList) {
        if (!slot.Thread->wait(ThreadEndWaitMs)) {
            // Held for good (a hung device): the process ends around it.
            (void)slot.Thread.release();
            (void)slot.Loop.release();
        }
    }
    // Every result is told once its record is written (or could not be).
    onInterrupt = {};
    if (log.Pending() > 0) {
        QEventLoop wait;
        QObject::connect(&log, &LogWriter::Idle, &wait, &QEventLoop::quit);
        onInterrupt = [&] { wait.quit(); };
        wait.exec();
        onInterrupt = {};
    }
    refresh.stop();
    const int status = cutMidBoard ? ExitInterrupted
                       : allPassed ? ExitAllSucceeded
                                   : ExitSomeFailed;
    display.Summary(status);
    WatchInterrupts({}, ExitInterrupted);
    return status;
}
