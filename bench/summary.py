#!/usr/bin/env python3
"""Prints the benchmark figures of one run next to their floors (a short table).

Usage: summary.py RESULTS.json
"""
import json
import sys


def ns(entry):
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}[entry.get("time_unit", "ns")]
    return entry["real_time"] * scale


def pretty(t):
    for unit, f in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if t >= f:
            return f"{t / f:.3g} {unit}"
    return f"{t:.3g} ns"


def find(results, prefix):
    """The first result whose name starts with prefix (arguments may be followed by /real_time)."""
    for name, entry in results.items():
        if name == prefix or name.startswith(prefix + "/"):
            return entry
    return None


# (figure, its benchmark, floor, the floor's benchmark): plain times, both from this run.
TIMES = [
    ("load 1.5 MiB carried image", "BM_LoadCarriedImage", "zlib crc32", "BM_ZlibCrcCarriedImage"),
    ("same with DFU suffix", "BM_LoadCarriedImageWithSuffix", "zlib crc32", "BM_ZlibCrcCarriedImageWithSuffix"),
    ("load 64 MiB raw image", "BM_LoadRawImage64MiB", "zlib crc32", "BM_ZlibCrcRawImage64MiB"),
    ("load 64 MiB raw image", "BM_LoadRawImage64MiB", "new buffer + copy", "BM_CopyRawImage64MiB"),
    ("CRC-32 of carried image", "BM_Crc32CarriedImage", "zlib crc32", "BM_ZlibCrcCarriedImage"),
    ("CRC-32 tables only", "BM_Crc32TablesCarriedImage", "zlib crc32", "BM_ZlibCrcCarriedImage"),
    ("log call suppressed", "BM_LogSuppressed", "empty loop", "BM_EmptyLoop"),
    ("log call, no target writes", "BM_LogEnabledNoTarget", "empty loop", "BM_EmptyLoop"),
    ("log call to the log file", "BM_LogToFile", "empty loop", "BM_EmptyLoop"),
    ("enumerate 16, 1024 open", "BM_Enumerate/devices:16/open:1024", "enumerate 16", "BM_Enumerate/devices:16/open:0"),
    ("handle add+remove, 10000 live", "BM_HandleAddRemove/live:10000", "1 live", "BM_HandleAddRemove/live:1"),
    ("handle lookup, 10000 live", "BM_HandleLookup/live:10000", "1 live", "BM_HandleLookup/live:1"),
    ("image property, 10000 images", "BM_ImagePropertyLookup/live:10000", "1 image", "BM_ImagePropertyLookup/live:1"),
    ("status transfer, recording on", "BM_RecorderPerTransfer/dnload:0/recording:1", "recording off",
     "BM_RecorderPerTransfer/dnload:0/recording:0"),
    ("DNLOAD block, recording on", "BM_RecorderPerTransfer/dnload:1/recording:1", "recording off",
     "BM_RecorderPerTransfer/dnload:1/recording:0"),
    ("bus DFU_GETSTATUS, recording on", "BM_VirtualBusGetStatus/recording:1", "recording off",
     "BM_VirtualBusGetStatus/recording:0"),
]

REALISTIC_BLOCK_NS = 5e6  # a realistic device: 4096-byte blocks, 5 ms each


def row(figure, value, floor="", floor_value="", ratio=""):
    print(f"{figure:34} {value:>11}   {floor:30} {floor_value:>11} {ratio:>8}")


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        data = json.load(f)
    results = {b["name"]: b for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"}
    row("figure", "value", "floor", "floor value", "ratio")
    for figure, name, floor, floor_name in TIMES:
        entry, floor_entry = find(results, name), find(results, floor_name)
        if entry is None:
            continue
        if floor_entry is None:
            row(figure, pretty(ns(entry)))
            continue
        t, ft = ns(entry), ns(floor_entry)
        row(figure, pretty(t), floor, pretty(ft), f"{t / ft:.2f}" if ft > 0 else "-")

    # Enumeration: time per device against one device's.
    one = find(results, "BM_Enumerate/devices:1/open:0")
    for n in (16, 128, 1024):
        entry = find(results, f"BM_Enumerate/devices:{n}/open:0")
        if entry is not None and one is not None:
            t, ft = ns(entry) / n, ns(one)
            row(f"enumerate {n}, per device", pretty(t), "enumerate 1", pretty(ft), f"{t / ft:.2f}")
    one = find(results, "BM_OpenEachDevice/devices:1")
    for n in (16, 128, 1024):
        entry = find(results, f"BM_OpenEachDevice/devices:{n}")
        if entry is not None and one is not None:
            t, ft = ns(entry) / n, ns(one)
            row(f"open+close {n}, per device", pretty(t), "open+close 1", pretty(ft), f"{t / ft:.2f}")

    # Downloads with a device that takes no time: the host's cost per block. The marginal
    # cost (1.5 MiB minus 64 KiB) leaves out the upgrade's fixed steps (its worker thread).
    for block in (64, 1024, 4096):
        small = find(results, f"BM_Download/block:{block}/KiB:64/poll_ms:0/flash_us:0")
        large = find(results, f"BM_Download/block:{block}/KiB:1536/poll_ms:0/flash_us:0")
        if small is None or large is None:
            continue
        blocks = large["blocks"] - small["blocks"]
        per_block = (ns(large) - ns(small)) / blocks
        row(f"host cost per {block} B block", pretty(per_block), "realistic block (5 ms)", pretty(REALISTIC_BLOCK_NS),
            f"{100 * per_block / REALISTIC_BLOCK_NS:.2f}%")
        row(f"  with fixed steps, 64 KiB", pretty(ns(small) / small["blocks"]), "", "", "")
        row(f"  bwPollTimeout 0: waits", f"{small['waits'] + large['waits']:g}", "", "", "")

    # Downloads with a time model: the total against the device's modelled time, the waits.
    for name, entry in results.items():
        if not name.startswith("BM_Download/") or entry.get("modelled_s", 0) == 0:
            continue
        args = dict(part.split(":") for part in name.split("/")[1:] if ":" in part)
        label = f"{args['block']} B, {args['KiB']} KiB, {args['poll_ms']}/{int(args['flash_us']) / 1000:g} ms"
        modelled = entry["modelled_s"] * 1e9
        row(label, pretty(ns(entry)), "modelled time", pretty(modelled), f"{ns(entry) / modelled:.3f}")
        row(f"  waits {entry['waits']:.2f} of {entry['wait_ms']:.0f} ms, late by", f"{entry['late_us']:.0f} us", "", "", "")
        row(f"  worker's time between waits", f"{entry['between_us']:.0f} us", "", "", "")

    # Devices upgraded at once against one.
    one = find(results, "BM_ParallelDownload/devices:1")
    for n in (4, 16, 64):
        entry = find(results, f"BM_ParallelDownload/devices:{n}")
        if entry is not None and one is not None:
            row(f"{n} devices at once", pretty(ns(entry)), "one device", pretty(ns(one)), f"{ns(entry) / ns(one):.2f}")


if __name__ == "__main__":
    main()
