#!/usr/bin/env python3
"""Writes SHA-256 and HMAC-SHA256 reference values computed by Python's hashlib and hmac.

Each line of sha256_reference.txt is "sha256 <message hex> <digest hex>" or
"hmac <key hex> <message hex> <mac hex>"; an empty field is written as "-". The inputs are
pseudo-random with a fixed seed and cover the lengths around the 64-byte block and the padding
boundary (55, 56, 63, 64, 65 bytes) as well as multi-block messages and keys longer than a block.

Usage: make_sha_testdata.py OUTPUT_FOLDER
"""
import hashlib
import hmac
import os
import random
import sys


def hexa(data):
    return data.hex() if data else "-"


def main(argv):
    out_dir = argv[0]
    os.makedirs(out_dir, exist_ok=True)
    rng = random.Random(20261207)
    lines = []
    lengths = list(range(0, 130)) + [191, 192, 193, 255, 256, 1000, 4096, 10007]
    for n in lengths:
        msg = bytes(rng.getrandbits(8) for _ in range(n))
        lines.append("sha256 %s %s" % (hexa(msg), hashlib.sha256(msg).hexdigest()))
    for key_len in [0, 1, 20, 32, 63, 64, 65, 131]:
        for msg_len in [0, 1, 55, 56, 64, 100, 1000]:
            key = bytes(rng.getrandbits(8) for _ in range(key_len))
            msg = bytes(rng.getrandbits(8) for _ in range(msg_len))
            lines.append("hmac %s %s %s" % (hexa(key), hexa(msg), hmac.new(key, msg, hashlib.sha256).hexdigest()))
    with open(os.path.join(out_dir, "sha256_reference.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
