#pragma once

// Several ports' sessions at once in one process: each PortSession on a
// thread of its own, their reports gathered on the thread that owns the gang
// (the main thread) through queued signals.

#include <QElapsedTimer>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <memory>
#include <vector>

#include "PortSession.h"

class Gang : public QObject {
    Q_OBJECT
public:
    // A session still running graceMs after its deadline, or after it was
    // interrupted (its thread held by something it waits for), is ended from
    // here as TimedOut or Interrupted. parts makes what each session is
    // built of.
    explicit Gang(std::vector<PortJob> jobs, QObject* parent = nullptr,
                  std::shared_ptr<SessionParts> parts = QtSessionParts(),
                  int graceMs = DefaultGraceMs);
    // Interrupts what still runs and waits for every thread; a thread that
    // does not end in a bounded time is left to the end of the process.
    ~Gang() override;

    static constexpr int DefaultGraceMs = 2000;

    // Starts every session; AllFinished follows once the last one has ended.
    void Start();
    // Ends every session that has not ended yet as Interrupted.
    void Interrupt();

    int Size() const { return static_cast<int>(Ports.size()); }
    const PortJob& Job(int index) const { return Ports[index].Worker->Job(); }
    // Valid once PortFinished(index) came.
    const PortResult& Result(int index) const { return Ports[index].Result; }
    bool HasFinished(int index) const { return Ports[index].Done; }

signals:
    void PortProgress(int index, double fraction, int address);
    void PortQuestion(int index, const QString& text, bool retried);
    void PortWarning(int index, const QString& text);
    void PortFinished(int index, const PortResult& result);
    void AllFinished();

private:
    struct Port {
        std::unique_ptr<QThread> Thread;
        std::unique_ptr<PortSession> Worker;
        PortResult Result;
        bool Reported = false;  // Finished came
        bool Done = false;      // ... and the thread has ended
        std::unique_ptr<QTimer> Watchdog;
        bool Update = false;  // an Update session (its unload clears the mode)
        bool Interrupting = false;
    };
    void OnThreadEnded(int index);
    // The session's deadline and the grace after it have passed.
    void Abandon(int index);

    std::vector<Port> Ports;
    int Remaining = 0;
    bool Started = false;
    int GraceMs;
    QElapsedTimer Clock;
};
