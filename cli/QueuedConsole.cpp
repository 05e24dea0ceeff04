#include "QueuedConsole.h"

#include <QThread>

namespace {

// The thread that writes: it runs the console's loop.
class WriterThread : public QThread {
public:
    explicit WriterThread(QueuedConsole& console) : Console(console) {}

protected:
    void run() override { Console.Run(); }

private:
    QueuedConsole& Console;
};

}  // namespace

QueuedConsole::QueuedConsole(Console& inner)
    : Inner(inner), Writer(std::make_unique<WriterThread>(*this)) {
    Writer->start();
}

QueuedConsole::~QueuedConsole() {
    {
        const QMutexLocker guard(&Lock);
        Closing = true;
    }
    Changed.wakeAll();
    Writer->wait();
}

void QueuedConsole::Out(const QString& text) {
    Put(false, text);
}

void QueuedConsole::Err(const QString& text) {
    Put(true, text);
}

void QueuedConsole::Put(bool toErr, const QString& text) {
    if (text.isEmpty()) {
        return;
    }
    {
        const QMutexLocker guard(&Lock);
        Pieces.emplace_back(toErr, text);
    }
    Changed.wakeAll();
}

void QueuedConsole::Run() {
    QMutexLocker guard(&Lock);
    for (;;) {
        while (!Closing && Pieces.empty()) {
            Changed.wait(&Lock);
        }
        if (Pieces.empty()) {
            return;
        }
        auto [toErr, text] = std::move(Pieces.front());
        Pieces.pop_front();
        guard.unlock();
        (toErr ? Inner.Err(text) : Inner.Out(text));
        guard.relock();
    }
}
