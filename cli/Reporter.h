#pragma once

// What fwloader-cli tells: the human output (a live line per port on a
// terminal, a line per port at each tenth elsewhere, one line per port at the
// end, errors and warnings on standard error) and JSON Lines (one object per
// event).

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
    // Standard output is a terminal whose lines may be redrawn.
    virtual bool OutIsTerminal() const = 0;
    // The terminal's size in characters, asked anew each time; 0 when it is
    // not known.
    virtual int Columns() const { return 0; }
    virtual int Rows() const { return 0; }
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
    // Something known to break serial flashing; port is empty when it is the
    // station's.
    virtual void Warning(const QString& port, const QString& text) = 0;
    virtual void Started(const std::vector<PortStart>& ports) = 0;
    virtual void Progress(int index, double fraction, int address) = 0;
    virtual void Question(int index, const QString& text, bool retried) = 0;
    // The port's session and what came after it (saving) are over.
    virtual void Finished(int index, const PortResult& result) = 0;
    // Once every port has finished (or none could start).
    virtual void Summary(int exitStatus) = 0;
    // Called now and then while sessions run, for live output.
    virtual void Tick() {}
};

// How a session ended, as both the result event and the --log record tell
// it: ending, detail, where it stopped, time, bytes and retries.
QJsonObject OutcomeFields(const PortResult& result);

// The JSON object of a result event.
QJsonObject ResultObject(const QString& port, const PortResult& result);

class JsonReporter : public Reporter {
public:
    explicit JsonReporter(Console& console) : Output(console) {}
    void Error(const QString& port, const QString& text) override;
    void Warning(const QString& port, const QString& text) override;
    void Started(const std::vector<PortStart>& ports) override;
    void Progress(int index, double fraction, int address) override;
    void Question(int index, const QString& text, bool retried) override;
    void Finished(int index, const PortResult& result) override;
    void Summary(int exitStatus) override;

private:
    void Emit(const QJsonObject& object);
    void Tell(const QString& event, const QString& port, const QString& text);

    Console& Output;
    QStringList Labels;
    std::vector<PortEnding> Endings;
    int Unlogged = 0;
};

class HumanReporter : public Reporter {
public:
    HumanReporter(Console& console, bool quiet);
    void Error(const QString& port, const QString& text) override;
    void Warning(const QString& port, const QString& text) override;
    void Started(const std::vector<PortStart>& ports) override;
    void Progress(int index, double fraction, int address) override;
    void Question(int index, const QString& text, bool retried) override;
    void Finished(int index, const PortResult& result) override;
    void Summary(int exitStatus) override;
    void Tick() override;

    // A result as its final line shows it (without the port name).
    static QString ResultText(const PortResult& result);

private:
    struct Line {
        QString Label;
        double Fraction = 0;
        int Address = 0;
        int Tenths = 0;  // tenths already reported (not on a terminal)
        bool Done = false;
        bool Unlogged = false;
        PortEnding Ending = PortEnding::Interrupted;
    };
    QString Padded(const QString& label) const;
    // The live block: a line per running port, each cut to the terminal's
    // width; with more ports than rows, a compact form.
    QStringList Block() const;
    QString BarLine(const Line& line, int width) const;
    // A line above the live block (which is drawn again below it) on a
    // terminal; a plain line elsewhere. toErr: on standard error.
    void Above(const QString& text, bool toErr);
    QString EraseBlock();
    QString DrawBlock();

    Console& Output;
    bool Quiet;
    bool Live;
    std::vector<Line> Lines;
    int LabelWidth = 0;
    int Drawn = 0;  // lines of the live block now on the terminal
    bool Dirty = false;
    QElapsedTimer Clock;
};
