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

class QtOneShotTimer : public OneShotTimer {
public:
    QtOneShotTimer();
    void Start(int milliseconds) override;
    void Stop() override;
    bool IsActive() const override;

private:
    QTimer Timer;
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
