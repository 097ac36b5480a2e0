"""The summary of one recording: its header, each device with the identities it showed, the
phases of its session, its requests by name, its errors and its timing.

Phases are derived from the records, since the recorder does not write them: a device is in
application mode until a DFU_DETACH or XMOS_DFU_RESETINTODFU (or until it leaves), in bootloader
mode after the arrival that follows; the download runs from the first DFU_DNLOAD with data to the
zero-length one, and manifestation from there until the device leaves, reports dfuIDLE or the
recording ends. A device first seen answering as a bootloader (a download, or a GETSTATUS in a
DFU state, before any detach) started in bootloader mode.
"""
from __future__ import annotations

from collections import Counter
from typing import Any, Dict, List, Optional

from .recording import (DFU_STATE_ERROR, DFU_STATE_IDLE, RESULT_MEANINGS, Record, Recording, describe,
                        dfu_state_name, dfu_status_name, in_bytes, milliseconds, out_length, request_name,
                        result_name, seconds, setup_of, vid_pid)

APPLICATION = "application"
BOOTLOADER = "bootloader"
DOWNLOAD = "download"
MANIFESTATION = "manifestation"

UNLABELLED = "(no device)"


class _Device:
    """What the summary gathers about one device while it walks the records in order."""

    def __init__(self, label: str):
        self.label = label
        self.identities: Dict[str, Dict[str, Any]] = {}  # by instance id (else path)
        self.paths: Dict[str, str] = {}                   # lowercase path -> identity key
        self.requests: Counter = Counter()
        self.errors: List[Dict[str, Any]] = []
        self.resets: List[int] = []
        self.first: Optional[int] = None
        self.last: Optional[int] = None
        # Phases.
        self.phases: List[Dict[str, Any]] = []
        self.phase: Optional[Dict[str, Any]] = None
        self.next_mode = APPLICATION
        self.mode_known = False  # whether the open phase's mode was seen, not assumed
        self.mode_by_id: Dict[str, str] = {}  # VID:PID -> the mode it arrived in
        # Timing.
        self.blocks = 0
        self.bytes = 0
        self.block_times: List[int] = []
        self.previous_block: Optional[int] = None  # submission of the last DNLOAD with data
        self.polls = 0
        self.polls_since_block = 0
        self.max_polls_per_block = 0
        self.longest: Optional[Dict[str, Any]] = None

    # -- phases --

    def open_phase(self, name: str, record: Record, at: Optional[int], known: bool = True) -> None:
        previous = self.phases[-1]["vid_pid"] if self.phases else None
        self.phase = {"name": name, "vid_pid": previous, "start_us": at, "end_us": at,
                      "first_record": record.number, "last_record": record.number, "ended_by": None, "resets": []}
        self.phases.append(self.phase)
        self.mode_known = known
        if known:
            self.learn()

    def learn(self) -> None:
        """Remembers the mode the open phase's VID:PID stands for, for the device's next arrival."""
        if self.phase is not None and self.phase["vid_pid"]:
            self.mode_by_id.setdefault(self.phase["vid_pid"], self.phase["name"])

    def close_phase(self, record: Record, at: Optional[int], reason: str) -> None:
        if self.phase is None:
            return
        self.phase["end_us"] = at
        self.phase["last_record"] = record.number
        self.phase["ended_by"] = reason
        self.phase = None

    def confirm_bootloader(self) -> None:
        """The open phase, assumed to be the application, turns out to be the bootloader."""
        if self.phase is not None and self.phase["name"] == APPLICATION and not self.mode_known:
            self.phase["name"] = BOOTLOADER
            self.mode_known = True
            self.learn()

    def see(self, record: Record) -> None:
        at = record.start
        if at is not None and (self.first is None or at < self.first):
            self.first = at
        end = record.end
        if end is not None and (self.last is None or end > self.last):
            self.last = end
        if self.phase is not None:
            self.phase["last_record"] = record.number
            if end is not None and (self.phase["end_us"] is None or end > self.phase["end_us"]):
                self.phase["end_us"] = end
        handler = getattr(self, "_on_" + record.type, None)
        if handler is not None:
            handler(record)
        elif record.result:  # open, claim, release, descriptor, alt_setting
            self.error(record, "result", describe(record), result=record.result)

    def _on_arrival(self, record: Record) -> None:
        node = record.data.get("node") or {}
        key = node.get("instance") or node.get("path") or "?"
        identity = self.identities.setdefault(key, {"instance": node.get("instance"), "vid_pid": vid_pid(node),
                                                    "arrivals": [], "removals": []})
        identity["arrivals"].append(record.data.get("t"))
        if isinstance(node.get("path"), str):
            self.paths[node["path"].lower()] = key
        if self.phase is not None:
            return  # another node of a device that is here already
        mode = self.mode_by_id.get(identity["vid_pid"] or "")
        known = mode is not None or bool(self.phases)
        self.open_phase(mode or self.next_mode, record, record.data.get("t"), known=False)
        self.phase["vid_pid"] = identity["vid_pid"]
        self.mode_known = known
        if known:
            self.learn()

    def _on_removal(self, record: Record) -> None:
        key = self.paths.get(str(record.data.get("path") or "").lower())
        if key is not None:
            self.identities[key]["removals"].append(record.data.get("t"))
        self.previous_block = None
        if self.phase is None:
            return
        if self.phase["name"] == APPLICATION:
            self.next_mode = BOOTLOADER
        else:
            self.next_mode = APPLICATION
        self.close_phase(record, record.data.get("t"), "removal")

    def _on_reset(self, record: Record) -> None:
        self.resets.append(record.number)
        if self.phase is not None:
            self.phase["resets"].append(record.number)
        if record.result:
            self.error(record, "reset", "reset -> %s" % result_name(record.result), result=record.result)

    def _on_timeout(self, record: Record) -> None:
        self.errors.append({"record": record.number, "device": self.label, "kind": "timeout",
                            "text": "a transfer's wait timed out after %s ms" % record.data.get("wait_ms")})

    def _on_cancel(self, record: Record) -> None:
        self.errors.append({"record": record.number, "device": self.label, "kind": "cancel",
                            "text": "pending transfer cancelled" + (
                                "" if not record.result else ", the cancel -> %s" % result_name(record.result))})

    def _on_transfer(self, record: Record) -> None:
        setup = setup_of(record)
        name = request_name(setup)
        self.requests[name] += 1
        if record.start is not None and record.end is not None:
            latency = record.end - record.start
            if self.longest is None or latency > self.longest["latency_us"]:
                self.longest = {"latency_us": latency, "record": record.number, "request": name}
        if record.result:
            self.error(record, "result", "%s -> %s%s" % (name, result_name(record.result),
                                                         " on submission" if record.data.get("submit_error")
                                                         else ""), result=record.result)
        if name == "DFU_GETSTATUS":
            self._getstatus(record)
        elif name == "DFU_DNLOAD":
            self._dnload(record, setup.length)
        elif name in ("DFU_DETACH", "XMOS_DFU_RESETINTODFU", "XMOS_DFU_RESETFROMDFU") and not record.result:
            if self.phase is not None and self.phase["name"] == APPLICATION and name != "XMOS_DFU_RESETFROMDFU":
                self.mode_known = True
                self.learn()
                self.next_mode = BOOTLOADER
            else:
                self.next_mode = APPLICATION
            self.close_phase(record, record.end, name)
        elif name == "DFU_ABORT":
            self.previous_block = None
            if self.phase is not None and self.phase["name"] in (DOWNLOAD, MANIFESTATION):
                self.close_phase(record, record.end, name)
                self.open_phase(BOOTLOADER, record, record.end)

    def _getstatus(self, record: Record) -> None:
        self.polls += 1
        self.polls_since_block += 1
        self.max_polls_per_block = max(self.max_polls_per_block, self.polls_since_block)
        answer = in_bytes(record)
        if record.result or len(answer) < 6:
            return
        status, state = answer[0], answer[4]
        if status or state == DFU_STATE_ERROR:
            self.error(record, "dfu_status", "DFU_GETSTATUS answered bStatus %d %s, bState %d %s" % (
                status, dfu_status_name(status), state, dfu_state_name(state)), dfu_status=dfu_status_name(status),
                dfu_state=dfu_state_name(state))
        if state >= DFU_STATE_IDLE:
            self.confirm_bootloader()
        elif self.phase is not None and not self.mode_known:
            self.mode_known = True  # appIDLE or appDETACH: the application indeed
            self.learn()
        if self.phase is None:
            return
        if self.phase["name"] == MANIFESTATION and state == DFU_STATE_IDLE:
            self.close_phase(record, record.end, "dfuIDLE")
            self.open_phase(BOOTLOADER, record, record.end)
        elif self.phase["name"] == DOWNLOAD and state == DFU_STATE_ERROR:
            self.close_phase(record, record.end, "dfuERROR")
            self.open_phase(BOOTLOADER, record, record.end)
            self.previous_block = None

    def _dnload(self, record: Record, length: int) -> None:
        if self.previous_block is not None and record.start is not None:
            self.block_times.append(record.start - self.previous_block)
        self.polls_since_block = 0
        if length:
            self.blocks += 1
            self.bytes += out_length(record) or length
            self.previous_block = record.start
            self.confirm_bootloader()
            if self.phase is None or self.phase["name"] != DOWNLOAD:
                self.close_phase(record, record.start, "DFU_DNLOAD")
                self.open_phase(DOWNLOAD, record, record.start)
        else:
            self.previous_block = None
            if self.phase is not None and self.phase["name"] == DOWNLOAD:
                self.close_phase(record, record.end, "zero-length DFU_DNLOAD")
                self.open_phase(MANIFESTATION, record, record.end)

    def error(self, record: Record, kind: str, text: str, **more: Any) -> None:
        entry = {"record": record.number, "device": self.label, "kind": kind, "text": text}
        entry.update(more)
        if "result" in more:
            entry["result_name"] = result_name(more["result"])
            meaning = RESULT_MEANINGS.get(more["result"])
            if meaning:
                entry["text"] += " (%s)" % meaning
        self.errors.append(entry)

    def finish(self) -> Dict[str, Any]:
        if self.phase is not None:
            self.phase["ended_by"] = "end of recording"
        times = self.block_times
        return {
            "device": self.label,
            "identities": list(self.identities.values()),
            "phases": self.phases,
            "resets": self.resets,
            "requests": dict(sorted(self.requests.items(), key=lambda item: (-item[1], item[0]))),
            "errors": self.errors,
            "timing": {
                "first_us": self.first, "last_us": self.last,
                "duration_us": _span(self.first, self.last),
                "dnload_blocks": self.blocks, "dnload_bytes": self.bytes,
                "block_time_mean_us": sum(times) / len(times) if times else None,
                "block_time_max_us": max(times) if times else None,
                "getstatus_polls": self.polls, "getstatus_polls_max_per_block": self.max_polls_per_block,
                "longest_request": self.longest,
            },
        }


def summarize(recording: Recording) -> Dict[str, Any]:
    """The summary as plain data (what ``--json`` prints)."""
    header = recording.header.data
    devices: Dict[str, _Device] = {}
    images = []
    first: Optional[int] = None
    last: Optional[int] = None
    for record in recording.records:
        if record.start is not None:
            first = record.start if first is None else min(first, record.start)
        if record.end is not None:
            last = record.end if last is None else max(last, record.end)
        if record.type == "image":
            images.append({"record": record.number, "t": record.data.get("t"), "size": record.data.get("size"),
                           "sha256": record.data.get("sha256")})
            continue
        if record.type in ("header", "note"):
            continue
        label = record.device or UNLABELLED
        device = devices.get(label)
        if device is None:
            device = devices[label] = _Device(label)
        if device.phase is None and record.type not in ("arrival", "removal") and not device.phases:
            # Records before any arrival: the device was there already.
            device.open_phase(device.next_mode, record, record.start, known=False)
        device.see(record)
    summaries = [device.finish() for device in devices.values()]
    requests: Counter = Counter()
    for summary in summaries:
        requests.update(summary["requests"])
    return {
        "file": recording.path,
        "header": {key: header.get(key) for key in ("format", "version", "library", "time", "backend",
                                                     "inline_data", "pseudonyms")},
        "records": len(recording.records) + 1,
        "duration_us": _span(first, last),
        "images": images,
        "notes": [{"record": r.number, "text": r.data.get("text")} for r in recording.records if r.type == "note"],
        "requests": dict(sorted(requests.items(), key=lambda item: (-item[1], item[0]))),
        "devices": summaries,
    }


def _span(first: Optional[int], last: Optional[int]) -> Optional[int]:
    """From the first start to the last end; unknown unless both are known (a transfer still
    pending when the recording ended has a start and no end)."""
    return None if first is None or last is None else last - first


def _yes(value: Any) -> str:
    return "yes" if value else "no"


def _phase_text(phase: Dict[str, Any]) -> str:
    text = "%s %s-%s (records %d-%d" % (phase["name"], seconds(phase["start_us"]).replace(" s", ""),
                                        seconds(phase["end_us"]), phase["first_record"], phase["last_record"])
    if phase["ended_by"]:
        text += ", until %s" % phase["ended_by"]
    if phase["resets"]:
        text += ", reset at record%s %s" % ("s" if len(phase["resets"]) > 1 else "",
                                            ", ".join(str(number) for number in phase["resets"]))
    return text + ")"


def summary_lines(summary: Dict[str, Any]) -> List[str]:
    """The summary as text, a line per fact."""
    header = summary["header"]
    lines = ["Recording %s: format version %s, library %s, %s, backend %s, inline data %s, pseudonyms %s" % (
        summary["file"], header["version"], header["library"], header["time"], header["backend"],
        _yes(header["inline_data"]), _yes(header["pseudonyms"])),
        "%d records, %s, %d device(s)" % (summary["records"], seconds(summary["duration_us"]),
                                         len(summary["devices"]))]
    for image in summary["images"]:
        lines.append("image (record %d): %s bytes, SHA-256 %s" % (image["record"], image["size"], image["sha256"]))
    for note in summary["notes"]:
        lines.append("note (record %d): %s" % (note["record"], note["text"]))
    for device in summary["devices"]:
        lines.append("device %s:" % device["device"])
        for identity in device["identities"]:
            lines.append("  %s %s: arrived at %s%s" % (
                identity["vid_pid"] or "?:?", identity["instance"] or "?",
                ", ".join(seconds(t) for t in identity["arrivals"]),
                "; left at " + ", ".join(seconds(t) for t in identity["removals"]) if identity["removals"] else ""))
        for phase in device["phases"]:
            lines.append("  phase " + _phase_text(phase))
        if device["requests"]:
            lines.append("  requests: " + ", ".join("%s %d" % item for item in device["requests"].items()))
        for error in device["errors"]:
            lines.append("  error at record %d: %s" % (error["record"], error["text"]))
        timing = device["timing"]
        text = "  timing: %s" % seconds(timing["duration_us"])
        if timing["dnload_blocks"]:
            text += ", %d DNLOAD block(s) of %d bytes, per block mean %s max %s" % (
                timing["dnload_blocks"], timing["dnload_bytes"], milliseconds(timing["block_time_mean_us"]),
                milliseconds(timing["block_time_max_us"]))
        text += ", %d GETSTATUS poll(s)" % timing["getstatus_polls"]
        if timing["getstatus_polls_max_per_block"] and timing["dnload_blocks"]:
            text += " (at most %d per block)" % timing["getstatus_polls_max_per_block"]
        longest = timing["longest_request"]
        if longest:
            text += ", longest request %s (%s, record %d)" % (milliseconds(longest["latency_us"]),
                                                               longest["request"], longest["record"])
        lines.append(text)
    return lines
