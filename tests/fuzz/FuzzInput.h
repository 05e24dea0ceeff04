#pragma once

// Shared pieces of the fuzz harnesses: a reader that takes fields from the
// front of an input, and a check that stops the run with a message when an
// invariant does not hold (libFuzzer then keeps the input as a crash).

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                      \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, \
                         #condition);                                                   \
            std::fprintf(stderr, __VA_ARGS__);                                          \
            std::fprintf(stderr, "\n");                                                 \
            std::abort();                                                               \
        }                                                                               \
    } while (false)

// Reads an input field by field; an exhausted input reads as zero bytes.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : Data(data), Size(size) {}

    bool Empty() const { return Position >= Size; }
    std::size_t Remaining() const { return Empty() ? 0 : Size - Position; }

    std::uint8_t Byte() { return Empty() ? 0 : Data[Position++]; }
    // Little-endian.
    std::uint16_t Word() {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | (Byte() << 8));
    }
    std::uint32_t Long() {
        const std::uint32_t low = Word();
        return low | (static_cast<std::uint32_t>(Word()) << 16);
    }
    // Up to count bytes.
    QByteArray Take(std::size_t count) {
        const std::size_t n = count < Remaining() ? count : Remaining();
        QByteArray bytes(reinterpret_cast<const char*>(Data + Position), static_cast<qsizetype>(n));
        Position += n;
        return bytes;
    }
    QByteArray Rest() { return Take(Remaining()); }

private:
    const std::uint8_t* Data;
    std::size_t Size;
    std::size_t Position = 0;
};
