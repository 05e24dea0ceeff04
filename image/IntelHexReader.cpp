#include "IntelHexReader.h"

#include "HexDigit.h"

#include <algorithm>

namespace {

// Record types. A data record carries bytes for the image; the others carry
// addresses, of which the image, having 16-bit addresses only, uses none.
constexpr int DataRecord = 0x00;
constexpr int ExtendedSegmentAddressRecord = 0x02;
constexpr int ExtendedLinearAddressRecord = 0x04;
constexpr int LastKnownRecordType = 0x05;

// Positions (from 1) of the fields of a record.
constexpr int LengthPosition = 2;
constexpr int AddressHighPosition = 4;
constexpr int AddressLowPosition = 6;
constexpr int TypePosition = 8;
constexpr int DataPosition = 10;

// True when positions first to last (from 1) exist and hold hexadecimal digits.
bool HexDigitsAt(QByteArrayView line, int first, int last) {
    if (line.size() < last) {
        return false;
    }
    for (int position = first; position <= last; ++position) {
        if (HexDigitValue(line[position - 1]) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::uint8_t IntelHexReader::ReadOneByte(QByteArrayView line, int position) {
    auto digit = [line](int p) {
        return p >= 1 && p <= line.size() ? std::max(HexDigitValue(line[p - 1]), 0) : 0;
    };
    return static_cast<std::uint8_t>(digit(position) * 16 + digit(position + 1));
}

bool IntelHexReader::AnalyseHexLine(QByteArrayView line) {
    if (line.isEmpty() || line[0] != ':') {
        return true;  // not a record
    }
    if (!HexDigitsAt(line, LengthPosition, LengthPosition + 1)) {
        return false;
    }
    const int length = ReadOneByte(line, LengthPosition);
    if (length == 0) {
        return true;  // accepted unchecked; the end-of-file record does not end the reading
    }

    // The whole record must be there as hexadecimal text before any of it is
    // applied, so that malformed text never reaches the image or the bounds.
    const int checkPosition = DataPosition + 2 * length;
    if (!HexDigitsAt(line, AddressHighPosition, checkPosition + 1)) {
        return false;
    }
    const int address =
        ReadOneByte(line, AddressHighPosition) * 256 + ReadOneByte(line, AddressLowPosition);
    const int type = ReadOneByte(line, TypePosition);
    int sum = 0;
    for (int position = LengthPosition; position <= checkPosition; position += 2) {
        sum += ReadOneByte(line, position);
    }
    const bool checkMatches = sum % 256 == 0;

    if (type != DataRecord) {
        if (type > LastKnownRecordType || !checkMatches) {
            return false;
        }
        // A non-zero segment or upper linear base would place the data that
        // follows outside the 64 KiB image.
        if (type == ExtendedSegmentAddressRecord || type == ExtendedLinearAddressRecord) {
            for (int i = 0; i < length; ++i) {
                if (ReadOneByte(line, DataPosition + 2 * i) != 0) {
                    return false;
                }
            }
        }
        return true;
    }

    const int lastAddress = address + length - 1;
    if (lastAddress >= ImageSize) {
        return false;
    }
    // The bounds move with the record's address and length, whether or not
    // its check byte turns out to match. A later record raises the highest
    // address only when it starts above it.
    if (FirstRecordPending) {
        State.ImageLowestAddress = address;
        State.ImageHighestAddress = lastAddress;
        FirstRecordPending = false;
    } else {
        if (State.ImageHighestAddress < address) {
            State.ImageHighestAddress = lastAddress;
        }
        if (address < State.ImageLowestAddress) {
            State.ImageLowestAddress = address;
        }
    }
    // The bytes are stored whether or not the check byte matches.
    for (int i = 0; i < length; ++i) {
        State.FirmwareImage[address + i] = ReadOneByte(line, DataPosition + 2 * i);
    }
    return checkMatches;
}
