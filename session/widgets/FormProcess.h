#pragma once

// The session window: a small modal dialog with the progress bar and the
// progress text. It owns the serial port and the timers of a session (Timer1
// and the link's quiet timer) and hands their events to BootloaderSession, which
// holds the session itself.
//
// Use: construct it with the port to use and exec() it. Showing it runs the
// session's load handler (once the dialog is up, so that the modal loop
// already runs); whatever closes it (the session itself, the close box, a
// done() call, destruction) runs the unload handler, which closes the port.
// exec() returns Accepted when the session succeeded (SessionSucceeded),
// Rejected otherwise.

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <memory>

#include "BootloaderSession.h"
#include "MessageBoxes.h"
#include "Pause.h"
#include "ProcessState.h"
#include "QtPlatform.h"
#include "SerialPort.h"

class FormProcess : public QDialog, private SessionView {
    Q_OBJECT
public:
    FormProcess(ProcessState& state, std::unique_ptr<SerialPort> port, MessageBoxes& messages,
                Pause& pause, QWidget* parent = nullptr);
    ~FormProcess() override;

    void done(int result) override;

    BootloaderSession& Session() { return Logic; }
    SerialPort& Port() { return *MSComm1; }

    // The progress bar holds the transferred fraction in thousandths.
    static constexpr int ProgressSteps = 1000;

    QProgressBar* ProgressBar1;
    QLabel* LabelProcess;
    QLabel* LabelTime;  // hidden; nothing updates it
    // Timer2 of the design is disabled and nothing enables it: it is left out.

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void SetCaption(const QString& text) override;
    void CloseWindow() override;
    void SetProgress(float fraction) override;
    void SetProgressText(const QString& text) override;

    ProcessState& State;
    std::unique_ptr<SerialPort> MSComm1;
    QtOneShotTimer Timer1;
    QtOneShotTimer QuietTimer;  // the session's second timer: the link's quiet
    BootloaderSession Logic;    // declared last: it lets go of port and timers first
    bool LoadQueued = false;
};
