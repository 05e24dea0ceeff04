#pragma once

// What fwloader-cli tells: the human output (a live line per port on a
// terminal, a line per port at each tenth elsewhere, one line per port at the
// end, errors on standard error) and JSON Lines (one object per event).

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <vector>

#include "PortSession.h"

// Standard output and standard error.
class Console {
public:
    virtual ~Console() = default;
    virtual void Out(const QString& text) = 0;
    virtual void Err(const QString& text) = 0;
    // Standard output is a terminal: lines may be redrawn.
    virtual bool OutIsTerminal() const = 0;
};

// What the start of a port tells besides its name.
struct PortStart {
    QString Label;
    QString Command;      // "update" or "read"
    QString Device;       // what the port opens
    QJsonObject Details;  // file, version, model, output ...
};

class Reporter {
public:
    virtual ~Reporter() = default;
    // Bad arguments or input, or a failure around a session (a file that
    // cannot be written); port is empty when the error is not a port's.
    virtual void Error(const QString& port, const QString& text) = 0;
    virtual void Started(const std::vector<PortStart>& ports) = 0;
    virtual void Progress(int index, double fraction, int address) = 0;
    virtual void Question(int index, const QString& text, bool retried) = 0;
    // ok: the session succeeded and what came after it (saving) too.
    virtual void Finished(int index, const PortResult& result, bool ok) = 0;
    // Once every port has finished (or none could start).
    virtual void Summary(int exitStatus) = 0;
    // Called now and then while sessions run, for live output.
    virtual void Tick() {}
};

// The JSON object of a result event, and the summary's counts.
QJsonObject ResultObject(const QString& port, const PortResult& result, bool ok);

class JsonReporter : public Reporter {
public:
    explicit JsonReporter(Console& console) : Output(console) {}
    void Error(const QString& port, const QString& text) override;
    void Started(const std::vector<PortStart>& ports) override;
    void Progress(int index, double fraction, int address) override;
    void Question(int index, const QString& text, bool retried) override;
    void Finished(int index, const PortResult& result, bool ok) override;
    void Summary(int exitStatus) override;

private:
    void Emit(const QJsonObject& object);

    Console& Output;
    QStringList Labels;
    std::vector<PortEnding> Endings;
    int Succeeded = 0;
};

class HumanReporter : public Reporter {
public:
    HumanReporter(Console& console, bool quiet);
    void Error(const QString& port, const QString& text) override;
    void Started(const std::vector<PortStart>& ports) override;
    void Progress(int index, double fraction, int address) override;
    void Question(int index, const QString& text, bool retried) override;
    void Finished(int index, const PortResult& result, bool ok) override;
    void Summary(int exitStatus) override;
    void Tick() override;

    // A result as its final line shows it (without the port name).
    static QString ResultText(const PortResult& result, bool ok);

private:
    struct Line {
        QString Label;
        double Fraction = 0;
        int Address = 0;
        int Tenths = 0;  // tenths already reported (not on a terminal)
        bool Done = false;
        QString Text;  // the whole line as shown
    };
    QString Padded(const QString& label) const;
    QString LiveText(const Line& line) const;
    // Above the live block on a terminal; a plain line elsewhere.
    void Note(const QString& text);
    void Redraw();

    Console& Output;
    bool Quiet;
    bool Live;
    std::vector<Line> Lines;
    int LabelWidth = 0;
    int Drawn = 0;  // lines of the live block on the terminal
    bool Dirty = false;
    int Total = 0;
    int Succeeded = 0;
    QElapsedTimer Clock;
};
