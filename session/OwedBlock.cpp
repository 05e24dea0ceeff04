#include "OwedBlock.h"

#include <cstdint>

void OwedBlock::Announced(int length) {
    if (Owed) {
        return;  // a copy: the device may still wait for the first one's block
    }
    Owed = true;
    Length = length + 1;
    RunSums.reset();
}

void OwedBlock::Sent(const QByteArray& packet) {
    if (!Owed) {
        return;
    }
    std::uint8_t x = 0;
    for (const char b : packet) {
        x ^= static_cast<std::uint8_t>(b);
    }
    std::bitset<256> sums;
    for (int s = 0; s < 256; ++s) {
        if (RunSums[s]) {
            sums[s ^ x] = true;
        }
    }
    sums[x] = true;
    RunSums = sums;
}

QByteArray OwedBlock::Filler() {
    int first = 1;
    while (first < 255 && (RunSums[first] || first == 0x55)) {
        ++first;
    }
    QByteArray filler(Length, '\0');
    filler[0] = static_cast<char>(first);
    Owed = false;
    return filler;
}
