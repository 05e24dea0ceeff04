// Prints how long loading a full 64 KiB Intel HEX file and building the
// 32 KiB Save file take (median of several runs).

#include <QByteArray>
#include <QList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

#include "IntelHexReader.h"
#include "IntelHexWriter.h"

namespace {

constexpr int Runs = 21;

// Median duration of fn in milliseconds.
double MedianMs(const std::function<void()>& fn) {
    QList<double> times;
    for (int run = 0; run < Runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        times.append(took.count());
    }
    std::sort(times.begin(), times.end());
    return times[Runs / 2];
}

// 2,048 data records of 32 bytes covering addresses 0 to 0xFFFF, CR LF ends.
QByteArray FullHexFile() {
    auto state = std::make_unique<ProcessState>();
    for (int address = 0; address < ImageSize; ++address) {
        state->FirmwareImage[address] = static_cast<std::uint8_t>(address * 7 + 1);
    }
    QByteArray file;
    for (int address = 0; address < ImageSize; address += 32) {
        QByteArray record;
        record.append(char(32)).append(char(address >> 8)).append(char(address)).append(char(0));
        record.append(reinterpret_cast<const char*>(&state->FirmwareImage[address]), 32);
        int sum = 0;
        for (char c : record) {
            sum += static_cast<unsigned char>(c);
        }
        record.append(static_cast<char>(-sum & 0xFF));
        file += ':' + record.toHex().toUpper() + "\r\n";
    }
    return file;
}

}  // namespace

int main() {
    const QByteArray file = FullHexFile();
    auto state = std::make_unique<ProcessState>();
    int accepted = 0;

    const double loadMs = MedianMs([&] {
        IntelHexReader reader(*state);
        accepted = 0;
        // Item by item: each line up to its CR or LF.
        qsizetype position = 0;
        while (position < file.size()) {
            qsizetype end = position;
            while (end < file.size() && file[end] != '\r' && file[end] != '\n') {
                ++end;
            }
            accepted +=
                reader.AnalyseHexLine(QByteArrayView(file).sliced(position, end - position));
            const bool crLf = end + 1 < file.size() && file[end] == '\r' && file[end + 1] == '\n';
            position = end + (crLf ? 2 : 1);
        }
    });

    QByteArray saved;
    const double saveMs = MedianMs([&] { saved = BuildSaveFile(*state); });

    std::printf("load 64 KiB HEX file (%lld bytes, %d lines accepted): %.3f ms (median of %d)\n",
                static_cast<long long>(file.size()), accepted, loadMs, Runs);
    std::printf("build 32 KiB Save file (%lld bytes): %.3f ms (median of %d)\n",
                static_cast<long long>(saved.size()), saveMs, Runs);
    return accepted == 2048 ? 0 : 1;
}
