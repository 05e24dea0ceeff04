#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;
struct termios;

// A pseudo-terminal whose slave end stands in for a serial device port. The
// simulated device works the master end on the event loop: DataArrived
// delivers what the program wrote on the slave end, Write answers it.
//
// The terminal keeps a slave descriptor of its own open, so that the master
// does not see a hang-up whenever the program closes its end. It writes
// nothing by itself.
class PseudoTerminal : public QObject {
    Q_OBJECT
public:
    explicit PseudoTerminal(QObject* parent = nullptr);
    ~PseudoTerminal() override;

    // Creates a new terminal in raw mode (closing any earlier one). On
    // failure returns false with the reason in *error.
    bool Open(QString* error = nullptr);
    // Closes the master end and the own slave descriptor: for the program
    // this is a device that has gone.
    void Close();
    bool IsOpen() const { return Master >= 0; }
    // The path the program opens, such as /dev/pts/3.
    QString SlavePath() const { return Path; }

    // The line rate currently set on the terminal (by whoever set it last,
    // normally the program on its end); 0 when it cannot be read.
    int BaudRate() const;
    // All line settings currently set on the terminal, as LineSettingsTextOf
    // writes them; empty when they cannot be read. A Linux pseudo-terminal
    // holds 8 data bits without parity, whatever it is asked.
    QString LineSettingsText() const;

    // Queues bytes for the program; false when the terminal is closed.
    bool Write(const QByteArray& bytes);
    // Bytes written but not yet taken by the terminal.
    qsizetype PendingOutput() const { return Outgoing.size(); }

signals:
    void DataArrived(const QByteArray& bytes);

private:
    void OnReadable();
    void FlushOutgoing();

    int Master = -1;
    int OwnSlave = -1;
    QString Path;
    QSocketNotifier* ReadNotifier = nullptr;
    QSocketNotifier* WriteNotifier = nullptr;
    QByteArray Outgoing;
};

// Terminal settings written as the program's settings texts are
// ("9600,E,7,2"; parity N, E, O, M or S).
QString LineSettingsTextOf(const termios& settings);

// The rate in baud of a termios speed code (B9600 -> 9600); 0 when unknown.
int BaudFromSpeedCode(unsigned speedCode);
