#include "Reporter.h"

#include <QJsonDocument>
#include <algorithm>
#include <cmath>

namespace {

constexpr int BarWidth = 20;
// Assumed where the terminal does not tell its size.
constexpr int DefaultColumns = 80;
constexpr int DefaultRows = 24;
constexpr int FewestRows = 3;
// How much of a label a compact cell shows.
constexpr int CellLabelWidth = 14;
// Labels are padded to line up up to this width; longer ones stand as they are.
constexpr int MaxPaddedWidth = 24;

int Percent(double fraction) {
    return static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 100.0));
}

double Rounded(double seconds) {
    return std::round(seconds * 1000.0) / 1000.0;
}

QString AddressText(int address) {
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(address, 4, 16, QLatin1Char('0')).toUpper();
}

// text in exactly width characters: padded, or cut from the left (port names
// differ at their ends: /dev/serial/by-path/...-port0).
QString Fit(const QString& text, int width) {
    if (text.size() <= width) {
        return text.leftJustified(width);
    }
    return width <= 1 ? text.right(width) : QStringLiteral("…") + text.right(width - 1);
}

QString PortPrefix(const QString& port) {
    return port.isEmpty() ? QString() : port + QStringLiteral(": ");
}

}  // namespace

QJsonObject OutcomeFields(const PortResult& result) {
    QJsonObject object{
        {"ending", EndingName(result.Ending)},
        {"detail", result.Detail},
        {"seconds", Rounded(result.Seconds)},
        {"bytes_sent", static_cast<double>(result.BytesSent)},
        {"bytes_received", static_cast<double>(result.BytesReceived)},
        {"retries", result.Retries},
    };
    if (result.Ending != PortEnding::Success) {
        object.insert("address", result.Address);
        object.insert("half_written", result.HalfWritten);
    }
    if (result.Verified) {
        object.insert("verified", *result.Verified);
        object.insert("verify_seconds", Rounded(result.VerifySeconds));
    }
    return object;
}

QJsonObject ResultObject(const QString& port, const PortResult& result) {
    QJsonObject object = OutcomeFields(result);
    object.insert("port", port);
    object.insert("event", "result");
    object.insert("ok", result.Ending == PortEnding::Success);
    object.insert("message", result.Message);
    if (result.LogKept) {
        object.insert("logged", result.Logged);
    }
    return object;
}

void JsonReporter::Emit(const QJsonObject& object) {
    Output.Out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + u'\n');
}

void JsonReporter::Tell(const QString& event, const QString& port, const QString& text) {
    Output.Err(QStringLiteral("fwloader-cli: %1%2%3\n")
                   .arg(event == u"warning" ? QStringLiteral("warning: ") : QString(),
                        PortPrefix(port), text));
    QJsonObject object{{"event", event}, {"message", text}};
    if (!port.isEmpty()) {
        object.insert("port", port);
    }
    Emit(object);
}

void JsonReporter::Error(const QString& port, const QString& text) {
    Tell(QStringLiteral("error"), port, text);
}

void JsonReporter::Warning(const QString& port, const QString& text) {
    Tell(QStringLiteral("warning"), port, text);
}

void JsonReporter::Started(const std::vector<PortStart>& ports) {
    for (const PortStart& start : ports) {
        Labels << start.Label;
        Endings.push_back(PortEnding::Interrupted);
        QJsonObject object = start.Details;
        object.insert("port", start.Label);
        object.insert("event", "start");
        object.insert("command", start.Command);
        object.insert("device", start.Device);
        Emit(object);
    }
}

void JsonReporter::Progress(int index, double fraction, int address) {
    Emit({{"port", Labels[index]},
          {"event", "progress"},
          {"percent", Percent(fraction)},
          {"address", address}});
}

void JsonReporter::Question(int index, const QString& text, bool retried) {
    Emit({{"port", Labels[index]},
          {"event", "question"},
          {"text", text},
          {"answer", retried ? "retry" : "cancel"}});
}

void JsonReporter::Finished(int index, const PortResult& result) {
    Endings[index] = result.Ending;
    Unlogged += result.LogKept && !result.Logged ? 1 : 0;
    Emit(ResultObject(Labels[index], result));
}

void JsonReporter::Summary(int exitStatus) {
    QJsonObject endings;
    for (int e = 0; e < PortEndingCount; ++e) {
        const auto ending = static_cast<PortEnding>(e);
        endings.insert(EndingName(ending),
                       static_cast<int>(std::count(Endings.begin(), Endings.end(), ending)));
    }
    const int sessions = static_cast<int>(Labels.size());
    const int succeeded =
        static_cast<int>(std::count(Endings.begin(), Endings.end(), PortEnding::Success));
    Emit({{"event", "summary"},
          {"sessions", sessions},
          {"succeeded", succeeded},
          {"failed", sessions - succeeded},
          {"endings", endings},
          {"unlogged", Unlogged},
          {"exit", exitStatus}});
}

HumanReporter::HumanReporter(Console& console, bool quiet)
    : Output(console), Quiet(quiet), Live(!quiet && console.OutIsTerminal()) {}

QString HumanReporter::ResultText(const PortResult& result) {
    QString text = EndingName(result.Ending).leftJustified(17) +
                   QStringLiteral("%1 B sent, %2 B received, %3 s")
                       .arg(result.BytesSent)
                       .arg(result.BytesReceived)
                       .arg(result.Seconds, 0, 'f', 2);
    if (!result.Message.isEmpty()) {
        text += QStringLiteral(": ") + result.Message;
    }
    if (result.Verified.value_or(false)) {
        text += QStringLiteral(", read back equal in %1 s").arg(result.VerifySeconds, 0, 'f', 2);
    }
    if (!result.Detail.isEmpty()) {
        text += QStringLiteral(" (%1)").arg(result.Detail);
    }
    if (result.LogKept && !result.Logged) {
        text += QStringLiteral(" [NOT LOGGED]");
    }
    return text;
}

QString HumanReporter::Padded(const QString& label) const {
    return label.leftJustified(std::min(LabelWidth, MaxPaddedWidth));
}

QString HumanReporter::BarLine(const Line& line, int width) const {
    const int filled = static_cast<int>(std::floor(std::clamp(line.Fraction, 0.0, 1.0) * BarWidth));
    QString tail = QStringLiteral("  [%1%2] %3%  %4  %5 s")
                       .arg(QString(filled, u'#'), QString(BarWidth - filled, u'-'))
                       .arg(Percent(line.Fraction), 3)
                       .arg(AddressText(line.Address))
                       .arg(static_cast<double>(Clock.elapsed()) / 1000.0, 6, 'f', 1);
    constexpr int ShortestLabel = 8;
    if (width - static_cast<int>(tail.size()) < ShortestLabel) {
        tail = QStringLiteral(" %1%").arg(Percent(line.Fraction), 3);  // a narrow terminal
    }
    const int labelWidth = std::max(1, std::min(LabelWidth, width - static_cast<int>(tail.size())));
    return (Fit(line.Label, labelWidth) + tail).left(width);
}

QStringList HumanReporter::Block() const {
    // The last column is left free: a line that fills it wraps on some
    // terminals, and the block would be one line longer than counted.
    const int width = (Output.Columns() > 0 ? Output.Columns() : DefaultColumns) - 1;
    const int rows = std::max(FewestRows, Output.Rows() > 0 ? Output.Rows() : DefaultRows);
    std::vector<const Line*> running;
    for (const Line& line : Lines) {
        if (!line.Done) {
            running.push_back(&line);
        }
    }
    QStringList block;
    if (static_cast<int>(running.size()) < rows) {
        for (const Line* line : running) {
            block << BarLine(*line, width);
        }
        return block;
    }
    // More ports than rows: a cell per port, as many to a line as fit, and
    // no more lines than the terminal has rows to spare.
    const int cellLabel = std::min(LabelWidth, CellLabelWidth);
    std::vector<int> cellsOf;  // cells on each line
    for (const Line* line : running) {
        const QString cell = QStringLiteral("%1 %2%")
                                 .arg(Fit(line->Label, cellLabel))
                                 .arg(Percent(line->Fraction), 3);
        if (block.isEmpty() || block.last().size() + 2 + cell.size() > width) {
            block << cell.left(width);
            cellsOf.push_back(1);
        } else {
            block.last() += QStringLiteral("  ") + cell;
            ++cellsOf.back();
        }
    }
    if (block.size() < rows) {
        return block;
    }
    block = block.mid(0, rows - 2);
    int shown = 0;
    for (qsizetype i = 0; i < block.size(); ++i) {
        shown += cellsOf[i];
    }
    block << QStringLiteral("… and %1 more running")
                 .arg(static_cast<int>(running.size()) - shown)
                 .left(width);
    return block;
}

QString HumanReporter::EraseBlock() {
    if (Drawn == 0) {
        return {};
    }
    const QString erase = QStringLiteral("\x1b[%1A\r\x1b[J").arg(Drawn);
    Drawn = 0;
    return erase;
}

QString HumanReporter::DrawBlock() {
    const QStringList block = Block();
    Drawn = static_cast<int>(block.size());
    Dirty = false;
    QString out;
    for (const QString& line : block) {
        out += line + u'\n';
    }
    return out;
}

void HumanReporter::Above(const QString& text, bool toErr) {
    if (!Live) {
        (toErr ? Output.Err(text + u'\n') : Output.Out(text + u'\n'));
        return;
    }
    // The block goes, the line takes its place, the block comes back below.
    if (toErr) {
        Output.Out(EraseBlock());
        Output.Err(text + u'\n');
        Output.Out(DrawBlock());
    } else {
        const QString erase = EraseBlock();
        Output.Out(erase + text + u'\n' + DrawBlock());
    }
}

void HumanReporter::Error(const QString& port, const QString& text) {
    Above(QStringLiteral("fwloader-cli: %1%2").arg(PortPrefix(port), text), true);
}

void HumanReporter::Warning(const QString& port, const QString& text) {
    Above(QStringLiteral("fwloader-cli: warning: %1%2").arg(PortPrefix(port), text), true);
}

void HumanReporter::Started(const std::vector<PortStart>& ports) {
    Clock.start();
    for (const PortStart& start : ports) {
        LabelWidth = std::max(LabelWidth, static_cast<int>(start.Label.size()));
    }
    for (const PortStart& start : ports) {
        Line line;
        line.Label = start.Label;
        Lines.push_back(line);
        if (!Quiet && !Live) {
            Output.Out(QStringLiteral("%1  %2 on %3\n")
                           .arg(Padded(start.Label), start.Command, start.Device));
        }
    }
    if (Live) {
        Output.Out(DrawBlock());
    }
}

void HumanReporter::Progress(int index, double fraction, int address) {
    Line& line = Lines[index];
    line.Fraction = fraction;
    line.Address = address;
    if (Quiet) {
        return;
    }
    if (Live) {
        Dirty = true;
        return;
    }
    const int tenths = static_cast<int>(std::floor(std::clamp(fraction, 0.0, 1.0) * 10.0));
    if (tenths > line.Tenths) {
        line.Tenths = tenths;
        Output.Out(QStringLiteral("%1  %2%  %3  %4 s\n")
                       .arg(Padded(line.Label))
                       .arg(Percent(fraction), 3)
                       .arg(AddressText(address))
                       .arg(static_cast<double>(Clock.elapsed()) / 1000.0, 0, 'f', 1));
    }
}

void HumanReporter::Question(int index, const QString& text, bool retried) {
    if (Quiet) {
        return;
    }
    Above(QStringLiteral("%1  %2 -> %3")
              .arg(Padded(Lines[index].Label), text,
                   retried ? QStringLiteral("Retry") : QStringLiteral("Cancel")),
          false);
}

void HumanReporter::Finished(int index, const PortResult& result) {
    Line& line = Lines[index];
    line.Done = true;
    line.Ending = result.Ending;
    line.Unlogged = result.LogKept && !result.Logged;
    // On a terminal the port leaves the live block and its result stays above.
    Above(Padded(line.Label) + QStringLiteral("  ") + ResultText(result), false);
}

void HumanReporter::Summary(int exitStatus) {
    if (Live) {
        Output.Out(EraseBlock());
    }
    if (exitStatus == 130) {
        Output.Err(QStringLiteral("fwloader-cli: interrupted\n"));
    }
    if (Lines.size() <= 1) {
        return;
    }
    int succeeded = 0;
    QStringList failures;
    for (int e = 0; e < PortEndingCount; ++e) {
        const auto ending = static_cast<PortEnding>(e);
        const auto count = std::count_if(Lines.begin(), Lines.end(), [ending](const Line& line) {
            return line.Done && line.Ending == ending;
        });
        if (ending == PortEnding::Success) {
            succeeded = static_cast<int>(count);
        } else if (count > 0) {
            failures << QStringLiteral("%1 %2").arg(count).arg(EndingName(ending));
        }
    }
    const auto unlogged =
        std::count_if(Lines.begin(), Lines.end(), [](const Line& line) { return line.Unlogged; });
    Output.Out(
        QStringLiteral("%1 of %2 sessions succeeded%3%4\n")
            .arg(succeeded)
            .arg(Lines.size())
            .arg(failures.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(failures.join(", ")))
            .arg(unlogged == 0 ? QString() : QStringLiteral("; %1 not logged").arg(unlogged)));
}

void HumanReporter::Tick() {
    const bool running =
        std::any_of(Lines.begin(), Lines.end(), [](const Line& line) { return !line.Done; });
    if (Live && (running || Dirty)) {
        // The time runs on.
        const QString erase = EraseBlock();
        Output.Out(erase + DrawBlock());
    }
}
