// soak: runs many Update and Read sessions of the program against the
// simulated device, each with its own random image and faults, and checks
// after every one that it ended in exactly one of the endings of a session
// and left the device, the image, the port and the timer as it must.
//
//   soak [--sessions N] [--seed S] [--time-scale F] [--fault-level F]
//        [--session-seed S[,S...]] [--session-timeout MS] [--quiet|--verbose|--trace]
//
// Exit status: 0 when every session kept every rule, 1 when one did not,
// 2 when the soak could not run.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <algorithm>
#include <cstdio>

#include "SoakJudge.h"
#include "SoakPlan.h"
#include "SoakRig.h"

namespace {

// Every interval of the program (watchdog 1000 ms, 3000 ms after an
// unrecognised reply, closing delays, the 100 ms pause) and of the device
// (its quiet gap, late replies, the operator's reading time) is multiplied
// by this. The transfer itself runs at the speed of the terminal.
constexpr double DefaultTimeScale = 0.1;

int Fail(const QString& text) {
    std::fprintf(stderr, "soak: %s\n", qPrintable(text));
    return 2;
}

bool ParseSeed(const QString& text, quint32& out) {
    bool ok = false;
    const qulonglong value = text.trimmed().toULongLong(&ok, 0);
    if (!ok || value > 0xFFFFFFFFull) {
        return false;
    }
    out = static_cast<quint32>(value);
    return true;
}

QString Hex(quint32 seed) {
    return QStringLiteral("0x%1").arg(seed, 8, 16, QLatin1Char('0'));
}

QString FaultSummary(const SessionRecord& record) {
    QStringList parts;
    for (int i = 1; i < FaultKindCount; ++i) {
        if (record.Device.ByFault[i] > 0) {
            parts.append(QStringLiteral("%1=%2")
                             .arg(FaultKindName(static_cast<FaultKind>(i)))
                             .arg(record.Device.ByFault[i]));
        }
    }
    if (record.SplitReplies > 0) {
        parts.append(
            QStringLiteral("split=%1 (late %2)").arg(record.SplitReplies).arg(record.LateReplies));
    }
    if (record.StrayBytesInPause > 0) {
        parts.append(QStringLiteral("pause-stray=%1").arg(record.StrayBytesInPause));
    }
    if (record.Device.SkippedBytes > 0) {
        parts.append(QStringLiteral("device-skipped=%1").arg(record.Device.SkippedBytes));
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(u' ');
}

void Print(const QString& text) {
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("soak"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs randomized Update and Read sessions against the simulated device and checks "
        "how each one ends."));
    parser.addHelpOption();
    const QCommandLineOption sessionsOption(QStringLiteral("sessions"),
                                            QStringLiteral("Number of sessions (1000)."),
                                            QStringLiteral("N"), QStringLiteral("1000"));
    const QCommandLineOption seedOption(QStringLiteral("seed"),
                                        QStringLiteral("Seed of the run (random when not given)."),
                                        QStringLiteral("S"));
    const QCommandLineOption sessionSeedOption(
        QStringLiteral("session-seed"),
        QStringLiteral("Run only the sessions with these seeds, as printed with a violation."),
        QStringLiteral("S[,S...]"));
    const QCommandLineOption scaleOption(
        QStringLiteral("time-scale"),
        QStringLiteral("Factor on every interval of program and device (%1).")
            .arg(DefaultTimeScale),
        QStringLiteral("F"), QString::number(DefaultTimeScale));
    const QCommandLineOption levelOption(
        QStringLiteral("fault-level"),
        QStringLiteral("Factor on the chance of each kind of fault (1; 0: none)."),
        QStringLiteral("F"), QStringLiteral("1"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("session-timeout"),
        QStringLiteral("Real milliseconds after which a session counts as hung."),
        QStringLiteral("MS"));
    const QCommandLineOption earlyReadsOption(
        QStringLiteral("no-late-read-blocks"),
        QStringLiteral("Let read blocks split in two come only before the watchdog's second."));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("Print only violations and the summary."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Print a line for every session."));
    const QCommandLineOption traceOption(
        QStringLiteral("trace"),
        QStringLiteral("Print the device's traffic (up to 20000 records) after every session."));
    parser.addOptions({sessionsOption, seedOption, sessionSeedOption, scaleOption, levelOption,
                       timeoutOption, earlyReadsOption, quietOption, verboseOption, traceOption});
    parser.process(app);

    bool ok = false;
    const int sessions = parser.value(sessionsOption).toInt(&ok);
    if (!ok || sessions < 1) {
        return Fail(QStringLiteral("--sessions wants a positive number"));
    }
    const double scale = parser.value(scaleOption).toDouble(&ok);
    if (!ok || !(scale > 0.0 && scale <= 10.0)) {
        return Fail(QStringLiteral("--time-scale wants a number above 0 and at most 10"));
    }
    SoakMix mix;
    mix.Level = parser.value(levelOption).toDouble(&ok);
    if (!ok || !(mix.Level >= 0.0)) {
        return Fail(QStringLiteral("--fault-level wants a number of 0 or more"));
    }
    mix.LateReadBlocks = !parser.isSet(earlyReadsOption);
    quint32 runSeed = QRandomGenerator::global()->generate();
    if (parser.isSet(seedOption) && !ParseSeed(parser.value(seedOption), runSeed)) {
        return Fail(QStringLiteral("--seed wants a number up to 0xFFFFFFFF"));
    }
    QList<quint32> seeds;
    if (parser.isSet(sessionSeedOption)) {
        for (const QString& text : parser.value(sessionSeedOption).split(u',')) {
            quint32 seed = 0;
            if (!ParseSeed(text, seed)) {
                return Fail(QStringLiteral("--session-seed: \"%1\" is not a seed").arg(text));
            }
            seeds.append(seed);
        }
    } else {
        for (int i = 0; i < sessions; ++i) {
            seeds.append(SessionSeed(runSeed, i));
        }
    }
    const bool quiet = parser.isSet(quietOption);
    const bool trace = parser.isSet(traceOption);
    const bool verbose = parser.isSet(verboseOption) || trace;

    SoakRig rig(scale);
    if (parser.isSet(timeoutOption)) {
        const int timeout = parser.value(timeoutOption).toInt(&ok);
        if (!ok || timeout < 1) {
            return Fail(QStringLiteral("--session-timeout wants a positive number"));
        }
        rig.SetSessionTimeoutMs(timeout);
    }
    if (scale < 0.05) {
        Print(
            QStringLiteral("soak: note: below a time scale of 0.05 the scaled intervals come "
                           "near the scheduling delays of a loaded machine; a reply may then "
                           "come after the watchdog's interval by chance"));
    }
    QString error;
    if (!rig.Start(&error)) {
        return Fail(error);
    }

    Print(QStringLiteral("soak: %1 sessions, seed %2, time scale %3 (watchdog %4 ms, after an "
                         "unrecognised reply %5 ms, device quiet gap %6 ms), fault level %7, "
                         "hang after %8 ms")
              .arg(seeds.size())
              .arg(parser.isSet(sessionSeedOption) ? QStringLiteral("-") : Hex(runSeed))
              .arg(scale)
              .arg(ScaledMs(1000, scale))
              .arg(ScaledMs(3000, scale))
              .arg(rig.QuietGapMs())
              .arg(mix.Level)
              .arg(rig.SessionTimeout()));

    std::array<std::array<int, SessionEndingCount>, 2> endings{};  // [update?][ending]
    int violations = 0;
    int violatingSessions = 0;
    QElapsedTimer wall;
    wall.start();
    for (qsizetype i = 0; i < seeds.size(); ++i) {
        const SessionPlan plan = MakeSessionPlan(seeds[i], mix);
        QElapsedTimer clock;
        clock.start();
        SessionRecord record;
        if (!rig.Run(plan, record, &error)) {
            return Fail(
                QStringLiteral("session %1 (seed %2): %3").arg(i).arg(Hex(plan.Seed), error));
        }
        const Judgement judgement = JudgeSession(plan, record);
        ++endings[plan.Update ? 0 : 1][static_cast<int>(judgement.Ending)];

        const QString line =
            QStringLiteral("#%1 seed %2 %3 faults: %4 -> %5 (%6 exchanges, %7 questions, %8 ms)")
                .arg(i)
                .arg(Hex(plan.Seed), plan.Describe(), FaultSummary(record),
                     EndingName(judgement.Ending))
                .arg(record.Device.Exchanges)
                .arg(std::count_if(record.Messages.begin(), record.Messages.end(),
                                   [](const ShownMessage& m) { return m.Text == QuestionText; }))
                .arg(clock.elapsed());
        if (verbose) {
            Print(line);
        }
        if (trace) {
            for (const QString& t : rig.LastTraffic(20000)) {
                Print(QStringLiteral("    ") + t);
            }
        }
        if (!judgement.Violations.isEmpty()) {
            violations += static_cast<int>(judgement.Violations.size());
            ++violatingSessions;
            if (!verbose) {
                Print(line);
            }
            for (const QString& v : judgement.Violations) {
                Print(QStringLiteral("  VIOLATION: %1").arg(v));
            }
            if (record.Device.SkippedBytes > 0 || record.Device.DroppedPartials > 0) {
                Print(QStringLiteral("  note: the device lost the framing of the program's bytes "
                                     "(%1 bytes skipped, %2 requests given up); a stall of this "
                                     "process longer than the device's quiet gap (%3 ms) between "
                                     "an acknowledgement and its data block does that")
                          .arg(record.Device.SkippedBytes)
                          .arg(record.Device.DroppedPartials)
                          .arg(rig.QuietGapMs()));
            }
            Print(QStringLiteral("  messages: %1").arg([&] {
                QStringList texts;
                for (const ShownMessage& m : record.Messages) {
                    texts.append(m.Text + (m.Buttons == MessageButtons::RetryCancel
                                               ? (m.Answer == MessageAnswer::Retry
                                                      ? QStringLiteral(" [Retry]")
                                                      : QStringLiteral(" [Cancel]"))
                                               : QString()));
                }
                return texts.join(QStringLiteral(" | "));
            }()));
            Print(QStringLiteral("  reproduce: soak --session-seed %1 --time-scale %2 "
                                 "--fault-level %3%4 --trace")
                      .arg(Hex(plan.Seed))
                      .arg(scale)
                      .arg(mix.Level)
                      .arg(mix.LateReadBlocks ? QString()
                                              : QStringLiteral(" --no-late-read-blocks")));
            if (verbose && !trace) {
                for (const QString& t : rig.LastTraffic(40)) {
                    Print(QStringLiteral("    ") + t);
                }
            }
        }
        if (!quiet && !verbose && (i + 1) % 100 == 0) {
            Print(QStringLiteral("  %1 sessions, %2 s, %3 violations")
                      .arg(i + 1)
                      .arg(wall.elapsed() / 1000.0, 0, 'f', 1)
                      .arg(violations));
        }
    }
    const double seconds = wall.elapsed() / 1000.0;

    Print(QString());
    Print(QStringLiteral("%1 %2 %3 %4")
              .arg(QStringLiteral("Ending"), -28)
              .arg(QStringLiteral("Update"), 7)
              .arg(QStringLiteral("Read"), 7)
              .arg(QStringLiteral("Total"), 7));
    int total[2] = {0, 0};
    for (int e = 0; e < SessionEndingCount; ++e) {
        const int u = endings[0][e];
        const int r = endings[1][e];
        total[0] += u;
        total[1] += r;
        if (u + r == 0 && (e == static_cast<int>(SessionEnding::Hang) ||
                           e == static_cast<int>(SessionEnding::Unclassified))) {
            continue;
        }
        Print(QStringLiteral("%1 %2 %3 %4")
                  .arg(EndingName(static_cast<SessionEnding>(e)), -28)
                  .arg(u, 7)
                  .arg(r, 7)
                  .arg(u + r, 7));
    }
    Print(QStringLiteral("%1 %2 %3 %4")
              .arg(QStringLiteral("all sessions"), -28)
              .arg(total[0], 7)
              .arg(total[1], 7)
              .arg(total[0] + total[1], 7));

    const RigTotals& t = rig.Totals;
    auto fault = [&](FaultKind kind) { return t.ByFault[static_cast<int>(kind)]; };
    Print(QString());
    Print(QStringLiteral("Faults injected"));
    const QList<QPair<QString, int>> faults = {
        {QStringLiteral("silence (request not heard)"), fault(FaultKind::Silence)},
        {QStringLiteral("dropped command reply"), fault(FaultKind::DropReply) - t.LostDataReplies},
        {QStringLiteral("lost data-block reply"), t.LostDataReplies},
        {QStringLiteral("NACK (0x1F)"), fault(FaultKind::Nack)},
        {QStringLiteral("unrecognised status byte"), fault(FaultKind::BadStatus)},
        {QStringLiteral("read block with bad XOR byte"), fault(FaultKind::CorruptXor)},
        {QStringLiteral("read block with a flipped byte"), fault(FaultKind::FlipByte)},
        {QStringLiteral("Connect refused"), fault(FaultKind::RefuseConnect)},
        {QStringLiteral("wrong model"), fault(FaultKind::WrongModel)},
        {QStringLiteral("Connect not at 9600 unheard"), fault(FaultKind::Only9600)},
        {QStringLiteral("device vanished"), fault(FaultKind::Vanish)},
        {QStringLiteral("late reply (slow line)"), fault(FaultKind::LateReply)},
        {QStringLiteral("answer given twice"), fault(FaultKind::Twice)},
        {QStringLiteral("junk behind an answer"), fault(FaultKind::Junk)},
        {QStringLiteral("reply cut by the watchdog's second"), fault(FaultKind::CutReply)},
        {QStringLiteral("stray byte before an answer"), fault(FaultKind::StrayBefore)},
        {QStringLiteral("slow block, copies served in turn"), fault(FaultKind::Slow)},
        {QStringLiteral("late answer, then a babbling line"), fault(FaultKind::Babble)},
        {QStringLiteral("stray bytes in the pause (soak)"), t.PauseStrays},
        {QStringLiteral("reply in two pieces (soak)"), t.SplitReplies},
        {QStringLiteral("  of them late (soak)"), t.LateReplies},
        {QStringLiteral("port missing (soak)"), t.PortMissing},
        {QStringLiteral("port held elsewhere (soak)"), t.PortBusy},
        {QStringLiteral("window closed (soak)"), t.OperatorCloses},
    };
    for (const auto& [name, count] : faults) {
        Print(QStringLiteral("  %1 %2").arg(name, -34).arg(count, 7));
    }
    Print(QString());
    Print(QStringLiteral("Boards (sessions, of them ended in success)"));
    const QList<QPair<QString, QString>> boards = {
        {QStringLiteral("slow"), QStringLiteral("answers every request 1.1 to 2 s late")},
        {QStringLiteral("late-on"), QStringLiteral("switched on 1 to 9 s late")},
        {QStringLiteral("text"), QStringLiteral("application still printing text")},
        {QStringLiteral("flash"), QStringLiteral("flash, keeps an announced block")},
    };
    for (const auto& [kind, name] : boards) {
        const auto counts = t.Boards.value(kind);
        Print(
            QStringLiteral("  %1 %2 %3").arg(name, -34).arg(counts.first, 7).arg(counts.second, 7));
    }
    Print(QString());
    Print(QStringLiteral("Operator: %1 questions (%2 Retry, %3 Cancel), %4 boxes held open; "
                         "delivered while a box was open: %5 port events, %6 Timer1 ticks")
              .arg(rig.Operator.Questions)
              .arg(rig.Operator.Retries)
              .arg(rig.Operator.Cancels)
              .arg(rig.Operator.Held)
              .arg(rig.Watch.SerialEvents)
              .arg(rig.Watch.TimerTicks));
    Print(QStringLiteral("Device: %1 exchanges, %2 bytes skipped, %3 partial requests given up, "
                         "%4 bytes written over unerased memory; port: %5 failed writes, %6 line "
                         "errors")
              .arg(t.Exchanges)
              .arg(t.SkippedBytes)
              .arg(t.DroppedPartials)
              .arg(t.UnerasedWrites)
              .arg(t.FailedWrites)
              .arg(t.LineErrors));
    Print(QStringLiteral("Sessions: %1 in %2 s (%3 s each); seed %4; time scale %5")
              .arg(seeds.size())
              .arg(seconds, 0, 'f', 1)
              .arg(seconds / static_cast<double>(seeds.size()), 0, 'f', 3)
              .arg(parser.isSet(sessionSeedOption) ? QStringLiteral("-") : Hex(runSeed))
              .arg(scale));
    Print(QStringLiteral("Invariant violations: %1 (in %2 sessions)")
              .arg(violations)
              .arg(violatingSessions));
    return violations == 0 ? 0 : 1;
}
