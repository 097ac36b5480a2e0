#!/usr/bin/env python3
"""Writes reference data for the image tests into a build folder.

- crc32_reference.txt: "size crc" lines, the zlib CRC-32 of the pattern bytes
  (i * 131 + 7) & 0xFF for i in 0..size-1, for many sizes;
- firmware files with a DFU file suffix written here, independently of the library, from the
  DFU 1.1 layout (bcdDevice, idProduct, idVendor, bcdDFU, "UFD", bLength 16, and the CRC-32
  register over every byte before the CRC, without final inversion, taken from zlib), and the
  carried image with a suffix added; their names are listed in dfu_suffix_files.txt as
  "name vid pid bcdDevice bcdDFU firmwareBytes".

Usage: make_image_testdata.py OUTPUT_FOLDER CARRIED_IMAGE
"""
import os
import shutil
import struct
import sys
import zlib

CRC_SIZES = list(range(0, 70)) + [255, 256, 257, 1000, 1023, 1024, 1025, 4096, 65535, 65536, 65537, 1_000_003]


def pattern(size):
    return bytes((i * 131 + 7) & 0xFF for i in range(size))


def firmware(size, seed):
    return bytes(((i * 197 + seed) ^ (i >> 7)) & 0xFF for i in range(size))


def add_dfu_suffix(path, vid, pid, did, bcd_dfu):
    with open(path, "rb") as f:
        data = f.read()
    data += struct.pack("<HHHH", did, pid, vid, bcd_dfu) + b"UFD" + bytes([16])
    data += struct.pack("<I", zlib.crc32(data) ^ 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(data)


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out, carried = argv[0], argv[1]
    os.makedirs(out, exist_ok=True)
    big = pattern(max(CRC_SIZES))
    with open(os.path.join(out, "crc32_reference.txt"), "w") as f:
        for size in CRC_SIZES:
            f.write(f"{size} {zlib.crc32(big[:size]):08x}\n")

    listing = os.path.join(out, "dfu_suffix_files.txt")
    cases = [
        # name, firmware bytes (None: the carried image), vid, pid, bcdDevice, bcdDFU (None: tool default)
        ("suffix_small.dfu", firmware(1, 3), 0x1209, 0x0001, 0x0100, None),
        ("suffix_4099.dfu", firmware(4099, 5), 0x1209, 0x0001, 0x0100, None),
        ("suffix_ids.dfu", firmware(777, 9), 0x0483, 0xDF11, 0x2200, 0x011A),
        ("suffix_carried.dfu", None, 0x1209, 0x0001, 0x0100, None),
    ]
    lines = []
    for name, data, vid, pid, did, spec in cases:
        path = os.path.join(out, name)
        if data is None:
            shutil.copyfile(carried, path)
            size = os.path.getsize(carried)
        else:
            with open(path, "wb") as f:
                f.write(data)
            size = len(data)
        add_dfu_suffix(path, vid, pid, did, spec if spec is not None else 0x0100)
        lines.append(f"{name} {vid} {pid} {did} {spec if spec is not None else 0x0100} {size}\n")
    with open(listing, "w") as f:
        f.writelines(lines)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
