#include "Gang.h"

namespace {

// How long the end of the run waits for a session's thread.
constexpr int ThreadEndWaitMs = 5000;

}  // namespace

Gang::Gang(std::vector<PortJob> jobs, QObject* parent, std::shared_ptr<SessionParts> parts,
           int graceMs)
    : QObject(parent), GraceMs(graceMs) {
    qRegisterMetaType<PortResult>();
    Ports.resize(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const int index = static_cast<int>(i);
        Port& port = Ports[i];
        port.Thread = std::make_unique<QThread>();
        port.Thread->setObjectName(QStringLiteral("port %1").arg(jobs[i].Label));
        port.Update = jobs[i].State->SessionModeUpdate;
        port.Worker = std::make_unique<PortSession>(std::move(jobs[i]), parts);
        // On this thread, which never waits for files or ports: the deadline
        // and an interruption hold whatever the session's thread is doing.
        port.Watchdog = std::make_unique<QTimer>();
        port.Watchdog->setSingleShot(true);
        connect(port.Watchdog.get(), &QTimer::timeout, this, [this, index] { Abandon(index); });
        port.Worker->moveToThread(port.Thread.get());
        // Begin runs on the new thread before its event loop starts.
        connect(port.Thread.get(), &QThread::started, port.Worker.get(), &PortSession::Begin,
                Qt::DirectConnection);
        connect(port.Worker.get(), &PortSession::Progress, this,
                [this, index](double fraction, int address) {
                    emit PortProgress(index, fraction, address);
                });
        connect(port.Worker.get(), &PortSession::Question, this,
                [this, index](const QString& text, bool retried) {
                    emit PortQuestion(index, text, retried);
                });
        connect(port.Worker.get(), &PortSession::Warning, this,
                [this, index](const QString& text) { emit PortWarning(index, text); });
        connect(port.Worker.get(), &PortSession::Finished, this,
                [this, index](const PortResult& result) {
                    if (Ports[index].Reported) {
                        return;  // ended from here already
                    }
                    Ports[index].Result = result;
                    Ports[index].Reported = true;
                    emit PortFinished(index, result);
                });
        // The worker's last act on its thread ends the thread's event loop.
        connect(port.Worker.get(), &PortSession::Finished, port.Thread.get(), &QThread::quit,
                Qt::DirectConnection);
        connect(port.Thread.get(), &QThread::finished, this,
                [this, index] { OnThreadEnded(index); });
    }
    Remaining = static_cast<int>(Ports.size());
}

Gang::~Gang() {
    Interrupt();
    for (Port& port : Ports) {
        if (!port.Thread->wait(ThreadEndWaitMs)) {
            // Held for good (a hung device or disk): the process ends
            // around it, and the system closes its port.
            (void)port.Thread.release();
            (void)port.Worker.release();
        }
    }
}

void Gang::Start() {
    if (Started) {
        return;
    }
    Started = true;
    if (Ports.empty()) {
        emit AllFinished();
        return;
    }
    Clock.start();
    for (Port& port : Ports) {
        port.Thread->start();
        const int timeoutMs = port.Worker->Job().TimeoutMs;
        if (timeoutMs > 0) {
            port.Watchdog->start(timeoutMs + GraceMs);
        }
    }
}

void Gang::Abandon(int index) {
    Port& port = Ports[index];
    if (port.Reported) {
        return;
    }
    // Its thread is told to stop as well, should it come back.
    QMetaObject::invokeMethod(port.Worker.get(), &PortSession::Interrupt, Qt::QueuedConnection);
    PortResult result;
    result.Ending = port.Interrupting ? PortEnding::Interrupted : PortEnding::TimedOut;
    result.Seconds = static_cast<double>(Clock.elapsed()) / 1000.0;
    result.HalfWritten = port.Update;
    result.Detail =
        QStringLiteral(
            "%1, and the session did not stop in the %2 s after; its port is "
            "closed as the program ends; %3")
            .arg(port.Interrupting ? QStringLiteral("interrupted")
                                   : QStringLiteral("no ending within %1 s")
                                         .arg(port.Worker->Job().TimeoutMs / 1000.0))
            .arg(GraceMs / 1000.0)
            .arg(result.HalfWritten ? QStringLiteral("the device may be left half-written")
                                    : QStringLiteral("a read leaves the device unchanged"));
    port.Result = result;
    port.Reported = true;
    emit PortFinished(index, result);
    OnThreadEnded(index);
}

void Gang::Interrupt() {
    for (Port& port : Ports) {
        if (!port.Reported && port.Thread->isRunning()) {
            QMetaObject::invokeMethod(port.Worker.get(), &PortSession::Interrupt,
                                      Qt::QueuedConnection);
            if (!port.Interrupting && !port.Done) {
                port.Interrupting = true;
                port.Watchdog->start(GraceMs);
            }
        }
    }
}

void Gang::OnThreadEnded(int index) {
    Port& port = Ports[index];
    port.Watchdog->stop();
    if (port.Done) {
        return;
    }
    port.Done = true;
    if (--Remaining == 0) {
        emit AllFinished();
    }
}
