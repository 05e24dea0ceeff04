#pragma once

// Builds the Intel HEX file that the Save action writes: image indices 0 to
// 0x7FFF as data records at file addresses 0x8000 to 0xFFFF.

#include <QByteArray>

#include "ProcessState.h"

// Indices 0 to 0x7FFF are cut into blocks of 32 bytes. A block gives one
// record that starts at its first non-zero byte and runs to the block's end;
// a block of zero bytes gives none. Upper-case hexadecimal, each line ended
// by LF CR (0x0A 0x0D), no end-of-file record; an all-zero half gives an
// empty file.
QByteArray BuildSaveFile(const ProcessState& state);
