#pragma once

// Turns the lines of an Intel HEX file, one at a time, into bytes of the
// firmware image and moves the image bounds.

#include <QByteArrayView>
#include <cstdint>

#include "ProcessState.h"

class IntelHexReader {
public:
    explicit IntelHexReader(ProcessState& state) : State(state) {}

    // True until the first record of non-zero length has set both bounds. The
    // caller sets it once before the first line of each file.
    bool FirstRecordPending = true;

    // Applies one line (without its terminator) to the image. True when the
    // line is accepted: every line that is not a record, every record of
    // length zero, and every record whose check byte matches. False when the
    // check byte does not match (a data record has then already stored its
    // bytes and moved the bounds), and for a malformed or unusable record,
    // which changes nothing.
    bool AnalyseHexLine(QByteArrayView line);

    // The value of the two hexadecimal characters at position and position + 1
    // (counted from 1). Lower case is accepted. A character that is not a
    // hexadecimal digit, or lies beyond the line, counts as 0.
    static std::uint8_t ReadOneByte(QByteArrayView line, int position);

private:
    ProcessState& State;
};
