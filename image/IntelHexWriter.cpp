#include "IntelHexWriter.h"

namespace {

constexpr int SavedBytes = 0x8000;
constexpr int BlockSize = 32;
constexpr int FileAddressOffset = 0x8000;

void AppendHexByte(QByteArray& text, int value) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    text.append(Digits[(value >> 4) & 0x0F]);
    text.append(Digits[value & 0x0F]);
}

}  // namespace

QByteArray BuildSaveFile(const ProcessState& state) {
    const auto& image = state.FirmwareImage;
    QByteArray file;
    for (int base = 0; base < SavedBytes; base += BlockSize) {
        int start = base;
        while (start < base + BlockSize && image[start] == 0) {
            ++start;
        }
        if (start == base + BlockSize) {
            continue;  // an all-zero block gives no record
        }
        const int length = base + BlockSize - start;
        const int fileAddress = start + FileAddressOffset;
        file.append(':');
        int sum = 0;
        auto field = [&](int value) {
            AppendHexByte(file, value);
            sum += value;
        };
        field(length);
        field(fileAddress >> 8);
        field(fileAddress & 0xFF);
        field(0x00);  // data record
        for (int index = start; index < base + BlockSize; ++index) {
            field(image[index]);
        }
        AppendHexByte(file, -sum & 0xFF);  // all bytes of the record add up to 0
        file.append("\n\r");
    }
    return file;
}
