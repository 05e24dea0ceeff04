#include "LogWriter.h"

#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include "AppendFile.h"

namespace {

// How long the end of the run waits for the log's thread.
constexpr int FinishWaitMs = 10000;

}  // namespace

// The file, kept alive by whichever of the writer and its thread is last.
struct LogWriter::Shared {
    AppendFile File;
};

LogWriter::LogWriter(QObject* parent)
    : QObject(parent),
      File(std::make_shared<Shared>()),
      Thread(std::make_unique<QThread>()),
      Worker(std::make_unique<QObject>()) {
    Thread->setObjectName(QStringLiteral("log"));
    Worker->moveToThread(Thread.get());
    Thread->start();
}

LogWriter::~LogWriter() {
    Thread->quit();
    if (!Thread->wait(FinishWaitMs)) {
        // Blocked in the file system: the process ends around it.
        (void)Thread.release();
        (void)Worker.release();
    }
}

QString LogWriter::Open(const QString& path) {
    const QString error = File->File.Open(path);
    Opened = error.isEmpty();
    return error;
}

void LogWriter::Append(const QByteArray& line, std::function<void(const QString&)> done) {
    ++Waiting;
    QPointer<LogWriter> self(this);
    QMetaObject::invokeMethod(
        Worker.get(),
        [file = File, line, self, done = std::move(done)]() mutable {
            const QString error = file->File.Append(line);
            if (!self) {
                return;
            }
            QMetaObject::invokeMethod(
                self.data(),
                [self, error, done = std::move(done)] {
                    if (!self) {
                        return;
                    }
                    --self->Waiting;
                    done(error);
                    if (self->Waiting == 0) {
                        emit self->Idle();
                    }
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
