// AnalyseHexLine on arbitrary lines.
//
// Input: one byte of flags (bit 0: FirstRecordPending), the bounds before the
// first line (two 32-bit little-endian values, any value at all), then text
// that is split at every LF into lines, applied in order to one reader.
//
// After every line the result, the bounds and FirstRecordPending, and after
// the last line the whole image, are compared with what the lines' own text
// allows: a line that is not a well-formed data record changes nothing; a
// well-formed data record changes only the image bytes at its own addresses,
// and the bounds by its address and length.

#include <QList>
#include <array>
#include <cstring>
#include <memory>

#include "FuzzInput.h"
#include "IntelHexReader.h"

namespace {

// The judge reads digits on its own rather than through the reader's helper,
// so that a fault in that helper cannot hide by agreeing with itself.
int Nibble(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The byte whose two hexadecimal characters start at line[index]; -1 when
// they are missing or are not hexadecimal digits.
int ByteAt(const QByteArray& line, int index) {
    if (index + 1 >= line.size()) {
        return -1;
    }
    const int high = Nibble(line[index]);
    const int low = Nibble(line[index + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

struct Expected {
    bool Result = true;
    bool Stores = false;  // a data record: its bytes and the bounds change
    int Address = 0;
    QByteArray Data;
};

// What a line may do, from the Intel HEX record layout: ":" LL AAAA TT data CC,
// every field two hexadecimal characters, the bytes adding up to 0 mod 256.
Expected Judge(const QByteArray& line) {
    Expected e;
    if (line.isEmpty() || line[0] != ':') {
        return e;  // not a record
    }
    const int length = ByteAt(line, 1);
    if (length < 0) {
        e.Result = false;
        return e;
    }
    if (length == 0) {
        return e;  // accepted unchecked
    }
    int fields[4 + 255 + 1];
    const int count = 4 + length + 1;
    int sum = 0;
    for (int k = 0; k < count; ++k) {
        fields[k] = ByteAt(line, 1 + 2 * k);
        if (fields[k] < 0) {
            e.Result = false;  // malformed: changes nothing
            return e;
        }
        sum += fields[k];
    }
    const bool checkMatches = sum % 256 == 0;
    const int address = fields[1] * 256 + fields[2];
    const int type = fields[3];
    if (type != 0) {
        // Address and start records store nothing; an unknown type, a
        // non-zero base or a bad check byte rejects the line.
        bool usable = type <= 5 && checkMatches;
        if (type == 2 || type == 4) {
            for (int k = 0; k < length; ++k) {
                usable = usable && fields[4 + k] == 0;
            }
        }
        e.Result = usable;
        return e;
    }
    if (address + length > ImageSize) {
        e.Result = false;  // would reach beyond the image
        return e;
    }
    e.Stores = true;
    e.Result = checkMatches;
    e.Address = address;
    for (int k = 0; k < length; ++k) {
        e.Data.append(static_cast<char>(fields[4 + k]));
    }
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The image and its expected copy live from one input to the next: they
    // are equal after every input, and no line's outcome depends on what the
    // image holds, so neither is filled afresh (which would cost more than
    // the lines themselves).
    using Image = std::array<std::uint8_t, ImageSize>;
    static auto state = [] {
        auto fresh = std::make_unique<ProcessState>();
        for (int a = 0; a < ImageSize; ++a) {
            fresh->FirmwareImage[a] = static_cast<std::uint8_t>((a * 31 + 7) ^ (a >> 8));
        }
        return fresh;
    }();
    static auto expected = std::make_unique<Image>(state->FirmwareImage);

    FuzzInput input(data, size);
    const std::uint8_t flags = input.Byte();
    state->ImageLowestAddress = static_cast<std::int32_t>(input.Long());
    state->ImageHighestAddress = static_cast<std::int32_t>(input.Long());
    IntelHexReader reader(*state);
    reader.FirstRecordPending = (flags & 1) != 0;

    for (const QByteArray& line : input.Rest().split('\n')) {
        std::int32_t low = state->ImageLowestAddress;
        std::int32_t high = state->ImageHighestAddress;
        bool pending = reader.FirstRecordPending;
        const bool result = reader.AnalyseHexLine(line);
        const Expected e = Judge(line);

        FUZZ_CHECK(result == e.Result, "line \"%s\": result %d", line.constData(), result);
        if (e.Stores) {
            const int last = e.Address + static_cast<int>(e.Data.size()) - 1;
            if (pending) {
                low = e.Address;
                high = last;
                pending = false;
            } else {
                if (high < e.Address) {
                    high = last;
                }
                if (e.Address < low) {
                    low = e.Address;
                }
            }
            std::memcpy(expected->data() + e.Address, e.Data.constData(),
                        static_cast<std::size_t>(e.Data.size()));
            FUZZ_CHECK(std::memcmp(state->FirmwareImage.data() + e.Address, e.Data.constData(),
                                   static_cast<std::size_t>(e.Data.size())) == 0,
                       "line \"%s\": the record's bytes are not in the image", line.constData());
        }
        FUZZ_CHECK(state->ImageLowestAddress == low && state->ImageHighestAddress == high,
                   "line \"%s\": bounds %d..%d, expected %d..%d", line.constData(),
                   state->ImageLowestAddress, state->ImageHighestAddress, low, high);
        FUZZ_CHECK(reader.FirstRecordPending == pending, "line \"%s\": FirstRecordPending %d",
                   line.constData(), reader.FirstRecordPending);
    }
    FUZZ_CHECK(std::memcmp(state->FirmwareImage.data(), expected->data(), ImageSize) == 0,
               "image bytes changed outside what the records carry");
    return 0;
}
