#include "StationDisplay.h"

#include <QJsonDocument>
#include <algorithm>
#include <cmath>

namespace {

constexpr int DefaultColumns = 80;

QString YieldPercent(int passed, int boards) {
    return boards == 0 ? QStringLiteral("-")
                       : QStringLiteral("%1%").arg(100.0 * passed / boards, 0, 'f', 1);
}

}  // namespace

void YieldCount::Add(PortEnding ending) {
    (ending == PortEnding::Success ? Passed : Failed) += 1;
    ++ByEnding[static_cast<int>(ending)];
}

QString YieldCount::Text() const {
    QStringList failures;
    for (int e = 0; e < PortEndingCount; ++e) {
        const auto ending = static_cast<PortEnding>(e);
        if (ending != PortEnding::Success && ByEnding[e] > 0) {
            failures << QStringLiteral("%1 %2").arg(ByEnding[e]).arg(EndingName(ending));
        }
    }
    return QStringLiteral("%1 passed, %2 failed%3, yield %4")
        .arg(Passed)
        .arg(Failed)
        .arg(failures.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(failures.join(", ")))
        .arg(YieldPercent(Passed, Boards()));
}

QJsonObject YieldCount::Json() const {
    QJsonObject endings;
    for (int e = 0; e < PortEndingCount; ++e) {
        if (ByEnding[e] > 0) {
            endings.insert(EndingName(static_cast<PortEnding>(e)), ByEnding[e]);
        }
    }
    return {{"boards", Boards()},
            {"passed", Passed},
            {"failed", Failed},
            {"yield", Boards() == 0 ? 0.0 : std::round(1000.0 * Passed / Boards()) / 1000.0},
            {"endings", endings}};
}

StationDisplay::StationDisplay(Console& console, bool json, bool quiet, const QStringList& labels)
    : Output(console), Json(json), Quiet(quiet), Live(!json && console.OutIsTerminal()) {
    Clock.start();
    for (const QString& label : labels) {
        Slots.push_back({label, SlotState::Waiting, 0, 0, {}, {}});
        Width = std::max(Width, static_cast<int>(label.size()));
    }
    if (Live) {
        Output.Out(Draw());
    }
}

void StationDisplay::Emit(QJsonObject object, int slot) {
    if (slot >= 0) {
        object.insert("port", Slots[slot].Label);
    }
    object.insert("t", std::round(static_cast<double>(Clock.elapsed())) / 1000.0);
    Output.Out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + u'\n');
}

void StationDisplay::Above(const QString& text, bool toErr) {
    if (!Live) {
        (toErr ? Output.Err(text + u'\n') : Output.Out(text + u'\n'));
        return;
    }
    if (toErr) {
        Output.Out(Erase());
        Output.Err(text + u'\n');
        Output.Out(Draw());
    } else {
        const QString erase = Erase();
        Output.Out(erase + text + u'\n' + Draw());
    }
}

void StationDisplay::Error(int slot, const QString& text) {
    const QString prefix = slot < 0 ? QString() : Slots[slot].Label + QStringLiteral(": ");
    if (Json) {
        Output.Err(QStringLiteral("fwloader-cli: %1%2\n").arg(prefix, text));
        Emit({{"event", "error"}, {"message", text}}, slot);
        return;
    }
    Above(QStringLiteral("fwloader-cli: %1%2").arg(prefix, text), true);
}

void StationDisplay::Warning(int slot, const QString& text) {
    const QString prefix = slot < 0 ? QString() : Slots[slot].Label + QStringLiteral(": ");
    if (Json) {
        Output.Err(QStringLiteral("fwloader-cli: warning: %1%2\n").arg(prefix, text));
        Emit({{"event", "warning"}, {"message", text}}, slot);
        return;
    }
    Above(QStringLiteral("fwloader-cli: warning: %1%2").arg(prefix, text), true);
}

void StationDisplay::State(int slot, SlotState state) {
    Slots[slot].Now = state;
    Dirty = true;
    if (Json) {
        Emit({{"event", "state"}, {"state", SlotStateName(state)}}, slot);
    }
}

void StationDisplay::Arrived(int slot, int board, const QString& unit) {
    Slot& s = Slots[slot];
    s.Board = board;
    s.Fraction = 0;
    if (Json) {
        QJsonObject object{{"event", "arrived"}, {"board", board}};
        if (!unit.isEmpty()) {
            object.insert("unit", unit);
        }
        Emit(object, slot);
    } else if (!Live && !Quiet) {
        Output.Out(QStringLiteral("%1  board %2 arrived%3\n")
                       .arg(s.Label.leftJustified(Width))
                       .arg(board)
                       .arg(unit.isEmpty() ? QString() : QStringLiteral(" (unit %1)").arg(unit)));
    }
}

void StationDisplay::Progress(int slot, double fraction) {
    Slots[slot].Fraction = fraction;
    Dirty = true;
}

void StationDisplay::Finished(int slot, int board, const PortResult& result) {
    Slot& s = Slots[slot];
    s.Yield.Add(result.Ending);
    s.Last = EndingName(result.Ending);
    Dirty = true;
    if (Json) {
        QJsonObject object = ResultObject(s.Label, result);
        object.insert("board", board);
        Emit(object, slot);
        return;
    }
    Above(QStringLiteral("%1  board %2  %3")
              .arg(s.Label.leftJustified(Width))
              .arg(board)
              .arg(HumanReporter::ResultText(result)),
          false);
}

void StationDisplay::Left(int slot, int board) {
    Dirty = true;
    if (Json) {
        Emit({{"event", "left"}, {"board", board}}, slot);
    } else if (!Live && !Quiet) {
        Output.Out(QStringLiteral("%1  board %2 left\n")
                       .arg(Slots[slot].Label.leftJustified(Width))
                       .arg(board));
    }
}

void StationDisplay::Locked(int slot, int failures) {
    const QString text =
        QStringLiteral(
            "locked out after %1 failed boards in a row: check the fixture (a pin, the "
            "cable), then type \"%2\" and Enter to go on")
            .arg(failures)
            .arg(Slots[slot].Label);
    if (Json) {
        Emit({{"event", "locked"}, {"failures", failures}}, slot);
    }
    Warning(slot, text);
}

YieldCount StationDisplay::Total() const {
    YieldCount total;
    for (const Slot& slot : Slots) {
        total.Passed += slot.Yield.Passed;
        total.Failed += slot.Yield.Failed;
        for (int e = 0; e < PortEndingCount; ++e) {
            total.ByEnding[e] += slot.Yield.ByEnding[e];
        }
    }
    return total;
}

void StationDisplay::Summary(int exitStatus) {
    if (Live) {
        Output.Out(Erase());
    }
    if (Json) {
        QJsonObject perSlot;
        for (const Slot& slot : Slots) {
            perSlot.insert(slot.Label, slot.Yield.Json());
        }
        Emit({{"event", "summary"},
              {"exit", exitStatus},
              {"station", Total().Json()},
              {"slots", perSlot}},
             -1);
        return;
    }
    if (exitStatus == 130) {
        Output.Err(QStringLiteral("fwloader-cli: interrupted\n"));
    }
    for (const Slot& slot : Slots) {
        Output.Out(QStringLiteral("%1  %2 boards: %3\n")
                       .arg(slot.Label.leftJustified(Width))
                       .arg(slot.Yield.Boards())
                       .arg(slot.Yield.Text()));
    }
    Output.Out(
        QStringLiteral("station: %1 boards: %2\n").arg(Total().Boards()).arg(Total().Text()));
}

QString StationDisplay::LiveLine(const Slot& slot) const {
    QString state = SlotStateName(slot.Now);
    if (slot.Now == SlotState::Flashing) {
        state += QStringLiteral(" %1%").arg(
            static_cast<int>(std::lround(std::clamp(slot.Fraction, 0.0, 1.0) * 100.0)), 3);
    }
    // The last board's ending last: a narrow terminal cuts it first.
    const QString line = QStringLiteral("%1  %2  board %3  yield %4/%5 %6  last %7")
                             .arg(slot.Label.leftJustified(Width), state.leftJustified(13))
                             .arg(slot.Board)
                             .arg(slot.Yield.Passed)
                             .arg(slot.Yield.Boards())
                             .arg(YieldPercent(slot.Yield.Passed, slot.Yield.Boards()))
                             .arg(slot.Last.isEmpty() ? QStringLiteral("-") : slot.Last);
    const int columns = Output.Columns() > 0 ? Output.Columns() : DefaultColumns;
    return line.left(std::max(1, columns - 1));
}

QString StationDisplay::Erase() {
    if (Drawn == 0) {
        return {};
    }
    const QString erase = QStringLiteral("\x1b[%1A\r\x1b[J").arg(Drawn);
    Drawn = 0;
    return erase;
}

QString StationDisplay::Draw() {
    QString out;
    for (const Slot& slot : Slots) {
        out += LiveLine(slot) + u'\n';
    }
    Drawn = static_cast<int>(Slots.size());
    Dirty = false;
    return out;
}

void StationDisplay::Tick() {
    if (Live && Dirty) {
        const QString erase = Erase();
        Output.Out(erase + Draw());
    }
}
