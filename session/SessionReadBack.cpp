// Read-back of an Update (VerifyAfterWrite): after the last block, and
// before GoApplication, the written range is read back block by block and
// compared with the image; a block that differs is erased and written again.
#include "BootloaderSession.h"

#include <algorithm>

// After the last block, and after a block read back wrong has been written
// again to its end: the next read-back request, if the read-back is asked
// for and not over.
bool BootloaderSession::ReadBackNext() {
    if (!VerifyAfterWrite || ReadBackOver) {
        return false;
    }
    const std::int32_t cur = Current();
    if (!ReadingBack) {
        if (cur <= High()) {
            return false;
        }
        ReadingBack = true;
        ReadBackStartMs = Timer1.NowMs();
        ReadBackBlock = Low() & ~(BlockSize - 1);
    } else if (cur <= High() && (cur & ~(BlockSize - 1)) == ReadBackBlock) {
        return false;  // the block being written again is not written to its end yet
    }
    RequestReadBack();
    return true;
}

// ReadMemory of the whole 128-byte block; its frame is taken as a read
// session takes one (ReadBlockReceived), then compared. Meanwhile the
// current address is the block's first byte of the image: where a rewrite
// starts, and what a failure names.
void BootloaderSession::RequestReadBack() {
    SetCurrent(std::max(ReadBackBlock, Low()));
    BuildRead(ReadBackBlock);
    SendNext(QStringLiteral("ReadMemory"));
}

// Only the image's bytes of the block are compared: the rest of it is not
// the firmware's.
void BootloaderSession::CompareReadBack(const QByteArray& r) {
    const std::int32_t last = std::min(ReadBackBlock + BlockSize - 1, High());
    std::int32_t differs = -1;
    for (std::int32_t a = std::max(ReadBackBlock, Low()); a <= last && differs < 0; ++a) {
        if (static_cast<std::uint8_t>(r[a - ReadBackBlock]) != State.FirmwareImage[a]) {
            differs = a;
        }
    }
    if (differs < 0) {
        ReadBackRewrites = 0;
        ReadBackBlock += BlockSize;
        if (ReadBackBlock <= High()) {
            RequestReadBack();
            return;
        }
        ReadBackOver = true;
        ReadBackEqual = true;
        ReadBackEndMs = Timer1.NowMs();
        SetCurrent(High() + 1);
        NextUpdateStep();  // GoApplication
        return;
    }
    if (ReadBackRewrites < VerifyRewriteLimit) {
        // Erased and written again from the block's first byte of the image
        // (the current address already), then read back once more.
        ++ReadBackRewrites;
        BuildErase(ReadBackBlock);
        SendNext(QStringLiteral("EraseMemory"));
        return;
    }
    ReadBackOver = true;
    Mismatch = differs;
    ReadBackEndMs = Timer1.NowMs();
    SetCurrent(differs);
    TransferFailure();
}

qint64 BootloaderSession::VerifyMs() const {
    if (!ReadingBack) {
        return 0;
    }
    return (ReadBackOver ? ReadBackEndMs : Timer1.NowMs()) - ReadBackStartMs;
}
