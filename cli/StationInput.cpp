#include "StationInput.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <QCoreApplication>
#include <QMetaObject>
#include <cstdio>
#include <thread>

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
        QByteArray pending;
        char buffer[256];
        for (;;) {
#ifdef _WIN32
            if (!std::fgets(buffer, sizeof buffer, stdin)) {
                return;
            }
            pending += buffer;
#else
            const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (got <= 0) {
                return;
            }
            pending.append(buffer, got);
#endif
            for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
                deliver(pending.left(end));
                pending.remove(0, end + 1);
            }
        }
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
