#include "StationInput.h"

#ifndef _WIN32
#include <unistd.h>

#include <cerrno>
#endif

#include <QCoreApplication>
#include <QMetaObject>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// Hands each line of what read gives (without its end) to deliver, until
// read gives nothing more; a scanner's or a script's last line may come
// without its end.
void SplitLines(const std::function<qsizetype(char*, qsizetype)>& read,
                const std::function<void(const QByteArray&)>& deliver) {
    QByteArray pending;
    char buffer[256];
    for (qsizetype got = read(buffer, sizeof buffer); got > 0; got = read(buffer, sizeof buffer)) {
        pending.append(buffer, got);
        for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            deliver(pending.left(end));
            pending.remove(0, end + 1);
        }
    }
    if (!pending.isEmpty()) {
        deliver(pending);
    }
}

}  // namespace

#ifndef _WIN32
void ReadLinesOf(int fd, const std::function<void(const QByteArray&)>& deliver) {
    SplitLines(
        [fd](char* buffer, qsizetype size) -> qsizetype {
            for (;;) {
                const ssize_t got = ::read(fd, buffer, static_cast<size_t>(size));
                // A signal for the station (Ctrl-C) may come to this thread.
                if (got >= 0 || errno != EINTR) {
                    return got;
                }
            }
        },
        deliver);
}
#endif

void ReadLines(std::shared_ptr<LineSink> sink) {
    auto deliver = [sink](const QByteArray& line) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [sink, text = QString::fromLocal8Bit(line).trimmed()] {
                std::lock_guard<std::mutex> lock(sink->Guard);
                if (sink->Take) {
                    sink->Take(text);
                }
            },
            Qt::QueuedConnection);
    };
    std::thread([deliver] {
#ifdef _WIN32
        SplitLines(
            [](char* buffer, qsizetype size) -> qsizetype {
                return std::fgets(buffer, static_cast<int>(size), stdin)
                           ? static_cast<qsizetype>(std::strlen(buffer))
                           : 0;
            },
            deliver);
#else
        ReadLinesOf(STDIN_FILENO, deliver);
#endif
    }).detach();
}

StationLine ParseStationLine(const QString& line, const QStringList& labels) {
    StationLine parsed;
    const QString text = line.trimmed();
    if (text.isEmpty()) {
        return parsed;
    }
    const qsizetype space = text.indexOf(u' ');
    const QString name = space < 0 ? text : text.left(space);
    parsed.Unit = space < 0 ? QString() : text.mid(space + 1).trimmed();
    parsed.Slot = static_cast<int>(labels.indexOf(name));
    bool number = false;
    const int index = name.toInt(&number);
    if (parsed.Slot < 0 && number && index >= 1 && index <= labels.size()) {
        parsed.Slot = index - 1;
    }
    if (parsed.Slot < 0) {
        parsed.Problem = QStringLiteral("\"%1\" names no slot (%2, or their numbers from 1)")
                             .arg(name, labels.join(QStringLiteral(", ")));
    }
    return parsed;
}
