"""The production-line command: ``list``, ``upgrade IMAGE`` and ``watch``.

Exit codes: 0 when everything succeeded; 1 when any device failed (or fewer devices than
awaited arrived); 2 for usage errors, a library that cannot be loaded, an image that cannot be
loaded, a failed enumeration or no device at all; 130 after Ctrl+C (running upgrades are
aborted first, and the report is still written).
"""
from __future__ import annotations

import argparse
import json
import os
import signal
import threading
import time
from typing import List, Optional

from . import status as st
from ._native import LIBRARY_ENVIRONMENT_VARIABLE, LibraryLoadError
from .api import FlashbridgeError, Library
from .constants import DeviceChange, ImageType, RebootFlag, UpgradeFlag
from .display import make_display
from .line import DEFAULT_FILTER, DeviceJob, Identity, ProductionLine, now_text

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130


def _filter_text(lines: Optional[List[str]]) -> str:
    """The filter from --filter options: one device per option; "\\n" inside a value also
    separates lines, so a whole filter fits into one shell word."""
    if not lines:
        return DEFAULT_FILTER
    parts: List[str] = []
    for line in lines:
        parts.extend(line.replace("\\n", "\n").split("\n"))
    return "".join(part.strip() + "\n" for part in parts if part.strip())


def _number(text: str) -> int:
    return int(text, 0)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m flashbridge",
                                     description="Firmware upgrades of USB DFU devices on a production line.")
    parser.add_argument("--library", help="the flashbridge library (default: $%s, else the one beside the package)"
                        % LIBRARY_ENVIRONMENT_VARIABLE)
    commands = parser.add_subparsers(dest="command", required=True)

    def add_filter(sub: argparse.ArgumentParser) -> None:
        sub.add_argument("--filter", action="append", metavar="TEXT",
                         help='device filter line, e.g. "VID=0x1209, PID=0x0001" (repeatable); default: '
                              "VID 0x1209 with PID 0x0001 (application) and 0x0002 (bootloader)")

    listing = commands.add_parser("list", help="devices matching the filter, with their properties")
    add_filter(listing)
    listing.add_argument("--json", action="store_true", help="print JSON")

    upgrade = commands.add_parser("upgrade", help="upgrade every matching device in parallel")
    upgrade.add_argument("image", help="firmware image file")
    add_filter(upgrade)
    upgrade.add_argument("--image-type", choices=["raw", "qx"], default="raw",
                         help="raw binary (default) or image with metadata block and CRC")
    upgrade.add_argument("--target", type=_number, default=0, help="DFU target id (default 0)")
    upgrade.add_argument("--xmos", action="store_true", help="use the XMOS DFU extensions")
    upgrade.add_argument("--unlock", action="store_true", help="unlock the target before the download")
    upgrade.add_argument("--wait", type=int, metavar="N",
                         help="wait for N devices and start each the moment it is plugged in")
    upgrade.add_argument("--timeout", type=float, metavar="SECONDS",
                         help="with --wait: stop waiting for more devices after this time")
    upgrade.add_argument("--report", metavar="FILE", help="write a JSON report of every device")
    upgrade.add_argument("--plain", action="store_true", help="plain lines even on a terminal")

    watch = commands.add_parser("watch", help="print arrivals and removals as they happen")
    add_filter(watch)
    watch.add_argument("--count", type=int, metavar="N", help="end after N events")
    watch.add_argument("--timeout", type=float, metavar="SECONDS", help="end after this time")
    return parser


def _print(text: str = "") -> None:
    print(text, flush=True)


def _list(library: Library, args: argparse.Namespace) -> int:
    entries = []
    with library.enumerate(_filter_text(args.filter)) as enumeration:
        for index in range(len(enumeration)):
            entry = {"index": index}
            try:
                with enumeration.open(index) as device:
                    entry.update(Identity.read(device).to_json())
                    entry["run_mode"] = device.run_mode.name.lower()
            except FlashbridgeError as error:
                entry.update({"status": "0x%08X" % error.status, "status_name": error.name})
            entries.append(entry)
    if args.json:
        _print(json.dumps(entries, indent=2))
        return EXIT_OK
    _print("Found %d device(s)." % len(entries))
    for entry in entries:
        if "status" in entry:
            _print("%d: cannot be opened, st=%s (%s)" % (entry["index"], entry["status"], entry["status_name"]))
            continue
        _print("%d: %s %s:%s bcd %s %s, serial %s, %s, %s" % (
            entry["index"], entry["run_mode"], entry["vendor_id"], entry["product_id"], entry["bcd_device"],
            " ".join(x for x in (entry["manufacturer"], entry["product"]) if x) or "(no strings)",
            entry["serial_number"], entry["instance_id"], entry["container_id"]))
    return EXIT_OK


def _watch(library: Library, args: argparse.Namespace) -> int:
    done = threading.Event()
    heard = [0]
    lock = threading.Lock()
    device_filter = _filter_text(args.filter)

    def on_change(event: DeviceChange) -> None:
        # Runs on the library's notification thread: count and print only, no waiting.
        with lock:
            heard[0] += 1
            text = {DeviceChange.ARRIVAL: "arrival", DeviceChange.REMOVAL: "removal"}.get(event, "unknown")
            _print("%s %s" % (now_text(), text))
            if args.count is not None and heard[0] >= args.count:
                done.set()

    with library.register(device_filter, on_change):
        _print("Watching for devices (Ctrl+C ends).")
        deadline = None if args.timeout is None else time.monotonic() + args.timeout
        while not done.wait(0.1):
            if deadline is not None and time.monotonic() > deadline:
                break
    _print("%d event(s)." % heard[0])
    return EXIT_OK


def _write_report(path: str, args: argparse.Namespace, image_size: int, started: str, jobs: List[DeviceJob],
                  outcome: str) -> None:
    report = {
        "image": os.path.abspath(args.image),
        "image_bytes": image_size,
        "filter": _filter_text(args.filter),
        "start_time": started,
        "end_time": now_text(),
        "outcome": outcome,
        "devices_total": len(jobs),
        "devices_failed": sum(1 for job in jobs if not job.ok),
        "devices": [job.to_json() for job in jobs],
    }
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as stream:
        json.dump(report, stream, indent=2)
        stream.write("\n")
    os.replace(temporary, path)


def _upgrade(library: Library, args: argparse.Namespace) -> int:
    if args.wait is not None and args.wait < 1:
        _print("--wait needs a count of at least 1.")
        return EXIT_ERROR
    image_type = ImageType.QX_BINARY if args.image_type == "qx" else ImageType.RAW_BINARY
    try:
        image = library.load_image(args.image, image_type)
    except FlashbridgeError as error:
        _print("Cannot load the image %s: %s" % (args.image, error))
        return EXIT_ERROR
    upgrade_flags = (UpgradeFlag.USE_XMOS_DFU_EXTENSIONS if args.xmos else 0) | \
                    (UpgradeFlag.UNLOCK_TARGET if args.unlock else 0)
    reboot_flags = RebootFlag.USE_XMOS_DFU_EXTENSIONS if args.xmos else 0
    started = now_text()
    with image:
        line = ProductionLine(library, image, _filter_text(args.filter), args.target, int(upgrade_flags),
                              int(reboot_flags))
        display = make_display(lambda: list(line.jobs), "flashbridge upgrade %s" % os.path.basename(args.image),
                               plain=args.plain)
        line.observer = display.update
        line.tick = lambda: display.progress(list(line.jobs))
        outcome = "completed"
        try:
            with display:
                if args.wait is not None:
                    display.message("Waiting for %d device(s)..." % args.wait)
                    line.run_waiting(args.wait, args.timeout)
                else:
                    line.run_present()
        except KeyboardInterrupt:
            outcome = "interrupted"
            line.abort.set()
            line.join()
        except FlashbridgeError as error:
            _print("EnumerateUsbDfuDevices failed, %s" % error)
            outcome = "error"
        jobs = list(line.jobs)
        if args.report:
            _write_report(args.report, args, image.size, started, jobs, outcome)
    failed = [job for job in jobs if not job.ok]
    for job in jobs:
        _print("%-24s %-8s 0x%08X %s" % (job.identity.label, "OK" if job.ok else job.phase.upper(),
                                          job.status if job.status is not None else st.FAILED, job.status_name))
    _print("%d device(s) upgraded, %d failed." % (len(jobs) - len(failed), len(failed)))
    if outcome == "interrupted":
        return EXIT_INTERRUPTED
    if outcome == "error":
        return EXIT_ERROR
    if args.wait is not None and len(jobs) < args.wait:
        _print("Only %d of %d device(s) arrived." % (len(jobs), args.wait))
        return EXIT_FAILED
    if not jobs:
        _print("No device found.")
        return EXIT_ERROR
    return EXIT_FAILED if failed else EXIT_OK


def _terminate(_signal, _frame) -> None:
    raise KeyboardInterrupt


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if threading.current_thread() is threading.main_thread():
        # A terminated run aborts its upgrades as Ctrl+C does.
        signal.signal(signal.SIGTERM, _terminate)
    try:
        library = Library(args.library)
    except LibraryLoadError as error:
        _print(str(error))
        return EXIT_ERROR
    try:
        if args.command == "list":
            return _list(library, args)
        if args.command == "watch":
            return _watch(library, args)
        return _upgrade(library, args)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except FlashbridgeError as error:
        _print(str(error))
        return EXIT_ERROR
