#pragma once

#include <QObject>
#include <functional>

// The receive threshold of a serial port and its data-received event, as
// every port of the system raises it: only from the event loop, never inside
// a call made on the port, and only when at the moment of raising at least
// the threshold of bytes waits unread.
class ReceiveThreshold {
public:
    // waiting: the bytes that wait unread, or -1 while the port raises no
    // events (closed, its device gone); raise: raises the data-received
    // event. Posted checks run on context's thread.
    ReceiveThreshold(QObject& context, std::function<qint64()> waiting, std::function<void()> raise)
        : Context(context), Waiting(std::move(waiting)), Raise(std::move(raise)) {}

    // n > 0: raise the event when n bytes wait; n <= 0: raise none. When n
    // bytes wait already, the event follows at the next turn of the loop.
    void Set(int n) {
        Threshold = n > 0 ? n : 0;
        if (Reached()) {
            PostCheck();
        }
    }
    // The threshold in force; 0: none.
    int Value() const { return Threshold; }
    // Checks at the next turn of the event loop (one check however often asked).
    void PostCheck() {
        if (CheckPosted) {
            return;
        }
        CheckPosted = true;
        QMetaObject::invokeMethod(
            &Context,
            [this] {
                CheckPosted = false;
                RaiseIfReached();
            },
            Qt::QueuedConnection);
    }
    // From the event loop: raises the event when the threshold is reached.
    void RaiseIfReached() {
        if (Reached()) {
            Raise();
        }
    }

private:
    bool Reached() const {
        if (Threshold == 0) {
            return false;
        }
        const qint64 waiting = Waiting();
        return waiting >= 0 && waiting >= Threshold;
    }

    QObject& Context;
    std::function<qint64()> Waiting;
    std::function<void()> Raise;
    int Threshold = 0;
    bool CheckPosted = false;
};
