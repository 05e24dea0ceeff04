#pragma once

// Firmware and device memory for tests: bytes that repeat for a seed, so a
// failing comparison can be run again.

#include <QByteArray>
#include <QRandomGenerator>

inline QByteArray RandomBytes(int size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random.bounded(256));
    }
    return bytes;
}
