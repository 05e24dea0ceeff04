#pragma once

// Helpers for tests that handle Intel HEX text.

#include <QByteArray>
#include <QList>

// One record as text: type, address and data, with a check byte that
// matches, or is off by checkDelta.
inline QByteArray HexRecord(int type, int address, const QByteArray& data, int checkDelta = 0) {
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(address >> 8));
    bytes.append(static_cast<char>(address));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    int sum = 0;
    for (char c : bytes) {
        sum += static_cast<unsigned char>(c);
    }
    bytes.append(static_cast<char>((checkDelta - sum) & 0xFF));
    return ':' + bytes.toHex().toUpper();
}

inline QByteArray DataRecord(int address, const QByteArray& data, int checkDelta = 0) {
    return HexRecord(0, address, data, checkDelta);
}

// A firmware file: data in records of recordSize bytes from base on, CR LF
// line ends, and the end-of-file record.
inline QByteArray HexFile(int base, const QByteArray& data, int recordSize = 32) {
    QByteArray file;
    for (int offset = 0; offset < data.size(); offset += recordSize) {
        file += DataRecord(base + offset, data.mid(offset, recordSize)) + "\r\n";
    }
    return file + ":00000001FF\r\n";
}

// The lines of a file, split at every CR and at every LF; the empty lines
// between a CR and an LF are kept.
inline QList<QByteArray> HexLines(QByteArray file) {
    return file.replace('\r', '\n').split('\n');
}
