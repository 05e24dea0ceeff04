#pragma once

// The Qt-backed platform operations that need no window: timers, the
// pause, files, the program folder and the termination signals. Those that
// show windows are in widgets/.

#include <QObject>
#include <QTimer>
#include <functional>

#include "FileSystem.h"
#include "OneShotTimer.h"
#include "Pause.h"

// A session stops its watchdog at each reply and starts it again with the
// next request, some 1,500 times in an Update. The system's timer is
// therefore not stopped and set again each time: Stop only disarms, and a
// Start whose tick is due no earlier than the system's timer fires leaves
// that timer as it is. When it fires before the tick is due, it is set again
// for the rest. (Qt sets a precise timer on Windows as a multimedia timer,
// whose service thread Wine ends when the last one is killed and creates
// again for the next: a few milliseconds, which every exchange paid.)
class QtOneShotTimer : public OneShotTimer {
public:
    QtOneShotTimer();
    void Start(int milliseconds) override;
    void Stop() override;
    bool IsActive() const override { return Armed; }
    qint64 NowMs() const override;

    // How many times the system's timer was set (for the tests).
    int SystemStarts() const { return Starts; }

private:
    void Fired();
    void StartSystemTimer(qint64 dueMs);

    QTimer Timer;
    bool Armed = false;
    qint64 DueMs = 0;        // when the tick is due, while Armed
    qint64 SystemDueMs = 0;  // when the system's timer fires, while it runs
    int Starts = 0;
};

class QtPause : public Pause {
public:
    void Sleep(int milliseconds) override;
};

class QtFileSystem : public FileSystem {
public:
    ReadResult ReadFile(const QString& path) override;
    QString WriteFileWhole(const QString& path, const QByteArray& bytes) override;
    QString ProblemWriting(const QString& path) override;
    QStringList ListFiles(const QString& folder, const QString& pattern) override;

    // Only regular files are read (a FIFO or a device is never opened), and
    // only up to this size: no text file of the program is anywhere near it
    // (a HEX file of the whole 64 KiB image is under 200 KiB).
    static constexpr qint64 MaxReadBytes = 16 * 1024 * 1024;
};

// The folder that holds the program's executable.
QString ProgramFolder();

// Where the system asks the program to end (SIGTERM, SIGINT, SIGHUP), handler
// runs on the thread of the event loop, between other events, once per
// signal. Installed once per process; a later call replaces the handler. A
// signal that was ignored when the program started stays ignored.
// No-op on Windows, which ends programs through their windows and consoles.
void OnTerminationSignals(std::function<void()> handler);

// From now on, a SIGINT or SIGTERM that comes after an earlier request to end
// ends the process at once with status, without running anything more of
// the program. No-op on Windows.
void ExitOnSecondTerminationRequest(int status);

// The window's ending: the program ends as when its main window is closed:
// every open window and message box closes, the event loops return and the
// process exits in order.
void EndOnTerminationSignals();
