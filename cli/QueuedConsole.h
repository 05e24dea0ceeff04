#pragma once

// Standard output and error written by a thread of their own: a terminal
// paused with Ctrl-S or a pipe whose reader has stopped holds up neither the
// sessions nor the thread that serves the signals and writes the records.
// What is given goes out in the order given.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Reporter.h"

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

private:
    void Put(bool toErr, const QString& text);
    void Run();

    Console& Inner;
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<std::pair<bool, QString>> Pieces;  // (to standard error, text)
    bool Closing = false;
    std::thread Writer;
};
