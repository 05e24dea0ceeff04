// The requests of the bootloader session as they go on the wire. Each is
// written into CommandHeader in place, with the length of its header and of
// the reply it awaits; bytes behind HeaderLength keep what an earlier request
// left there.
#include "BootloaderSession.h"

namespace {

constexpr int ReadBlockLength = 0x80;
constexpr std::uint8_t ReadMarker = 0x52;   // "R"
constexpr std::uint8_t HeaderStart = 0x55;  // "U"

}  // namespace

// Connect, with its check byte built up as each byte is stored. It is built
// once: every resend sends these same eight bytes.
void BootloaderSession::BuildConnect() {
    CommandHeader[0] = HeaderStart;
    CommandHeader[7] = CommandHeader[0];
    CommandHeader[1] = CodeConnect;
    CommandHeader[7] ^= CommandHeader[1];
    for (int i = 0; i < 3; ++i) {
        CommandHeader[2 + i] = State.ModelId[i];
        CommandHeader[7] ^= CommandHeader[2 + i];
    }
    HeaderLength = 8;
    ReplyLength = 10;
    NextPhase = 1;
    if (IsUpdate()) {
        CommandHeader[5] = State.FirmwareVersion.Major;
        CommandHeader[6] = State.FirmwareVersion.Minor;
    } else {
        CommandHeader[5] = 0xFF;
        CommandHeader[6] = 0xFF;
    }
    CommandHeader[7] ^= CommandHeader[5];
    CommandHeader[7] ^= CommandHeader[6];
}

// EraseMemory of the 128-byte block at `block`, which then counts as the
// block erased last.
void BootloaderSession::BuildErase(std::int32_t block) {
    ErasedBlock = block;
    CommandHeader[1] = CodeEraseMemory;
    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(block / 256);
    CommandHeader[4] = static_cast<std::uint8_t>(block % 256);
    HeaderLength = 5;
    ReplyLength = 1;
    NextPhase = 2;
}

// WriteMemory announcing n bytes at `address`; its acknowledgement is read
// as a command reply, after which the data block goes out.
void BootloaderSession::BuildWrite(std::int32_t address, std::int32_t n) {
    CommandHeader[1] = CodeWriteMemory;
    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(address / 256);
    CommandHeader[4] = static_cast<std::uint8_t>(address % 256);
    CommandHeader[5] = static_cast<std::uint8_t>(n);
    HeaderLength = 6;
    ReplyLength = 1;
    NextPhase = 1;
}

// A ReadMemory of 128 bytes at `address`: its frame is the bytes and their
// check byte.
void BootloaderSession::BuildRead(std::int32_t address) {
    CommandHeader[1] = CodeReadMemory;
    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(address / 256);
    CommandHeader[4] = static_cast<std::uint8_t>(address % 256);
    CommandHeader[5] = ReadBlockLength;
    CommandHeader[6] = ReadMarker;
    HeaderLength = 7;
    ReplyLength = ReadBlockLength + 1;
    NextPhase = 2;
}

// GoApplication at `address`, which ends the session.
void BootloaderSession::BuildGo(std::int32_t address) {
    CommandHeader[1] = CodeGoApplication;
    CommandHeader[2] = 0;
    CommandHeader[3] = static_cast<std::uint8_t>(address / 256);
    CommandHeader[4] = static_cast<std::uint8_t>(address % 256);
    HeaderLength = 5;
    ReplyLength = 1;
    NextPhase = 1;
}

// The data block the last WriteMemory announced: its bytes of the image and
// their XOR.
QByteArray BootloaderSession::DataBlock() const {
    const int start = CommandHeader[3] * 256 + CommandHeader[4];
    const int n = CommandHeader[5];
    QByteArray block(n + 1, '\0');
    std::uint8_t x = 0;
    for (int i = 0; i < n; ++i) {
        // A block never crosses the end of its 128-byte block, so start + i
        // stays inside the image.
        const std::uint8_t b = State.FirmwareImage[(start + i) % ImageSize];
        block[i] = static_cast<char>(b);
        x ^= b;
    }
    block[n] = static_cast<char>(x);
    return block;
}
