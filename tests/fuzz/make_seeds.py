#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz harnesses into corpus/<harness>/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(harness, name, data):
    folder = os.path.join(HERE, "corpus", harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def record(address, data, kind=0):
    body = bytes([len(data), address >> 8, address & 0xFF, kind]) + data
    return (":" + (body + bytes([-sum(body) & 0xFF])).hex().upper()).encode()


# fuzz_hexline: flags (FirstRecordPending), bounds before, lines.
bounds = struct.pack("<ii", 0x1111, 0x2222)
write("fuzz_hexline", "demo_lines", b"\x01" + bounds + b"\n".join([
    b":10800000A54DCA182530BB1D6D132CDED6237B2E43",
    b":10801000D91E3F721FCB1971174494D6493C9D5C01",
    b":088BB000786707134576DC35F8",
    b":00000001FF",
]))
write("fuzz_hexline", "mixed_records", b"\x00" + bounds + b"\n".join([
    b"not a record",
    b":04813c000200ff1a24\r",
    record(0x7000, bytes(range(4))),
    record(0xFFF0, bytes(range(16))),
    b":020000040000FA",
    b":04813C000200FF1A25",
]))

# fuzz_config: flags, length of the stored "ComPort" slice, Config.txt.
write("fuzz_config", "sample", b"\x04\x00" + b"1:2:3\r\nDemoVendor\r\nfwloader demo\r\n")
write("fuzz_config", "stored_port", b"\x00\x04" + b"12:0:200\r\nVendor,Title\r\n&h1A")
write("fuzz_config", "quoted", b"\x00\x03" + b"\"1:2:3\",\"Vendor, Inc\"\r\n\"T\"\r\n2.5")

# fuzz_regfile: name selector, value length, name length, .reg file.
reg = (b"Windows Registry Editor Version 5.00\r\n\r\n"
       b"[HKEY_LOCAL_MACHINE\\SoftWare\\Vendor\\Update]\r\n"
       b"\"ComPort\"=\"3\"\r\n"
       b"\"Other\"=dword:0000001a\r\n"
       b"\"Bytes\"=hex(1):31,\\\r\n  32\r\n"
       b"; 12")
write("fuzz_regfile", "store", b"\x00\x02\x00" + reg)
# As the registry editor saves it (UTF-16LE with its mark), and with the
# sections of two keys.
write("fuzz_regfile", "utf16", b"\x00\x00\x00" + b"\xff\xfe" + reg.decode().encode("utf-16-le"))
write("fuzz_regfile", "sections", b"\x00\x02\x00" +
      b"[HKEY_LOCAL_MACHINE\\SoftWare\\Other\\Update]\r\n\"ComPort\"=\"9\"\r\n\r\n" + reg)

# fuzz_session: flags, low, span, model, version, image pattern, then actions.
Reply, Advance, Device, PauseBytes = 1, 2, 10, 12
header = struct.pack("<BHH", 0, 0x1270, 0x30) + bytes([1, 2, 3, 1, 3, 0x5A])
steps = b""
for _ in range(12):
    steps += bytes([Reply, 0, Advance, 14])
write("fuzz_session", "update_step_by_step", header + steps)
write("fuzz_session", "update_by_device", header + bytes([Device, 63, Advance, 10]))
read = struct.pack("<BHH", 1, 0, 0x17F) + bytes([1, 2, 3, 0, 0, 0])
write("fuzz_session", "read_step_by_step", read + bytes([Reply, 0, Advance, 14] * 8))
write("fuzz_session", "update_with_faults", header + bytes(
    [4, 1, Reply, 0, Advance, 14, Reply, 1, Advance, 1, Reply, 3, 3, 0xB8, 0x0B, Reply, 2,
     3, 0xB8, 0x0B, Device, 40]))
# The answer to the sixth Connect, reporting another model, arrives in pieces
# while the watchdog's question is held open; both boxes are answered.
write("fuzz_session", "ended_during_question", header + bytes(
    [7, 10, 4, 1, 4, 1, 3, 0x6B, 0x17, 0, 10, 0x79, 0x55, 0, 0, 0, 0, 0, 1, 9, 3, 1, Advance, 30]))

# Two acknowledgements arrive 50 ms into the pause after the Connect reply.
write("fuzz_session", "stray_in_pause", header + bytes([PauseBytes, 2, 0x79, 0x79, 50])
      + steps)

# Inputs of problems found and mended, kept as seeds.
write("fuzz_config", "tiny_number", b"\x00\x07" + b"1:2:3\r\nV\r\nT\r\n76d-777")
write("fuzz_regfile", "name_with_line_break",
      b"\x00\x02\x0f" + b"\"ComPort\"=\"3\"\r\nOther; \r\n\"ComPort12")
write("fuzz_regfile", "doubled_cr", b"\x00\x02\x00" + b"\"A\"=\"5\"\r\r\n\r\r\n; 12")
write("fuzz_regfile", "comment_with_backslash", b"\x00\x02\x00" + b"; C:\\\r\n\"ComPort\"=\"3\"\r\n; C\\")
write("fuzz_regfile", "doubled_bom", b"\x00\x02\x00" + b"\xef\xbb\xbf\xef\xbb\xbf\"ComPort\"=\"3\"\n12")
# A UTF-8 mark before the bytes of the UTF-16 mark: the rewrite keeps it.
write("fuzz_regfile", "utf16_mark_after_utf8_mark",
      b"\x00\x02\x00" + b"\xef\xbb\xbf\xff\xfe; x\r\n\"ComPort\"=\"3\"\r\n12")
