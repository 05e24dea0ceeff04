#include "Gang.h"

Gang::Gang(std::vector<PortJob> jobs, QObject* parent) : QObject(parent) {
    qRegisterMetaType<PortResult>();
    Ports.resize(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const int index = static_cast<int>(i);
        Port& port = Ports[i];
        port.Thread = std::make_unique<QThread>();
        port.Thread->setObjectName(QStringLiteral("port %1").arg(jobs[i].Label));
        port.Worker = std::make_unique<PortSession>(std::move(jobs[i]));
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
        port.Thread->wait();
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
    for (Port& port : Ports) {
        port.Thread->start();
    }
}

void Gang::Interrupt() {
    for (Port& port : Ports) {
        if (!port.Reported && port.Thread->isRunning()) {
            QMetaObject::invokeMethod(port.Worker.get(), &PortSession::Interrupt,
                                      Qt::QueuedConnection);
        }
    }
}

void Gang::OnThreadEnded(int index) {
    Port& port = Ports[index];
    if (port.Done) {
        return;
    }
    port.Done = true;
    if (--Remaining == 0) {
        emit AllFinished();
    }
}
