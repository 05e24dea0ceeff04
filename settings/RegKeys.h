#pragma once

// The two operations on the per-machine settings store: write one value as
// text, read one value as text. Each call opens the key, does its one access
// and closes it again; nothing is cached.

#include <QString>
#include <cstdint>

#include "KeyValueBackend.h"

class RegKeys {
public:
    // The read buffer: a value must fit with room for a terminating zero.
    static constexpr std::size_t ReadBufferSize = 1024;

    explicit RegKeys(KeyValueBackend& store) : Store(store) {}

    // Creates the key (and every missing key above it) and stores value as a
    // string value, converted to the 8-bit code page, without terminator.
    // True only when the key was created or opened and the value stored.
    bool SetKeyValue(std::uint32_t root, const QString& keyPath, const QString& valueName,
                     const QString& value);

    // The value as text: strings (types 1 and 2) as stored up to their first
    // NUL, 32-bit numbers (type 4) as "&h" and upper-case hexadecimal digits.
    // Empty when the key or value is missing, the read fails, the value needs
    // 1024 bytes or more, or its type is any other. Never creates a key.
    QString GetKeyValue(std::uint32_t root, const QString& keyPath, const QString& valueName);

private:
    KeyValueBackend& Store;
};
