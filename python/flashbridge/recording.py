"""Device-session recordings: reading the JSON Lines file and naming what it holds.

A recording is one JSON object per line; the record number of a record is its line number (the
header is record 1). This module reads and checks a file and names requests, results and DFU
status answers; ``recording_summary`` and ``recording_diff`` build on it. Plain Python only: it
needs neither the native library nor a device.
"""
from __future__ import annotations

import json
import os
import re
import zlib
from typing import Any, Dict, List, NamedTuple, Optional, Tuple, Union

FORMAT = "flashbridge-recording"
SUPPORTED_VERSIONS = (1,)

# Requests to the DFU interface (bmRequestType 0x21 out, 0xA1 in).
DFU_REQUESTS = {
    0x00: "DFU_DETACH", 0x01: "DFU_DNLOAD", 0x02: "DFU_UPLOAD", 0x03: "DFU_GETSTATUS",
    0x04: "DFU_CLRSTATUS", 0x05: "DFU_GETSTATE", 0x06: "DFU_ABORT",
}
# The XMOS extensions: class requests of any recipient.
XMOS_REQUESTS = {0xF2: "XMOS_DFU_RESETINTODFU", 0xF3: "XMOS_DFU_RESETFROMDFU", 0xF4: "XMOS_DFU_SELECTIMAGE"}
# The bootloader's private vendor requests (bmRequestType 0x41 out, 0xC1 in).
PRIVATE_REQUESTS = {
    0xD1: "PRIV_STORE_IMAGE_METADATA_HEADER", 0xD2: "PRIV_CHECK_IMAGE_COMPATIBILITY",
    0xD3: "PRIV_GET_UNLOCK_TOKEN", 0xD4: "PRIV_UNLOCK_TARGET",
}
STANDARD_REQUESTS = {0x06: "GET_DESCRIPTOR", 0x0B: "SET_INTERFACE"}

WINDOWS_ERRORS = {
    31: "ERROR_GEN_FAILURE", 121: "ERROR_SEM_TIMEOUT", 995: "ERROR_OPERATION_ABORTED",
    1167: "ERROR_DEVICE_NOT_CONNECTED",
}
# What a result means to a reader of the summary, where the name alone does not say it.
RESULT_MEANINGS = {31: "stall", 121: "timed out", 995: "cancelled", 1167: "device gone"}

DFU_STATUS_NAMES = ["OK", "errTARGET", "errFILE", "errWRITE", "errERASE", "errCHECK_ERASED", "errPROG",
                    "errVERIFY", "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR", "errUSBR", "errPOR",
                    "errUNKNOWN", "errSTALLEDPKT"]
DFU_STATE_NAMES = ["appIDLE", "appDETACH", "dfuIDLE", "dfuDNLOAD-SYNC", "dfuDNBUSY", "dfuDNLOAD-IDLE",
                   "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE", "dfuERROR"]
DFU_STATE_IDLE = 2
DFU_STATE_ERROR = 10

_VID_PID = re.compile(r"VID_([0-9A-Fa-f]{4})&PID_([0-9A-Fa-f]{4})")
_HEX = re.compile(r"^(?:[0-9a-fA-F]{2})*$")


class RecordingError(Exception):
    """A recording that cannot be read or is not one this reader understands; the message is
    one line that names the file."""


class Setup(NamedTuple):
    """The 8-byte setup packet of a control transfer."""
    request_type: int
    request: int
    value: int
    index: int
    length: int
    text: str  # as recorded: 16 lowercase hex digits

    @property
    def is_out(self) -> bool:
        return not self.request_type & 0x80


class Record:
    """One line of a recording: its record number and its object."""
    __slots__ = ("number", "data")

    def __init__(self, number: int, data: Dict[str, Any]):
        self.number = number
        self.data = data

    @property
    def type(self) -> str:
        return self.data["type"]

    @property
    def device(self) -> Optional[str]:
        device = self.data.get("device")
        return device if isinstance(device, str) else None

    @property
    def start(self) -> Optional[int]:
        """When it began, microseconds: a transfer's submission, else its time."""
        return _integer(self.data.get("t_submit" if self.type == "transfer" else "t"))

    @property
    def end(self) -> Optional[int]:
        """When it ended: a transfer's completion, else its time."""
        return _integer(self.data.get("t_complete" if self.type == "transfer" else "t"))

    @property
    def result(self) -> int:
        return _integer(self.data.get("result")) or 0

    def __repr__(self) -> str:
        return "Record(%d, %r)" % (self.number, self.data)


class Recording:
    """A recording read whole: its header and every record after it, in order."""

    def __init__(self, path: str, header: Record, records: List[Record]):
        self.path = path
        self.header = header
        self.records = records  # without the header

    @property
    def version(self) -> int:
        return self.header.data["version"]


def _integer(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def read_recording(path: Union[str, os.PathLike]) -> Recording:
    """Reads and checks a recording; raises RecordingError with a one-line message naming the
    file (and the record, where one is at fault)."""
    name = os.fspath(path)
    try:
        with open(path, "rb") as file:
            raw = file.read()
    except OSError as error:
        raise RecordingError("%s: cannot be read: %s" % (name, error.strerror or error)) from None
    lines = raw.split(b"\n")
    if lines and not lines[-1]:
        lines.pop()  # the line end of the last record
    if not lines:
        raise RecordingError("%s is not a flashbridge recording: the file is empty (no header)" % name)
    header: Optional[Record] = None
    records: List[Record] = []
    for number, line in enumerate(lines, 1):
        record = _parse_line(name, number, line.rstrip(b"\r"))
        if number == 1:
            _check_header(name, record)
            header = record
        elif record is not None:
            records.append(record)
    assert header is not None
    for record in records:
        _check_record(name, record)
    return Recording(name, header, records)


def _parse_line(name: str, number: int, line: bytes) -> Optional[Record]:
    if not line.strip():
        if number == 1:
            raise RecordingError("%s is not a flashbridge recording: record 1 is empty (no header)" % name)
        return None  # a blank line keeps the numbers of the records after it
    try:
        # An editor may have put a byte order mark in front of the header.
        data = json.loads(line.decode("utf-8-sig" if number == 1 else "utf-8"))
    except UnicodeDecodeError:
        raise RecordingError("%s: record %d is not UTF-8 text" % (name, number)) from None
    except RecursionError:
        raise RecordingError("%s: record %d is nested too deeply" % (name, number)) from None
    except ValueError as error:
        if number == 1:
            raise RecordingError("%s is not a flashbridge recording: record 1 is not JSON" % name) from None
        where = " at column %d" % error.colno if isinstance(error, json.JSONDecodeError) else ""
        message = error.msg if isinstance(error, json.JSONDecodeError) else str(error)
        raise RecordingError("%s: record %d (line %d) is not valid JSON: %s%s" % (name, number, number, message,
                                                                                 where)) from None
    if not isinstance(data, dict) or not isinstance(data.get("type"), str):
        if number == 1:
            raise RecordingError("%s is not a flashbridge recording: record 1 is not a header object" % name)
        raise RecordingError('%s: record %d is not a JSON object with a "type"' % (name, number))
    return Record(number, data)


def _check_header(name: str, record: Optional[Record]) -> None:
    assert record is not None
    supported = ", ".join(str(version) for version in SUPPORTED_VERSIONS)
    if record.type != "header":
        raise RecordingError('%s is not a flashbridge recording: record 1 is a "%s" record, not the header'
                             % (name, record.type))
    if record.data.get("format") != FORMAT:
        raise RecordingError('%s is not a flashbridge recording: the header\'s format is %s, not "%s"'
                             % (name, json.dumps(record.data.get("format")), FORMAT))
    version = record.data.get("version")
    if _integer(version) is None or version not in SUPPORTED_VERSIONS:
        found = "none" if version is None else json.dumps(version)
        raise RecordingError("%s: recording format version %s is not supported (supported: %s)"
                             % (name, found, supported))


def _check_record(name: str, record: Record) -> None:
    """The keys this reader relies on; other keys, and records of unknown types, are left alone."""
    if record.type == "header":
        raise RecordingError("%s: record %d is a second header" % (name, record.number))
    for key in ("t", "t_submit", "t_complete"):
        value = record.data.get(key)
        if value is not None and _integer(value) is None:
            _refuse(name, record, '"%s" is not a whole number of microseconds' % key)
    if record.type == "arrival":
        node = record.data.get("node")
        if node is not None and not isinstance(node, dict):
            _refuse(name, record, '"node" is not a JSON object')
        _check_strings(name, record, node or {}, ("instance", "path"))
        ids = (node or {}).get("hardware_ids")
        if ids is not None and (not isinstance(ids, list) or not all(isinstance(text, str) for text in ids)):
            _refuse(name, record, '"hardware_ids" is not a list of strings')
    elif record.type == "removal":
        _check_strings(name, record, record.data, ("path",))
    if record.type != "transfer":
        return
    setup = record.data.get("setup")
    if not isinstance(setup, str) or len(setup) != 16 or not _HEX.match(setup):
        raise RecordingError("%s: record %d is a transfer without an 8-byte setup packet" % (name, record.number))
    for key in ("out", "in"):
        value = record.data.get(key)
        if value is not None and (not isinstance(value, str) or not _HEX.match(value)):
            raise RecordingError('%s: record %d: "%s" is not hex bytes' % (name, record.number, key))


def _refuse(name: str, record: Record, what: str) -> None:
    raise RecordingError("%s: record %d: %s" % (name, record.number, what))


def _check_strings(name: str, record: Record, data: Dict[str, Any], keys: Tuple[str, ...]) -> None:
    """Identifiers are used as keys and searched as text; null stands for an absent one."""
    for key in keys:
        value = data.get(key)
        if value is not None and not isinstance(value, str):
            _refuse(name, record, '"%s" is not a string' % key)


def setup_of(record: Record) -> Setup:
    text = record.data["setup"].lower()
    raw = bytes.fromhex(text)
    return Setup(raw[0], raw[1], raw[2] | raw[3] << 8, raw[4] | raw[5] << 8, raw[6] | raw[7] << 8, text)


def request_name(setup: Setup) -> str:
    kind = (setup.request_type >> 5) & 3  # 0 standard, 1 class, 2 vendor
    if setup.request_type in (0x21, 0xA1) and setup.request in DFU_REQUESTS:
        return DFU_REQUESTS[setup.request]
    if kind == 1 and setup.request in XMOS_REQUESTS:
        return XMOS_REQUESTS[setup.request]
    if setup.request_type in (0x41, 0xC1) and setup.request in PRIVATE_REQUESTS:
        return PRIVATE_REQUESTS[setup.request]
    if kind == 0 and setup.request in STANDARD_REQUESTS:
        return STANDARD_REQUESTS[setup.request]
    return "REQUEST_%02X_%02X" % (setup.request_type, setup.request)


def result_name(result: int) -> str:
    """"0", or the number with its Windows error name: "31 ERROR_GEN_FAILURE"."""
    name = WINDOWS_ERRORS.get(result)
    return "%d %s" % (result, name) if name else str(result)


def dfu_status_name(status: int) -> str:
    return DFU_STATUS_NAMES[status] if 0 <= status < len(DFU_STATUS_NAMES) else "status 0x%02x" % status


def dfu_state_name(state: int) -> str:
    return DFU_STATE_NAMES[state] if 0 <= state < len(DFU_STATE_NAMES) else "state %d" % state


def in_bytes(record: Record) -> bytes:
    value = record.data.get("in")
    return bytes.fromhex(value) if isinstance(value, str) else b""


def out_digest(record: Record) -> Optional[Tuple[int, str]]:
    """The OUT data stage as length and CRC-32, whether it was recorded inline or by digest, so
    a recording with inline data matches one without; None when there was none."""
    out = record.data.get("out")
    if isinstance(out, str) and out:
        data = bytes.fromhex(out)
        return len(data), "%08x" % zlib.crc32(data)
    length = _integer(record.data.get("out_len"))
    if length:
        crc = record.data.get("out_crc32")
        return length, crc.lower() if isinstance(crc, str) else "?"
    return None


def out_length(record: Record) -> int:
    digest = out_digest(record)
    return digest[0] if digest else 0


def vid_pid(node: Dict[str, Any]) -> Optional[str]:
    """"1209:0002" from a node's hardware ids (else its instance id)."""
    texts = list(node.get("hardware_ids") or []) + [node.get("instance") or ""]
    for text in texts:
        match = _VID_PID.search(text) if isinstance(text, str) else None
        if match:
            return "%s:%s" % (match.group(1).lower(), match.group(2).lower())
    return None


def describe(record: Record) -> str:
    """What a record did, in the terms its matching uses: a transfer's request name, setup
    packet, OUT data (inline when short, else length and CRC) and result."""
    data = record.data
    if record.type == "transfer":
        setup = setup_of(record)
        text = "%s %s" % (request_name(setup), setup.text)
        digest = out_digest(record)
        out = data.get("out")
        if digest and isinstance(out, str) and len(out) <= 32:
            text += " out %s" % out.lower()
        elif digest:
            text += " (%d bytes, crc %s)" % digest
        text += " -> %s" % result_name(record.result)
        if data.get("submit_error"):
            text += " on submission"
        return text
    if record.type == "arrival":
        node = data.get("node") or {}
        return "arrival %s %s" % (vid_pid(node) or "?", node.get("instance") or node.get("path") or "")
    if record.type == "removal":
        return "removal %s" % (data.get("path") or "")
    if record.type == "timeout":
        return "timeout after %s ms" % data.get("wait_ms")
    if record.type == "descriptor":
        return "descriptor type %s index %s length %s -> %s" % (data.get("dtype"), data.get("index"),
                                                                data.get("length"), result_name(record.result))
    if record.type == "alt_setting":
        return "alt_setting %s -> %s" % (data.get("alt"), result_name(record.result))
    if "result" in data:
        return "%s -> %s" % (record.type, result_name(record.result))
    return record.type


def seconds(microseconds: Optional[int]) -> str:
    return "?" if microseconds is None else "%.3f s" % (microseconds / 1e6)


def milliseconds(microseconds: Optional[float]) -> str:
    return "?" if microseconds is None else "%.3f ms" % (microseconds / 1e3)
