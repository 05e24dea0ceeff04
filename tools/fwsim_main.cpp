// fwsim: the device's serial bootloader on a pseudo-terminal, for the demo
// and for trying the program by hand. Prints the terminal path (and the COM
// link) on stdout, logs the traffic, runs until SIGTERM or SIGINT.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>

#include "BoardCycle.h"
#include "SimulatedDevice.h"

namespace {

int SignalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(SignalPipe[1], &byte, 1);
}

bool ParseModel(const QString& text, std::array<quint8, 3>& out) {
    const QStringList parts = text.split(u':');
    if (parts.size() != 3) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        const uint value = parts[i].trimmed().toUInt(&ok, 0);
        if (!ok || value > 0xFF) {
            return false;
        }
        out[i] = static_cast<quint8>(value);
    }
    return true;
}

int Fail(const QString& text, int code = 2) {
    std::fprintf(stderr, "fwsim: %s\n", qPrintable(text));
    return code;
}

QString Summary(const DeviceCounters& c) {
    QString text = QStringLiteral("exchanges %1 (").arg(c.Exchanges);
    for (int i = 0; i < ExchangeKindCount; ++i) {
        text += QStringLiteral("%1%2 %3")
                    .arg(i ? QStringLiteral(", ") : QString())
                    .arg(ExchangeKindName(static_cast<ExchangeKind>(i)))
                    .arg(c.ByKind[i]);
    }
    text += QStringLiteral(
                "), faults %1, application starts %2, blocks erased %3, written %4, "
                "refused %5, read %6")
                .arg(c.FaultsInjected)
                .arg(c.ApplicationStarts)
                .arg(c.BlocksErased)
                .arg(c.BlocksWritten)
                .arg(c.BlocksRefused)
                .arg(c.BlocksRead);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fwsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The device's serial bootloader on a pseudo-terminal."));
    parser.addHelpOption();
    const QCommandLineOption comOption(QStringLiteral("com"),
                                       QStringLiteral("Publish the terminal as COM port <n>."),
                                       QStringLiteral("n"));
    const QCommandLineOption rootOption(
        QStringLiteral("store-root"),
        QStringLiteral("Per-machine store root that holds dosdevices/ (default: the program's)."),
        QStringLiteral("dir"));
    const QCommandLineOption modelOption(QStringLiteral("model"),
                                         QStringLiteral("Model bytes, such as 1:2:3 or 0x10:0:7."),
                                         QStringLiteral("a:b:c"), QStringLiteral("1:2:3"));
    const QCommandLineOption noMarkerOption(
        QStringLiteral("no-marker"), QStringLiteral("Connect reply without the 0x55 marker."));
    const QCommandLineOption onlyRateOption(QStringLiteral("only-rate"),
                                            QStringLiteral("Hear only bytes sent at <baud>."),
                                            QStringLiteral("baud"));
    const QCommandLineOption timingOption(
        QStringLiteral("line-timing"),
        QStringLiteral("Delay replies by the time request and reply take on the line."));
    const QCommandLineOption latencyOption(
        QStringLiteral("latency-timer"),
        QStringLiteral("Behind a USB-serial adapter: hold each reply until <ms> have passed since "
                       "its first byte unless 62 bytes fill a packet (FTDI: 16; low latency: 1)."),
        QStringLiteral("ms"));
    const QCommandLineOption memoryInOption(QStringLiteral("memory-in"),
                                            QStringLiteral("Start with this raw memory image."),
                                            QStringLiteral("file"));
    const QCommandLineOption memoryOutOption(QStringLiteral("memory-out"),
                                             QStringLiteral("Write the memory here when stopping."),
                                             QStringLiteral("file"));
    const QCommandLineOption logOption(
        QStringLiteral("log"), QStringLiteral("Traffic log file (default: stderr; - for stderr)."),
        QStringLiteral("file"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Log no traffic."));
    const QCommandLineOption faultOption(
        QStringLiteral("fault"),
        QStringLiteral("A fault, such as data#3:silence, connect:refuse, next:status=42, "
                       "read*:badxor, erase#2:late=1500, write:twice, go:junk or "
                       "random:silence=0.05,nack=0.02,late=0.01,latems=1100-2000,afterlate=0.5. "
                       "Actions: silence, drop, nack, status[=HH], badxor, flip, refuse, "
                       "wrongmodel, only9600, vanish, late[=ms] (the line stays that slow while "
                       "the late reply is on its way), twice[=ms gap], junk, miswrite (a data "
                       "block stored with one byte wrong, and acknowledged). Repeatable."),
        QStringLiteral("fault"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the random faults."),
                                        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption gapOption(
        QStringLiteral("quiet-gap"),
        QStringLiteral("Give up a half-received request after <ms> of quiet (default 200)."),
        QStringLiteral("ms"), QStringLiteral("200"));
    const QCommandLineOption reappearOption(
        QStringLiteral("reappear"),
        QStringLiteral("After vanishing, come back on a new terminal after <ms>."),
        QStringLiteral("ms"));
    const QCommandLineOption flashOption(
        QStringLiteral("flash"),
        QStringLiteral("Write data blocks as flash does: ANDed into memory, never erasing."));
    const QCommandLineOption keepBlockOption(
        QStringLiteral("keep-block"),
        QStringLiteral("Never give up an announced data block: take whatever comes next as it."));
    const QCommandLineOption replyDelayOption(
        QStringLiteral("reply-delay"),
        QStringLiteral("Answer every request <ms> late, one request at a time."),
        QStringLiteral("ms"));
    const QCommandLineOption asleepOption(
        QStringLiteral("asleep"),
        QStringLiteral("Switched on <ms> after starting (-1: never); nothing is heard before."),
        QStringLiteral("ms"));
    const QCommandLineOption textOption(
        QStringLiteral("text"),
        QStringLiteral("While not switched on, the application prints a line every <ms>."),
        QStringLiteral("ms"));
    // Boards that come and go, as in a fixture slot of a flashing station.
    const QCommandLineOption arriveOption(
        QStringLiteral("board-arrives"),
        QStringLiteral("The first board is put in <ms> after starting (boards come and go)."),
        QStringLiteral("ms"));
    const QCommandLineOption dwellOption(
        QStringLiteral("board-dwell"),
        QStringLiteral("A board is taken out <ms> after its last request other than Connect."),
        QStringLiteral("ms"));
    const QCommandLineOption nextOption(
        QStringLiteral("next-board"),
        QStringLiteral(
            "The next board, with erased memory, is put in <ms> after one is taken out."),
        QStringLiteral("ms"));
    const QCommandLineOption boardsOption(QStringLiteral("boards"),
                                          QStringLiteral("Boards in all (default: no limit)."),
                                          QStringLiteral("n"));
    const QCommandLineOption appOption(
        QStringLiteral("app"),
        QStringLiteral("After GoApplication the board runs its application: silent, or print "
                       "(a line every 200 ms); the bootloader then hears nothing."),
        QStringLiteral("silent|print"));
    const QCommandLineOption removalOption(
        QStringLiteral("removal"),
        QStringLiteral("How a board is taken out: silence (a wired fixture, the default) or "
                       "unplug (its port goes, as a USB adapter with the board)."),
        QStringLiteral("silence|unplug"));
    parser.addOptions(
        {arriveOption, dwellOption, nextOption, boardsOption, appOption, removalOption});
    parser.addOptions({comOption,       rootOption,       modelOption,    noMarkerOption,
                       onlyRateOption,  timingOption,     latencyOption,  memoryInOption,
                       memoryOutOption, logOption,        quietOption,    faultOption,
                       seedOption,      gapOption,        reappearOption, flashOption,
                       keepBlockOption, replyDelayOption, asleepOption,   textOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty()) {
        return Fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments()[0]));
    }

    SimulatedDevice device;
    std::array<quint8, 3> model{};
    if (!ParseModel(parser.value(modelOption), model)) {
        return Fail(QStringLiteral("--model takes three bytes such as 1:2:3"));
    }
    device.SetModel(model[0], model[1], model[2]);
    device.SetMarker(!parser.isSet(noMarkerOption));
    device.SetLineTiming(parser.isSet(timingOption));
    bool ok = true;
    if (parser.isSet(onlyRateOption)) {
        const int rate = parser.value(onlyRateOption).toInt(&ok);
        if (!ok || rate <= 0) {
            return Fail(QStringLiteral("--only-rate takes a rate in baud"));
        }
        device.SetOnlyRate(rate);
    }
    if (parser.isSet(latencyOption)) {
        const int latency = parser.value(latencyOption).toInt(&ok);
        if (!ok || latency < 0 || latency > 255) {
            return Fail(QStringLiteral("--latency-timer takes milliseconds from 0 to 255"));
        }
        device.SetLatencyTimerMs(latency);
    }
    const int gap = parser.value(gapOption).toInt(&ok);
    if (!ok || gap <= 0) {
        return Fail(QStringLiteral("--quiet-gap takes milliseconds"));
    }
    device.SetQuietGapMs(gap);
    device.SetFlash(parser.isSet(flashOption));
    device.SetKeepsAwaitedBlock(parser.isSet(keepBlockOption));
    const int replyDelay = parser.value(replyDelayOption).toInt(&ok);
    if (parser.isSet(replyDelayOption) && (!ok || replyDelay < 0)) {
        return Fail(QStringLiteral("--reply-delay takes milliseconds"));
    }
    device.SetReplyDelayMs(replyDelay);
    const int asleep = parser.value(asleepOption).toInt(&ok);
    if (parser.isSet(asleepOption) && (!ok || asleep < -1)) {
        return Fail(QStringLiteral("--asleep takes milliseconds or -1"));
    }
    const int textEvery = parser.value(textOption).toInt(&ok);
    if (parser.isSet(textOption) && (!ok || textEvery <= 0)) {
        return Fail(QStringLiteral("--text takes milliseconds"));
    }
    const quint32 seed = parser.value(seedOption).toUInt(&ok);
    if (!ok) {
        return Fail(QStringLiteral("--seed takes a whole number"));
    }
    device.SetRandomFaults({}, seed);
    for (const QString& faultText : parser.values(faultOption)) {
        QString error;
        if (!device.AddFault(faultText, &error)) {
            return Fail(QStringLiteral("--fault %1").arg(error));
        }
    }
    int com = 0;
    if (parser.isSet(comOption)) {
        com = parser.value(comOption).toInt(&ok);
        if (!ok || com < 1) {
            return Fail(QStringLiteral("--com takes a port number from 1"));
        }
    }
    int reappearMs = -1;
    if (parser.isSet(reappearOption)) {
        reappearMs = parser.value(reappearOption).toInt(&ok);
        if (!ok || reappearMs < 0) {
            return Fail(QStringLiteral("--reappear takes milliseconds"));
        }
    }
    if (parser.isSet(memoryInOption)) {
        QString error;
        if (!device.LoadMemory(parser.value(memoryInOption), &error)) {
            return Fail(error);
        }
    }

    BoardCycleSettings cycle;
    const bool cycling = parser.isSet(arriveOption) || parser.isSet(dwellOption) ||
                         parser.isSet(nextOption) || parser.isSet(appOption) ||
                         parser.isSet(removalOption);
    for (const auto& [option, field] :
         {std::pair{&arriveOption, &cycle.ArriveMs}, std::pair{&dwellOption, &cycle.DwellMs},
          std::pair{&nextOption, &cycle.NextMs}, std::pair{&boardsOption, &cycle.Boards}}) {
        if (parser.isSet(*option)) {
            *field = parser.value(*option).toInt(&ok);
            if (!ok || *field < 0) {
                return Fail(QStringLiteral("--%1 takes a whole number from 0")
                                .arg(option->names().first()));
            }
        }
    }
    const QString afterGo = parser.value(appOption);
    if (!afterGo.isEmpty() && afterGo != u"silent" && afterGo != u"print") {
        return Fail(QStringLiteral("--app is silent or print"));
    }
    cycle.AfterGo = afterGo == u"silent"  ? BoardCycleSettings::App::Silent
                    : afterGo == u"print" ? BoardCycleSettings::App::Printing
                                          : BoardCycleSettings::App::Bootloader;
    const QString removal = parser.value(removalOption);
    if (!removal.isEmpty() && removal != u"silence" && removal != u"unplug") {
        return Fail(QStringLiteral("--removal is silence or unplug"));
    }
    cycle.Unplug = removal == u"unplug";

    QFile logFile;
    QTextStream log;
    if (!parser.isSet(quietOption)) {
        const QString logPath = parser.value(logOption);
        if (logPath.isEmpty() || logPath == QLatin1String("-")) {
            logFile.open(stderr, QIODevice::WriteOnly);
        } else {
            logFile.setFileName(logPath);
            if (!logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
                return Fail(QStringLiteral("%1: %2").arg(logPath, logFile.errorString()));
            }
        }
        log.setDevice(&logFile);
        device.SetTrafficSink([&log](const TrafficRecord& record) {
            log << FormatTrafficRecord(record) << '\n';
            log.flush();
        });
    }
    device.SetTrafficLimit(0);  // a long run keeps nothing in memory

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) != 0) {
        return Fail(QStringLiteral("cannot set up signal handling"), 1);
    }
    QSocketNotifier signalNotifier(SignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char byte;
        [[maybe_unused]] const ssize_t ignored = ::read(SignalPipe[0], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);

    QString error;
    if (!device.Start(&error)) {
        return Fail(error, 1);
    }
    if (parser.isSet(asleepOption) || parser.isSet(textOption)) {
        device.SetAsleep(parser.isSet(asleepOption) ? asleep : -1, textEvery);
    }
    std::printf("terminal %s\n", qPrintable(device.TerminalPath()));
    if (com > 0) {
        if (!device.PublishAsComPort(com, parser.value(rootOption), &error)) {
            device.Stop();
            return Fail(error, 1);
        }
        std::printf("com %d %s\n", com, qPrintable(device.ComLinkPath()));
    }
    std::fflush(stdout);

    QObject::connect(&device, &SimulatedDevice::Vanished, &app, [&] {
        if (reappearMs >= 0) {
            QTimer::singleShot(reappearMs, &device, [&] {
                QString restartError;
                if (device.Start(&restartError)) {
                    std::printf("terminal %s\n", qPrintable(device.TerminalPath()));
                    std::fflush(stdout);
                } else {
                    std::fprintf(stderr, "fwsim: %s\n", qPrintable(restartError));
                }
            });
        }
    });

    BoardCycle boards(device, cycle);
    QElapsedTimer sinceStart;
    sinceStart.start();
    auto tell = [&](const char* what, int board) {
        std::printf("board %d %s %lld\n", board, what,
                    static_cast<long long>(sinceStart.elapsed()));
        std::fflush(stdout);
    };
    QObject::connect(&boards, &BoardCycle::BoardIn, &app, [&](int board) { tell("in", board); });
    QObject::connect(&boards, &BoardCycle::BoardOut, &app, [&](int board) { tell("out", board); });
    if (cycling) {
        boards.Start();
    }

    app.exec();

    device.Stop();
    int code = 0;
    if (parser.isSet(memoryOutOption)) {
        if (!device.SaveMemory(parser.value(memoryOutOption), &error)) {
            std::fprintf(stderr, "fwsim: %s\n", qPrintable(error));
            code = 1;
        }
    }
    std::fprintf(stderr, "fwsim: %s\n", qPrintable(Summary(device.Counters())));
    return code;
}
