#pragma once

// Several ports' sessions at once in one process: each PortSession on a
// thread of its own, their reports gathered on the thread that owns the gang
// (the main thread) through queued signals.

#include <QObject>
#include <QThread>
#include <memory>
#include <vector>

#include "PortSession.h"

class Gang : public QObject {
    Q_OBJECT
public:
    explicit Gang(std::vector<PortJob> jobs, QObject* parent = nullptr);
    // Interrupts what still runs and waits for every thread.
    ~Gang() override;

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
    };
    void OnThreadEnded(int index);

    std::vector<Port> Ports;
    int Remaining = 0;
    bool Started = false;
};
