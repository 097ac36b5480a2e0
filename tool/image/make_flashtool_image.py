#!/usr/bin/env python3
"""Builds the firmware image (type 2) that the console tool carries.

The image is deterministic filler firmware with a metadata block at offset 0x5300 and the
standard CRC-32 of the covered area stored behind it. Four filler bytes at the end of the
covered area are chosen so that this CRC comes out at a fixed value.

Usage: make_flashtool_image.py OUTPUT [--vid 0x1209] [--pid 0x0001]
"""
import argparse
import struct
import sys
import zlib

IMAGE_LENGTH = 1_555_480
BLOCK_OFFSET = 0x5300
COVERED_SIZE = IMAGE_LENGTH - 4  # the stored CRC word follows directly (paddingSize 0)
TARGET_CRC = 0x57004E77
BLOCK_MARKER = 0xE1BEADDE
ITEM_MARKER = 0xE2BEADDE
MAGIC = b"QX#IMG#METADATA#"


def crc_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c)
    return table


TABLE = crc_table()


def forced_bytes(register_before, register_after):
    """Four bytes that take the CRC register from one value to the other.

    After four bytes the register depends only on the four table indexes used:
    r4 = T[k3] ^ T[k2] >> 8 ^ T[k1] >> 16 ^ T[k0] >> 24. The top byte of every table entry
    is unique, so the indexes come out one byte position at a time; each byte is then the
    index XOR the register's low byte at that step.
    """
    top_byte_index = {entry >> 24: i for i, entry in enumerate(TABLE)}
    assert len(top_byte_index) == 256
    x = register_after
    indexes = [0, 0, 0, 0]
    for step in range(3, -1, -1):
        shift = 8 * (3 - step)
        k = top_byte_index[(x >> (24 - shift)) & 0xFF]
        indexes[step] = k
        x ^= TABLE[k] >> shift
    out = bytearray()
    r = register_before
    for k in indexes:
        b = (r ^ k) & 0xFF
        out.append(b)
        r = (r >> 8) ^ TABLE[k]
    assert r == register_after
    return bytes(out)


def item(item_id, item_type, data):
    return struct.pack("<HHIIHH", 16, 1, ITEM_MARKER, 16 + len(data), item_id, item_type) + data


def metadata_block(target_id):
    items = b"".join([
        item(1, 1, b"Oct 27 2025 12:06:57".ljust(24, b"\0")),
        item(2, 1, b"release build".ljust(16, b"\0")),
        item(0x0A, 3, struct.pack("<I", 0x00016059)),
        item(0x14, 3, struct.pack("<I", 0x60000000)),
        item(0x15, 3, struct.pack("<I", 0x60020000)),
    ])
    total = 60 + len(items)
    header = struct.pack("<HHI16sIBBBBIIHHHHQHH", 60, 1, BLOCK_MARKER, MAGIC, total,
                         0x1F, 0, 2, 0,  # flags (bit 0: CRC present), reserved, values A and B
                         target_id, 1,  # target identification, value C
                         2, 39, 0, 0,  # version 2.39.0.0
                         COVERED_SIZE, 0, 4)  # imageSize, paddingSize, crcValueSize
    assert len(header) == 60 and total == 192
    return header + items


def filler(length):
    """Deterministic firmware filler from a 32-bit linear congruential generator."""
    out = bytearray(length)
    state = 0x2545F491
    for i in range(0, length, 4):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i:i + 4] = state.to_bytes(4, "little")[:length - i]
    return out


def build_image(vid, pid):
    image = filler(IMAGE_LENGTH)
    block = metadata_block((vid << 16) | pid)
    image[BLOCK_OFFSET:BLOCK_OFFSET + len(block)] = block
    patch_at = COVERED_SIZE - 4
    register_before = zlib.crc32(bytes(image[:patch_at])) ^ 0xFFFFFFFF
    image[patch_at:COVERED_SIZE] = forced_bytes(register_before, TARGET_CRC ^ 0xFFFFFFFF)
    image[COVERED_SIZE:] = struct.pack("<I", TARGET_CRC)
    assert zlib.crc32(bytes(image[:COVERED_SIZE])) == TARGET_CRC
    # No block may appear before the intended one, and the end must not read as a DFU suffix.
    assert bytes(image).find(MAGIC) == BLOCK_OFFSET + 8
    assert image[-8:-5] != b"UFD"
    return bytes(image)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--vid", type=lambda s: int(s, 0), default=0x1209)
    parser.add_argument("--pid", type=lambda s: int(s, 0), default=0x0001)
    args = parser.parse_args(argv)
    image = build_image(args.vid, args.pid)
    with open(args.output, "wb") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
