#include "Reporter.h"

#include <QJsonDocument>
#include <algorithm>
#include <cmath>

namespace {

constexpr int BarWidth = 20;

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

}  // namespace

QJsonObject ResultObject(const QString& port, const PortResult& result, bool ok) {
    return QJsonObject{
        {"port", port},
        {"event", "result"},
        {"ok", ok},
        {"ending", EndingName(result.Ending)},
        {"message", result.Message},
        {"seconds", Rounded(result.Seconds)},
        {"bytes_sent", static_cast<double>(result.BytesSent)},
        {"bytes_received", static_cast<double>(result.BytesReceived)},
        {"retries", result.Retries},
    };
}

void JsonReporter::Emit(const QJsonObject& object) {
    Output.Out(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) + u'\n');
}

void JsonReporter::Error(const QString& port, const QString& text) {
    Output.Err(QStringLiteral("fwloader-cli: %1%2\n")
                   .arg(port.isEmpty() ? QString() : port + QStringLiteral(": "), text));
    QJsonObject object{{"event", "error"}, {"message", text}};
    if (!port.isEmpty()) {
        object.insert("port", port);
    }
    Emit(object);
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

void JsonReporter::Finished(int index, const PortResult& result, bool ok) {
    Endings[index] = result.Ending;
    Succeeded += ok;
    Emit(ResultObject(Labels[index], result, ok));
}

void JsonReporter::Summary(int exitStatus) {
    QJsonObject endings;
    for (int e = 0; e < PortEndingCount; ++e) {
        const auto ending = static_cast<PortEnding>(e);
        endings.insert(EndingName(ending),
                       static_cast<int>(std::count(Endings.begin(), Endings.end(), ending)));
    }
    const int sessions = static_cast<int>(Labels.size());
    Emit({{"event", "summary"},
          {"sessions", sessions},
          {"succeeded", Succeeded},
          {"failed", sessions - Succeeded},
          {"endings", endings},
          {"exit", exitStatus}});
}

HumanReporter::HumanReporter(Console& console, bool quiet)
    : Output(console), Quiet(quiet), Live(!quiet && console.OutIsTerminal()) {}

QString HumanReporter::ResultText(const PortResult& result, bool ok) {
    QString text = EndingName(result.Ending);
    if (result.Ending == PortEnding::Success && !ok) {
        text += QStringLiteral(" (not saved)");
    }
    text = text.leftJustified(17) + QStringLiteral("%1 B sent, %2 B received, %3 s")
                                        .arg(result.BytesSent)
                                        .arg(result.BytesReceived)
                                        .arg(result.Seconds, 0, 'f', 2);
    if (!result.Message.isEmpty()) {
        text += QStringLiteral(": ") + result.Message;
    }
    return text;
}

QString HumanReporter::Padded(const QString& label) const {
    return label.leftJustified(LabelWidth);
}

QString HumanReporter::LiveText(const Line& line) const {
    const int filled = static_cast<int>(std::floor(std::clamp(line.Fraction, 0.0, 1.0) * BarWidth));
    return QStringLiteral("%1  [%2%3] %4%  %5  %6 s")
        .arg(Padded(line.Label), QString(filled, u'#'), QString(BarWidth - filled, u'-'))
        .arg(Percent(line.Fraction), 3)
        .arg(AddressText(line.Address))
        .arg(static_cast<double>(Clock.elapsed()) / 1000.0, 6, 'f', 1);
}

void HumanReporter::Error(const QString& port, const QString& text) {
    Output.Err(QStringLiteral("fwloader-cli: %1%2\n")
                   .arg(port.isEmpty() ? QString() : port + QStringLiteral(": "), text));
}

void HumanReporter::Started(const std::vector<PortStart>& ports) {
    Clock.start();
    Total = static_cast<int>(ports.size());
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
        for (Line& line : Lines) {
            line.Text = LiveText(line);
        }
        Redraw();
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
        line.Text = LiveText(line);
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
    Note(QStringLiteral("%1  %2 -> %3")
             .arg(Padded(Lines[index].Label), text,
                  retried ? QStringLiteral("Retry") : QStringLiteral("Cancel")));
}

void HumanReporter::Finished(int index, const PortResult& result, bool ok) {
    Line& line = Lines[index];
    line.Done = true;
    line.Text = Padded(line.Label) + QStringLiteral("  ") + ResultText(result, ok);
    Succeeded += ok;
    if (Live) {
        Redraw();
    } else {
        Output.Out(line.Text + u'\n');
    }
}

void HumanReporter::Summary(int exitStatus) {
    if (Live && Dirty) {
        Redraw();
    }
    if (exitStatus == 130) {
        Output.Err(QStringLiteral("fwloader-cli: interrupted\n"));
    }
    if (Total > 1) {
        Output.Out(QStringLiteral("%1 of %2 sessions succeeded\n").arg(Succeeded).arg(Total));
    }
}

void HumanReporter::Tick() {
    if (!Live) {
        return;
    }
    for (Line& line : Lines) {
        if (!line.Done) {
            line.Text = LiveText(line);  // the time runs on
            Dirty = true;
        }
    }
    if (Dirty) {
        Redraw();
    }
}

void HumanReporter::Note(const QString& text) {
    if (!Live) {
        Output.Out(text + u'\n');
        return;
    }
    // The note takes the first line of the live block, which is drawn again
    // below it.
    QString out;
    if (Drawn > 0) {
        out += QStringLiteral("\x1b[%1A").arg(Drawn);
    }
    out += QStringLiteral("\r\x1b[2K") + text + u'\n';
    Output.Out(out);
    Drawn = 0;
    Redraw();
}

void HumanReporter::Redraw() {
    QString out;
    if (Drawn > 0) {
        out += QStringLiteral("\x1b[%1A").arg(Drawn);
    }
    for (const Line& line : Lines) {
        out += QStringLiteral("\r\x1b[2K") + line.Text + u'\n';
    }
    Drawn = static_cast<int>(Lines.size());
    Dirty = false;
    Output.Out(out);
}
