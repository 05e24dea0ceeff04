#pragma once

// The data block a device may still wait for. A device that acknowledged a
// WriteMemory takes whatever comes next as that block's bytes, also headers
// meant as requests: a few copies of one header can pass the block's check
// (an even number of copies always does), and the device then answers 0x79
// as if it had erased or written. After doubt in a block the session sends
// Filler() before any header: it completes the block whatever part of it the
// device already took, and fails its check.

#include <QByteArray>
#include <bitset>

class OwedBlock {
public:
    // A WriteMemory announcing a block of `length` bytes went out.
    void Announced(int length);
    // A packet went out: a waiting device may take it into the block.
    void Sent(const QByteArray& packet);
    // The device answered the block itself (or refused the WriteMemory): it
    // waits for nothing.
    void Settled() { Owed = false; }
    bool IsOwed() const { return Owed; }
    // As many bytes as the block and its check byte: the first differs from
    // 0, from 0x55 (a header's first byte) and from the XOR of every run of
    // packets sent since the announcement, the rest are zeros. With the part
    // the device took, the block's XOR is that of the run and the first
    // filler byte, never 0: the check fails. Settles the block.
    QByteArray Filler();

private:
    bool Owed = false;
    int Length = 0;
    // The XORs of the runs of packets that end with the one sent last.
    std::bitset<256> RunSums;
};
