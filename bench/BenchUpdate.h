#pragma once

// The Update that the benchmarks of several ports run: kib KiB of seeded
// bytes from address 0, for a device of model 1 2 3 with version 1.3.

#include <algorithm>

#include "BenchFigures.h"
#include "ProcessState.h"

inline ProcessState BenchUpdateState(int kib) {
    ProcessState state;
    state.ModelId = {1, 2, 3};
    state.FirmwareVersion = {1, 3};
    state.EnglishUi = true;
    state.SessionModeUpdate = true;
    const QByteArray image = RandomBytes(ImageSize, 1);
    std::copy_n(image.constData(), ImageSize, reinterpret_cast<char*>(state.FirmwareImage.data()));
    state.ImageLowestAddress = 0;
    state.ImageHighestAddress = kib * 1024 - 1;
    return state;
}
