#pragma once

// Standard output and error written by a thread of their own: a terminal
// paused with Ctrl-S or a pipe whose reader has stopped holds up neither the
// sessions nor the thread that serves the signals and writes the records.
// What is given goes out in the order given.

#include <QMutex>
#include <QWaitCondition>
#include <deque>
#include <memory>

#include "Reporter.h"

class QThread;

class QueuedConsole : public Console {
public:
    explicit QueuedConsole(Console& inner);
    // Waits until everything given has gone out.
    ~QueuedConsole() override;
    QueuedConsole(const QueuedConsole&) = delete;
    QueuedConsole& operator=(const QueuedConsole&) = delete;

    void Out(const QString& text) override;
    void Err(const QString& text) override;
    bool OutIsTerminal() const override { return Inner.OutIsTerminal(); }
    int Columns() const override { return Inner.Columns(); }
    int Rows() const override { return Inner.Rows(); }

    // The writing thread's loop: what is given, in order, until closed.
    void Run();

private:
    void Put(bool toErr, const QString& text);

    Console& Inner;
    QMutex Lock;
    QWaitCondition Changed;
    std::deque<std::pair<bool, QString>> Pieces;  // (to standard error, text)
    bool Closing = false;
    std::unique_ptr<QThread> Writer;
};
