"""The production-line command: ``list``, ``upgrade IMAGE``, ``watch`` and ``recording FILE [OTHER]``.

Exit codes: 0 when everything succeeded; 1 when any device failed (or fewer devices than
awaited arrived); 2 for usage errors, a library that cannot be loaded or is set up wrongly, an
image that cannot be loaded, a bad filter, a report that cannot be written, a failed
enumeration or no device at all; 130 after Ctrl+C (running upgrades are aborted first, and the
report is still written). ``recording`` (no library needed) exits 0 for a summary or two
recordings that match, 1 when they diverge, 2 for a file that cannot be read or is no recording
of a supported version.
"""
from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
import time
from typing import List, Optional

from . import __version__
from . import status as st
from ._native import LIBRARY_ENVIRONMENT_VARIABLE, LibraryLoadError
from .api import FlashbridgeError, Library
from .constants import DeviceChange, ImageType, RebootFlag, UpgradeFlag
from .display import make_display
from .line import DEFAULT_FILTER, Identity, ProductionLine, Selection, now_text
from .recording import RecordingError, read_recording
from .recording_diff import diverge, divergence_lines
from .recording_summary import summarize, summary_lines
from .report import ReportError, build_report, check_writable, image_version, write_report
from .setup_check import explain_filter, setup_problems

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130

#: Set by Ctrl+C (SIGINT) and SIGTERM: running upgrades abort, and nothing new starts.
_interrupted = threading.Event()


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


def _count(minimum: int):
    def parse(text: str) -> int:
        value = int(text, 0)
        if value < minimum:
            raise argparse.ArgumentTypeError("must be at least %d" % minimum)
        return value
    return parse


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m flashbridge",
                                     description="Firmware upgrades of USB DFU devices on a production line.")
    parser.add_argument("--library", help="the flashbridge library (default: $%s, else the one beside the package)"
                        % LIBRARY_ENVIRONMENT_VARIABLE)
    parser.add_argument("--version", action="store_true", help="print the package's and the library's version")
    commands = parser.add_subparsers(dest="command")

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
    upgrade.add_argument("--serial", action="append", default=[], metavar="S",
                         help="upgrade only the device with this serial number (repeatable)")
    upgrade.add_argument("--path", action="append", default=[], metavar="P",
                         help="upgrade only the device with this path, its instance identifier as 'list' shows "
                              "it (repeatable)")
    upgrade.add_argument("--image-type", choices=["raw", "qx"], default="raw",
                         help="raw binary (default) or image with metadata block and CRC")
    upgrade.add_argument("--target", type=_number, default=0, help="DFU target id (default 0)")
    upgrade.add_argument("--xmos", action="store_true", help="use the XMOS DFU extensions")
    upgrade.add_argument("--unlock", action="store_true", help="unlock the target before the download")
    upgrade.add_argument("--skip-current", action="store_true",
                         help="leave devices whose bcdDevice equals the image's version, reported as current")
    upgrade.add_argument("--retries", type=_count(0), default=0, metavar="N",
                         help="run a failed device's whole procedure up to N times more")
    upgrade.add_argument("--jobs", type=_count(1), metavar="N", help="at most N devices at once (default: all)")
    upgrade.add_argument("--wait", type=_count(1), metavar="N",
                         help="wait for N devices and start each the moment it is plugged in")
    upgrade.add_argument("--timeout", type=float, metavar="SECONDS",
                         help="with --wait: stop waiting for more devices after this time")
    upgrade.add_argument("--report", metavar="FILE", help="write a JSON report of every device")
    upgrade.add_argument("--plain", action="store_true", help="plain lines even on a terminal")

    watch = commands.add_parser("watch", help="print arrivals and removals as they happen")
    add_filter(watch)
    watch.add_argument("--count", type=int, metavar="N", help="end after N events")
    watch.add_argument("--timeout", type=float, metavar="SECONDS", help="end after this time")

    recording = commands.add_parser("recording", help="summarise a device-session recording, or find where two "
                                                      "recordings diverge")
    recording.add_argument("file", help="a recording (JSON Lines)")
    recording.add_argument("other", nargs="?", help="a second recording to compare the first with")
    recording.add_argument("--json", action="store_true", help="print JSON")
    return parser


def _print(text: str = "") -> None:
    """Prints a line; a reader that went away (``list | head``) ends the output quietly, never
    the upgrade."""
    try:
        print(text, flush=True)
    except BrokenPipeError:
        _silence_stdout()


def _silence_stdout() -> None:
    # Later writes, and the flush at exit, go nowhere instead of raising again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _device_line(entry: dict) -> str:
    serial = entry.get("serial_number")
    return "%s %s:%s bcd %s %s, %s, %s, %s" % (
        entry["run_mode"], entry["vendor_id"], entry["product_id"], entry["bcd_device"],
        " ".join(x for x in (entry["manufacturer"], entry["product"]) if x) or "(no strings)",
        "serial %s" % serial if serial else "no serial number", entry["instance_id"], entry["container_id"])


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
        else:
            _print("%d: %s" % (entry["index"], _device_line(entry)))
    return EXIT_OK


def _snapshot(library: Library, device_filter: str) -> dict:
    """The devices on the bus now, by instance identifier (the device's path); devices that
    cannot be opened (another program holds them) are left out."""
    present = {}
    try:
        with library.enumerate(device_filter) as enumeration:
            for index in range(len(enumeration)):
                try:
                    with enumeration.open(index) as device:
                        identity = Identity.read(device)
                except FlashbridgeError:
                    continue
                present[identity.instance_id or "entry %d" % index] = identity
    except FlashbridgeError:
        pass
    return present


def _watch_line(kind: str, identity: Identity) -> str:
    return "%s %s %s %s %s" % (now_text(), kind, identity.serial_number or "(no serial number)", identity.vid_pid,
                               identity.instance_id)


def _watch(library: Library, args: argparse.Namespace) -> int:
    events: "list[DeviceChange]" = []
    changed = threading.Event()
    lock = threading.Lock()
    device_filter = _filter_text(args.filter)

    def on_change(event: DeviceChange) -> None:
        # Runs on the library's notification thread: queue only, the main thread looks.
        with lock:
            events.append(event)
        changed.set()

    heard = 0
    with library.register(device_filter, on_change):
        known = _snapshot(library, device_filter)
        for identity in known.values():
            _print(_watch_line("present", identity))
        _print("Watching for devices (Ctrl+C ends).")
        deadline = None if args.timeout is None else time.monotonic() + args.timeout
        while args.count is None or heard < args.count:
            if _interrupted.is_set() or (deadline is not None and time.monotonic() > deadline):
                break
            if not changed.wait(0.1):
                continue
            changed.clear()
            with lock:
                batch, events[:] = list(events), []
            present = _snapshot(library, device_filter)
            arrived = [identity for path, identity in present.items() if path not in known]
            removed = [identity for path, identity in known.items() if path not in present]
            known = present
            for event in batch:
                heard += 1
                kind = {DeviceChange.ARRIVAL: "arrival", DeviceChange.REMOVAL: "removal"}.get(event, "unknown")
                pool = arrived if event == DeviceChange.ARRIVAL else removed
                if pool:
                    _print(_watch_line(kind, pool.pop(0)))
                else:
                    _print("%s %s (device not identified: gone again, or held by another program)" % (now_text(),
                                                                                                        kind))
                if args.count is not None and heard >= args.count:
                    break
    _print("%d event(s)." % heard)
    return EXIT_INTERRUPTED if _interrupted.is_set() else EXIT_OK


def _image_failure(path: str, error: FlashbridgeError) -> str:
    detail = st.errno_text(error.status)
    return "Cannot load the image %s: st=0x%08x (%s)%s" % (path, error.status, error.name,
                                                           ": " + detail if detail else "")


def _upgrade(library: Library, args: argparse.Namespace, command_line: List[str]) -> int:
    if args.report:
        try:
            check_writable(args.report)
        except ReportError as error:
            _print(str(error))
            return EXIT_ERROR
    device_filter = _filter_text(args.filter)
    image_type = ImageType.QX_BINARY if args.image_type == "qx" else ImageType.RAW_BINARY
    try:
        image = library.load_image(args.image, image_type)
    except FlashbridgeError as error:
        _print(_image_failure(args.image, error))
        return EXIT_ERROR
    upgrade_flags = (UpgradeFlag.USE_XMOS_DFU_EXTENSIONS if args.xmos else 0) | \
                    (UpgradeFlag.UNLOCK_TARGET if args.unlock else 0)
    reboot_flags = RebootFlag.USE_XMOS_DFU_EXTENSIONS if args.xmos else 0
    started = now_text()
    with image:
        skip_version = None
        if args.skip_current:
            skip_version = image_version(image)
            if skip_version is None:
                _print("--skip-current needs an image that carries its version: a DFU suffix with a bcdDevice "
                       "other than 0xFFFF, or (--image-type qx) a metadata block.")
                return EXIT_ERROR
        line = ProductionLine(library, image, device_filter, args.target, int(upgrade_flags), int(reboot_flags),
                              selection=Selection(args.serial, args.path), max_jobs=args.jobs, retries=args.retries,
                              skip_version=skip_version)
        line.abort = _interrupted
        display = make_display(lambda: list(line.jobs), "flashbridge upgrade %s" % os.path.basename(args.image),
                               plain=args.plain, note=_print)
        line.observer = display.update

        def tick() -> None:
            for message in library.debug_messages():
                display.message(message)
            display.progress(list(line.jobs))
        line.tick = tick
        outcome = "completed"
        try:
            with display:
                if args.wait is not None:
                    display.message("Waiting for %d device(s)..." % args.wait)
                    line.run_waiting(args.wait, args.timeout)
                else:
                    line.run_present()
        except KeyboardInterrupt:
            # A second Ctrl+C: stop waiting for the aborted workers only as long as they take.
            _interrupted.set()
            line.join()
        except FlashbridgeError as error:
            _print(str(error))
            outcome = "error"
        if _interrupted.is_set():
            outcome = "interrupted"
        jobs = list(line.jobs)
        report_failed = False
        if args.report:
            document = build_report(library, args, image, image_type, device_filter, command_line, started, jobs,
                                    outcome, skip_version)
            try:
                write_report(args.report, document)
            except ReportError as error:
                _print(str(error))
                report_failed = True
    failed = [job for job in jobs if not job.ok]
    current = [job for job in jobs if job.current]
    for job in jobs:
        _print("%-24s %-8s 0x%08X %s%s" % (
            job.identity.label, "CURRENT" if job.current else "OK" if job.ok else job.phase.upper(),
            job.status if job.status is not None else st.FAILED, job.status_name,
            "" if job.ok else "  " + job.message))
    _print("%d device(s) upgraded, %s%d failed." % (len(jobs) - len(failed) - len(current),
                                                    "%d current, " % len(current) if current else "", len(failed)))
    if outcome == "interrupted":
        return EXIT_INTERRUPTED
    if outcome == "error" or report_failed:
        return EXIT_ERROR
    if args.wait is not None and len(jobs) < args.wait:
        _print("Only %d of %d device(s) arrived." % (len(jobs), args.wait))
        return EXIT_FAILED
    if not jobs:
        _print("No device found." if not args.serial and not args.path else "No selected device found.")
        return EXIT_ERROR
    return EXIT_FAILED if failed else EXIT_OK


def _recording(args: argparse.Namespace) -> int:
    try:
        first = read_recording(args.file)
        second = read_recording(args.other) if args.other is not None else None
    except RecordingError as error:
        _print(str(error))
        return EXIT_ERROR
    if second is None:
        summary = summarize(first)
        lines = [json.dumps(summary, indent=2)] if args.json else summary_lines(summary)
        code = EXIT_OK
    else:
        result = diverge(first, second)
        lines = [json.dumps(result, indent=2)] if args.json else divergence_lines(result)
        code = EXIT_OK if result["equal"] else EXIT_FAILED
    for line in lines:
        _print(line)
    return code


def _version(args: argparse.Namespace) -> int:
    _print("flashbridge %s (Python package)" % __version__)
    try:
        library = Library(args.library)
    except LibraryLoadError as error:
        _print("library: %s" % error)
        return EXIT_ERROR
    major, minor = library.api_version
    _print("library API %d.%d: %s" % (major, minor, library.path))
    return EXIT_OK


def _on_signal(_signal, _frame) -> None:
    if _interrupted.is_set():
        raise KeyboardInterrupt  # the second one ends the waiting as well
    _interrupted.set()


def main(argv: Optional[List[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser = _parser()
    args = parser.parse_args(argv)
    if args.version:
        return _version(args)
    if args.command is None:
        parser.error("a command is required: list, upgrade, watch or recording")
    if args.command == "recording":
        return _recording(args)
    _interrupted.clear()
    previous = {}
    if threading.current_thread() is threading.main_thread():
        # Ctrl+C and a termination abort the running upgrades and let every device end with its
        # outcome, rather than unwinding wherever the program happens to be.
        for number in (signal.SIGINT, signal.SIGTERM):
            previous[number] = signal.signal(number, _on_signal)
    try:
        try:
            library = Library(args.library)
        except LibraryLoadError as error:
            _print(str(error))
            return EXIT_ERROR
        problems = setup_problems(library, _print)
        if problems:
            for problem in problems:
                _print(problem)
            return EXIT_ERROR
        device_filter = _filter_text(args.filter)
        problem = explain_filter(library, device_filter)
        if problem:
            _print(problem)
            return EXIT_ERROR
        if args.command == "list":
            listed = _list(library, args)
            return EXIT_INTERRUPTED if _interrupted.is_set() else listed
        if args.command == "watch":
            return _watch(library, args)
        return _upgrade(library, args, ["python3", "-m", "flashbridge"] + argv)
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except FlashbridgeError as error:
        _print(str(error))
        return EXIT_ERROR
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _silence_stdout()
