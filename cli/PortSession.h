#pragma once

// One port's bootloader session on a thread of its own. The session's
// contract is the window's: one thread, driven by its events, whose 100 ms
// pause after the Connect marker blocks that thread. Each port therefore
// gets its own thread and event loop, with its own serial port, Timer1,
// image copy and retry count, so that what one device does never holds up
// another. The worker reports to the thread that made it through queued
// signals.

#include <QMetaType>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "OneShotTimer.h"
#include "Pause.h"
#include "ProcessState.h"
#include "SerialPort.h"

// How a port's session ended. The first six are the session's own endings;
// Interrupted is a session ended from outside (Ctrl-C, SIGTERM) before it had
// come to one, TimedOut one ended by its deadline; NotSaved is a read that
// succeeded but whose file could not be written.
enum class PortEnding {
    Success,
    ModelError,
    Refused,
    TransferFailure,
    PortNotOpened,
    Cancelled,
    Interrupted,
    TimedOut,
    NotSaved,
};
inline constexpr int PortEndingCount = 9;

// "success", "model-error", "refused", "transfer-failure", "port-not-opened",
// "cancelled", "interrupted", "timed-out", "not-saved".
QString EndingName(PortEnding ending);

// What one port is asked to do.
struct PortJob {
    QString Label;       // the port as the output names it
    qint16 Number = 0;   // the COM port number; 0 with a device path
    QString DevicePath;  // opened instead of the number's device when not empty
    // The port's own image, bounds, model, version and session mode. The
    // session works on it; after the end it holds what the session left (a
    // Read's memory).
    std::shared_ptr<ProcessState> State;
    // How many times the watchdog's question is answered Retry before it is
    // answered Cancel.
    int Retries = 0;
    // The window's message after a successful session ("Successful",
    // "读取成功").
    QString SuccessText;
    // Where the trace goes; nullptr: no trace. Taken over by the session.
    std::FILE* Trace = nullptr;
    // The session ends as TimedOut when it has not come to an ending this
    // long after its start; 0: no deadline.
    int TimeoutMs = 0;
    // Runs on the session's thread once its port has opened, before the
    // first byte goes out; a text it returns is reported as a warning.
    std::function<QString()> CheckOpenedPort;
    // An Update reads the written range back before GoApplication.
    bool Verify = false;
};

struct PortResult {
    PortEnding Ending = PortEnding::Interrupted;
    // The text of the message box that the window would have shown last
    // (verbatim), the question's text for Cancelled; empty when the window
    // shows none.
    QString Message;
    // Why, in a few words, for every ending but a success: the system's
    // error for a port that did not open, the model the device reported,
    // where the session stopped and what that left on the device.
    QString Detail;
    // Where the session stopped (its current address), and whether an
    // Update may have left the device half-written; for every ending but a
    // success.
    int Address = 0;
    bool HalfWritten = false;
    double Seconds = 0;     // from the session's start to its end
    double CpuSeconds = 0;  // CPU time of the port's thread meanwhile
    qint64 BytesSent = 0;
    qint64 BytesReceived = 0;
    int Retries = 0;  // the watchdog's questions answered Retry
    bool TraceFailed = false;
    // An Update's: whether the written range was read back equal to the
    // image (never without Verify), and how long the read-back took.
    std::optional<bool> Verified;
    double VerifySeconds = 0;
    // With --log: whether the session's record is on the disk.
    bool LogKept = false;
    bool Logged = false;
};
Q_DECLARE_METATYPE(PortResult)

// What a port session is built of on its thread: its serial port, one-shot
// timers and pause, a clock, and a way to run something once the current
// handler has returned. The program's parts are Qt's; tests give fakes on
// virtual time.
class SessionParts {
public:
    virtual ~SessionParts() = default;
    virtual std::unique_ptr<SerialPort> MakePort(const PortJob& job) = 0;
    virtual std::unique_ptr<OneShotTimer> MakeTimer() = 0;
    virtual std::unique_ptr<Pause> MakePause() = 0;
    // Milliseconds on a clock that only goes forward.
    virtual qint64 NowMs() const = 0;
    // Runs work on the thread of context after the current handler has
    // returned; not at all once context is gone.
    virtual void Later(QObject& context, std::function<void()> work) = 0;
};

// The program's parts: QtSerialPort, QTimer, the thread's sleep.
std::shared_ptr<SessionParts> QtSessionParts();

class PortSession : public QObject {
    Q_OBJECT
public:
    explicit PortSession(PortJob job, std::shared_ptr<SessionParts> parts = QtSessionParts());
    ~PortSession() override;

    const PortJob& Job() const { return Task; }

    // Runs on the session's thread: makes the port, the timers and the
    // session there and starts the session as the window's load does.
    void Begin();
    // Runs on the session's thread: a session that has not ended is closed as
    // the window's close box closes it, and ends as Interrupted.
    void Interrupt();

signals:
    // The transferred fraction (0 to 1) and the session's current address.
    void Progress(double fraction, int address);
    // The watchdog asked; retried tells the answer (Retry or Cancel).
    void Question(const QString& text, bool retried);
    // Something known to break serial flashing was found on the port.
    void Warning(const QString& text);
    // The session has ended and everything of it on its thread is gone; the
    // thread may end.
    void Finished(const PortResult& result);

private:
    class Live;
    // Closes a session that has not come to an ending; it ends as `why`.
    void Stop(PortEnding why);
    void End();

    PortJob Task;
    std::shared_ptr<SessionParts> Parts;
    std::unique_ptr<Live> Running;
    PortEnding Forced = PortEnding::Interrupted;
    bool Ended = false;
};
