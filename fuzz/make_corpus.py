#!/usr/bin/env python3
"""Writes the seed frames of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a whole frame as a tag sends it: sync 0x55AA, code, payload
length, payload, and the two-lane CRC-16 check (lane over even offsets first),
most significant byte first. Run from anywhere; the seeds are committed.
"""
import os
import struct

def crc16_lane(data):
    r = 0xFFFF
    for b in data:
        r ^= b << 8
        for _ in range(8):
            r = ((r << 1) ^ 0x1021) if r & 0x8000 else (r << 1)
            r &= 0xFFFF
    return r

def check(data):
    pairs = len(data) // 2
    return (crc16_lane(data[0:2 * pairs:2]) << 16) | crc16_lane(data[1:2 * pairs:2])

def frame(code, payload=b""):
    head = struct.pack(">HHH", 0x55AA, code, len(payload)) + payload
    return head + struct.pack(">I", check(head))

# The sync request as the host sends it has a known check value.
assert frame(0x0000) == bytes.fromhex("55aa0000000079a2b6c1")

SEEDS = {
    "ack": frame(0xFFFE),
    "nack": frame(0xFFFF),
    "text_hello": frame(0xFFFC, b"hello"),
    "error_report": frame(0xFFFD, struct.pack(">H", 0x0042)),
    "error_report_badlen": frame(0xFFFD, struct.pack(">HH", 0x0042, 0x0001)),
    "board_id": frame(0x0002, struct.pack(">5H", 0x0003, 0x0102, 0x4B33, 0x0A17, 0x0001)),
    "board_adc": frame(0x0003, struct.pack(">4H", 812, 1650, 2048, 37)),
    "eeprom_read": frame(0x0101, struct.pack(">HH", 0x0000, 8) + bytes(range(8))),
    "unknown_code": frame(0x0102, b"\x00\x01"),
}

here = os.path.dirname(os.path.abspath(__file__))
for target in ("checkmess", "getmess"):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)
