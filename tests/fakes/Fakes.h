#pragma once

// Test doubles of the platform operations, all driven by one VirtualScheduler.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <map>
#include <string>

#include "FileDialogs.h"
#include "FileSystem.h"
#include "KeyValueBackend.h"
#include "MessageBoxes.h"
#include "OneShotTimer.h"
#include "Pause.h"
#include "SerialPort.h"
#include "VirtualScheduler.h"

class ManualTimer : public OneShotTimer {
public:
    explicit ManualTimer(VirtualScheduler& scheduler) : Scheduler(scheduler) {}
    ~ManualTimer() override { Stop(); }
    void Start(int milliseconds) override;
    void Stop() override;
    bool IsActive() const override { return Pending != 0; }
    qint64 NowMs() const override { return Scheduler.Now(); }
    int LastInterval() const { return Interval; }

private:
    VirtualScheduler& Scheduler;
    VirtualScheduler::ActionId Pending = 0;
    int Interval = 0;
};

// A serial port whose far end is a script. Written packets are logged with
// the virtual time and the line rate; a Responder sees each write and may
// answer with Deliver, which makes bytes arrive later (optionally in pieces).
//
// Bytes that arrive go to the port's buffer when the scheduler runs their
// arrival, as a real port's buffer is filled by the event loop. An arrival
// whose moment has passed while the thread was blocked (FakePause) is held
// by "the system": ReadAll does not see it, DiscardInput throws it away, and
// otherwise it reaches the buffer at the next turn of the scheduler.
class ScriptedSerialPort : public SerialPort {
public:
    struct WriteRecord {
        QByteArray Bytes;
        qint64 Time = 0;
        int BaudRate = 0;
    };
    struct DiscardRecord {
        QByteArray Bytes;  // what was thrown away
        qint64 Time = 0;
        int WritesBefore = 0;  // packets written before the discard
    };

    explicit ScriptedSerialPort(VirtualScheduler& scheduler) : Scheduler(scheduler) {}
    ~ScriptedSerialPort() override;

    void SetPortNumber(qint16 n) override { PortNumber = n; }
    bool SetSettings(const QString& settings) override;
    void SetBinaryInput() override { BinaryInput = true; }
    void SetReceiveThreshold(int n) override;
    bool IsOpen() const override { return Opened; }
    bool Open() override;
    void Close() override;
    bool Write(const QByteArray& bytes) override;
    QByteArray ReadAll() override;
    QByteArray DiscardInput() override;

    // Bytes arrive at the port after delayMs; each piece of `pieces` sizes
    // arrives separately, 1 ms apart (the rest in one piece).
    void Deliver(const QByteArray& bytes, qint64 delayMs = 0, const QList<int>& pieces = {});
    void RaiseLineErrorLater();
    // The far end writes garbage that was waiting before the program read.
    void PutWaitingInput(const QByteArray& bytes) { Input += bytes; }

    std::function<void(const QByteArray& written, ScriptedSerialPort& port)> Responder;
    QSet<int> PortsThatFailToOpen;  // port numbers whose Open fails
    bool WriteFails = false;

    // What the program did.
    QList<WriteRecord> Writes;
    QList<DiscardRecord> Discards;
    QStringList SettingsLog;
    qint16 PortNumber = 0;
    int Threshold = 0;
    int BaudRate = 9600;
    bool BinaryInput = false;
    int OpenCount = 0;
    int CloseCount = 0;

private:
    struct Arrival {
        VirtualScheduler::ActionId Id = 0;
        qint64 Due = 0;
        QByteArray Bytes;  // empty: not an arrival of bytes (an event)
    };
    void CheckThreshold();
    void Forget(VirtualScheduler::ActionId id);
    VirtualScheduler& Scheduler;
    QByteArray Input;
    bool Opened = false;
    bool EventPosted = false;
    QList<Arrival> Arrivals;
};

// Message boxes answered from a script; every box shown is logged.
class ScriptedMessageBoxes : public MessageBoxes {
public:
    struct Shown {
        QString Text;
        MessageIcon Icon;
        MessageButtons Buttons;
        QString Title;
        qint64 Time;
    };

    explicit ScriptedMessageBoxes(VirtualScheduler* scheduler = nullptr) : Scheduler(scheduler) {}
    MessageAnswer Show(const QString& text, MessageIcon icon, MessageButtons buttons,
                       const QString& title) override;

    // Answers given in order; when none is left, Ok boxes answer Ok and
    // Retry/Cancel boxes answer Cancel.
    std::deque<MessageAnswer> Answers;
    // While a box is open, virtual time runs on for this long and events are
    // delivered, as they are under a real modal box.
    qint64 HoldOpenMs = 0;
    QList<Shown> Log;

private:
    VirtualScheduler* Scheduler;
};

class FakePause : public Pause {
public:
    explicit FakePause(VirtualScheduler& scheduler) : Scheduler(scheduler) {}
    void Sleep(int milliseconds) override;
    QList<int> Pauses;

private:
    VirtualScheduler& Scheduler;
};

// Files in memory, keyed by path.
class MemoryFileSystem : public FileSystem {
public:
    ReadResult ReadFile(const QString& path) override;
    QString WriteFileWhole(const QString& path, const QByteArray& bytes) override;
    QStringList ListFiles(const QString& folder, const QString& pattern) override;

    QMap<QString, QByteArray> Files;
    QSet<QString> Unreadable;
    QSet<QString> Unwritable;
    QSet<QString> Hidden;
};

class ScriptedFileDialogs : public FileDialogs {
public:
    FileDialogResult Show(const FileDialogRequest& request) override;
    std::deque<FileDialogResult> Results;  // when empty: Cancelled
    QList<FileDialogRequest> Requests;
};

// The key-value store in memory.
class MemoryKeyValueBackend : public KeyValueBackend {
public:
    bool SetStringValue(std::uint32_t root, const std::string& keyPath,
                        const std::string& valueName, const std::string& data) override;
    Query QueryValue(std::uint32_t root, const std::string& keyPath, const std::string& valueName,
                     std::size_t bufferSize) override;

    struct Stored {
        std::uint32_t Type = RegTypeString;
        std::string Data;
    };
    // keyPath -> value name -> value
    std::map<std::string, std::map<std::string, Stored>> Keys;
    bool WritesFail = false;
    int Writes = 0;
};
