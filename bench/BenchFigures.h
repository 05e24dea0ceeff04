#pragma once

// What the benchmarks share: the figures they print from their samples, and
// device memory and images that repeat for a seed.

#include <QByteArray>
#include <QRandomGenerator>
#include <algorithm>
#include <cstddef>
#include <vector>

inline double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// The sample at fraction p (0 to 1) of the sorted samples, the nearest one.
inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline double Max(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end());
}

inline QByteArray RandomBytes(int size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char& b : bytes) {
        b = static_cast<char>(random.bounded(256));
    }
    return bytes;
}
