#!/usr/bin/env python3
"""Prints the benchmark figures of one run next to their floors (a short table).

Usage: summary.py RESULTS.json
"""
import json
import sys

# (figure, the floor it is compared with), both measured in the same run
FLOORS = [
    ("BM_LoadCarriedImage", "BM_ZlibCrcCarriedImage"),
    ("BM_LoadCarriedImageWithSuffix", "BM_ZlibCrcCarriedImageWithSuffix"),
    ("BM_LoadRawImage64MiB", "BM_ZlibCrcRawImage64MiB"),
    ("BM_LoadRawImage64MiB", "BM_CopyRawImage64MiB"),
    ("BM_Crc32CarriedImage", "BM_ZlibCrcCarriedImage"),
    ("BM_Crc32TablesCarriedImage", "BM_ZlibCrcCarriedImage"),
    ("BM_LogSuppressed", "BM_EmptyLoop"),
    ("BM_LogEnabledNoTarget", "BM_EmptyLoop"),
]


def ns(entry):
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
    return entry["real_time"] * scale


def pretty(t):
    for unit, f in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if t >= f:
            return f"{t / f:9.2f} {unit}"
    return f"{t:9.2f} ns"


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        data = json.load(f)
    results = {b["name"]: b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"}
    print(f"{'figure':34} {'time':>12}   {'floor':34} {'time':>12} {'ratio':>8}")
    for name, floor in FLOORS:
        if name not in results:
            continue
        t = ns(results[name])
        if floor in results:
            ft = ns(results[floor])
            ratio = f"{t / ft:8.2f}" if ft > 0 else "       -"
            print(f"{name:34} {pretty(t):>12}   {floor:34} {pretty(ft):>12} {ratio}")
        else:
            print(f"{name:34} {pretty(t):>12}")


if __name__ == "__main__":
    main()
