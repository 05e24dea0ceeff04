#pragma once

// The --log file written on a thread of its own: the thread that serves the
// signals and the display, and the sessions, never wait for the disk or for
// another program's lock. Records are appended in the order given; each
// one's outcome comes back on the thread that made the writer.

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QThread;

class LogWriter : public QObject {
    Q_OBJECT
public:
    explicit LogWriter(QObject* parent = nullptr);
    // Waits a bounded time for the records still on their way; a thread
    // still held by the disk after that is left to the end of the process.
    ~LogWriter() override;

    // Opens path for appending (see AppendFile); empty on success, otherwise
    // the reason.
    QString Open(const QString& path);
    bool IsOpen() const { return Opened; }
    // Appends line on the log's thread; done then gets the error text
    // (empty: the record is on the disk) on this object's thread.
    void Append(const QByteArray& line, std::function<void(const QString&)> done);
    // Records given but whose outcome has not come back yet.
    int Pending() const { return Waiting; }

signals:
    // The outcome of the last pending record has come back.
    void Idle();

private:
    struct Shared;
    std::shared_ptr<Shared> File;
    std::unique_ptr<QThread> Thread;
    std::unique_ptr<QObject> Worker;
    int Waiting = 0;
    bool Opened = false;
};
