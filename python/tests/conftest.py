"""Fixtures: each test gets its own folder with a copy of the plain host library, its
configuration and a simulated device file, so tests never share a virtual bus."""
from __future__ import annotations

import json
import os
import shutil
import struct
import subprocess
import sys
import time
import zlib
from pathlib import Path
from typing import Dict, Iterable, List, Optional

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
REPO = PYTHON_DIR.parent
sys.path.insert(0, str(PYTHON_DIR))

import flashbridge  # noqa: E402

GUID = "{3fe809ab-fb91-4cb5-a643-69670d52366e}"

# The time model of the example device: quick re-enumeration, 4 ms of flash time per block.
DFU_DEVICE = {
    "Model": "dfu",
    "VendorId": "0x1209",
    "ProductId": "0x0001",
    "BootloaderProductId": "0x0002",
    "Manufacturer": "Veltrane",
    "Product": "Mix 20",
    "DfuTransferSize": "1024",
    "ManifestationTolerant": "yes",
    "WillDetach": "yes",
    "DetachDelayMs": "200",
    "RejoinDelayMs": "300",
    "PollTimeoutMs": "5",
    "FlashTimePerBlockMs": "4",
    "ManifestationTimeMs": "100",
}


def source_library() -> Path:
    named = os.environ.get(flashbridge.LIBRARY_ENVIRONMENT_VARIABLE)
    return Path(named) if named else REPO / "build" / "host-release" / "bin" / "flashbridge.so"


def device(serial: str, **keys: str) -> Dict[str, str]:
    """A simulated DFU device with the example's time model; it writes what it received to
    received-<serial>.bin."""
    spec = dict(DFU_DEVICE)
    spec["SerialNumber"] = serial
    spec["ReceivedFirmwareFile"] = "received-%s.bin" % serial
    spec.update(keys)
    return spec


def dfu_suffix(firmware: bytes, bcd_device: int, vendor: int = 0x1209, product: int = 0x0001) -> bytes:
    """The 16-byte DFU 1.1 suffix: bcdDevice, idProduct, idVendor, bcdDFU, "UFD", bLength and
    the CRC (zlib's CRC-32 without its final inversion) over everything before it."""
    body = struct.pack("<HHHH3sB", bcd_device, product, vendor, 0x0100, b"UFD", 16)
    crc = ~zlib.crc32(firmware + body) & 0xFFFFFFFF
    return body + struct.pack("<I", crc)


class SimFolder:
    def __init__(self, folder: Path):
        self.folder = folder
        self.library_path = folder / "flashbridge.so"
        self.devices_path = folder / "devices.ini"

    def write_devices(self, devices: Iterable[Dict[str, str]]) -> None:
        text = ""
        for number, spec in enumerate(devices, 1):
            text += "[Device %d]\n" % number + "".join("%s = %s\n" % item for item in spec.items())
        temporary = self.devices_path.with_suffix(".tmp")
        temporary.write_text(text, encoding="utf-8")
        os.replace(temporary, self.devices_path)

    def received(self, serial: str) -> Optional[bytes]:
        path = self.folder / ("received-%s.bin" % serial)
        return path.read_bytes() if path.exists() else None

    def image(self, size: int, name: str = "image.bin", suffix_bcd: Optional[int] = None) -> Path:
        """Random firmware; with suffix_bcd, followed by a DFU 1.1 file suffix that carries it
        as bcdDevice."""
        path = self.folder / name
        data = os.urandom(size)
        if suffix_bcd is not None:
            data += dfu_suffix(data, suffix_bcd)
        path.write_bytes(data)
        return path

    def library(self) -> flashbridge.Library:
        return flashbridge.Library(self.library_path)

    def command(self, *args: str) -> List[str]:
        return [sys.executable, "-m", "flashbridge", "--library", str(self.library_path), *args]

    def environment(self) -> Dict[str, str]:
        env = dict(os.environ)
        env["PYTHONPATH"] = str(PYTHON_DIR) + os.pathsep + env.get("PYTHONPATH", "")
        # Each command reads its own library's debugger output, not this process's.
        env.pop("QXDFU_DEBUG_OUTPUT", None)
        return env

    @property
    def workdir(self) -> Path:
        """The commands' working folder: not the library's, where Python would take
        flashbridge.so for an extension module named flashbridge."""
        path = self.folder / "work"
        path.mkdir(exist_ok=True)
        return path

    def run(self, *args: str, timeout: float = 60) -> subprocess.CompletedProcess:
        return subprocess.run(self.command(*args), cwd=self.workdir, env=self.environment(), capture_output=True,
                              text=True, timeout=timeout)

    def start(self, *args: str) -> subprocess.Popen:
        return subprocess.Popen(self.command(*args), cwd=self.workdir, env=self.environment(),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def rest_of_output(process: subprocess.Popen, timeout: float = 30.0) -> str:
    """The output after the lines already read, once the process ended. (communicate() would
    miss what readline() has buffered.)"""
    process.wait(timeout)
    return process.stdout.read()


def wait_until(condition, timeout: float = 10.0, interval: float = 0.05) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(interval)
    return condition()


@pytest.fixture
def sim(tmp_path: Path) -> SimFolder:
    library = source_library()
    if not library.is_file():
        pytest.skip("the release library is not built (bash scripts/build.sh release)")
    folder = SimFolder(tmp_path)
    shutil.copy(library, folder.library_path)
    (tmp_path / "flashbridge.so.config.ini").write_text(
        "[DriverInterface]\nInterfaceGUID = %s\n[Simulation]\nDeviceFile = devices.ini\n" % GUID, encoding="utf-8")
    # Quiet library: errors only, no log file.
    (tmp_path / "flashbridge.so.logging.ini").write_text(
        "[Logger.Global]\nLogLevel=2\n[Logger.DFUAPI]\nLogLevel=2\n[Logger.DFU]\nLogLevel=2\n", encoding="utf-8")
    folder.write_devices([])
    return folder


class RecordingBuilder:
    """Writes device-session recordings record by record, with the times the test chooses:
    microseconds, as the recorder writes them."""

    def __init__(self, version=1, format_name="flashbridge-recording", inline_data=False):
        self.records = [{"type": "header", "format": format_name, "version": version, "library": "2.60.0",
                         "time": "2026-12-07T21:50:00Z", "backend": "virtual-bus", "inline_data": inline_data,
                         "pseudonyms": False}]

    def add(self, type_: str, **keys) -> int:
        """Adds a record; returns its record number."""
        self.records.append(dict({"type": type_}, **keys))
        return len(self.records)

    def arrival(self, t: int, pid: int, device: str = "d1", serial: str = "SN0001") -> int:
        instance = "USB\\VID_1209&PID_%04X\\%s" % (pid, serial)
        path = "\\\\?\\usb#vid_1209&pid_%04x#%s#%s" % (pid, serial.lower(), GUID)
        return self.add("arrival", t=t, device=device, node={
            "path": path, "instance": instance, "hardware_ids": [instance.rsplit("\\", 1)[0] + "&REV_0100"],
            "container": None, "class": GUID})

    def removal(self, t: int, pid: int, device: str = "d1", serial: str = "SN0001") -> int:
        return self.add("removal", t=t, device=device,
                        path="\\\\?\\usb#vid_1209&pid_%04x#%s#%s" % (pid, serial.lower(), GUID))

    def transfer(self, t: int, setup: str, took: int = 100, result: int = 0, device: str = "d1", **keys) -> int:
        return self.add("transfer", t_submit=t, t_complete=t + took, device=device, handle=2, setup=setup,
                        result=result, **keys)

    def dnload(self, t: int, block: int, data: bytes, took: int = 100, **keys) -> int:
        setup = "2101%04x0000%04x" % (block << 8 & 0xFF00 | block >> 8, len(data) << 8 & 0xFF00 | len(data) >> 8)
        if data and not keys.pop("inline", False):
            keys.update(out_len=len(data), out_crc32="%08x" % zlib.crc32(data))
        elif data:
            keys["out"] = data.hex()
        return self.transfer(t, setup, took, transferred=len(data), **keys)

    def getstatus(self, t: int, state: int, status: int = 0, took: int = 100, **keys) -> int:
        answer = bytes([status, 0, 0, 0, state, 0]).hex()
        return self.transfer(t, "a103000000000600", took, transferred=6, **dict({"in": answer}, **keys))

    def write(self, path: Path) -> Path:
        path.write_text("".join(json.dumps(record) + "\n" for record in self.records), encoding="utf-8")
        return path


BLOCK = bytes(range(256)) * 4


def upgrade_session(builder: Optional[RecordingBuilder] = None, detach: str = "2100e80300000000", device: str = "d1",
                    serial: str = "SN0001", shift: int = 0) -> RecordingBuilder:
    """A whole upgrade of d1, times in microseconds: the application (PID 1) detaches at 1000
    and leaves at 5000; the bootloader (PID 2) arrives at 300000 and takes three 1024-byte blocks
    submitted at 400000, 410000 and 430000 (a GETSTATUS poll in dfuDNBUSY and one in
    dfuDNLOAD-IDLE after each), the zero-length DNLOAD at 440000 takes 5000 (the longest
    request), a poll in dfuMANIFEST follows, and the device leaves at 500000 and comes back as
    the application at 800000. Another device and every time moved by shift make a second
    unit of a line."""
    b = builder or RecordingBuilder()
    b.arrival(shift, 1, device, serial)
    b.add("open", t=shift + 10, device=device, path="p", result=0, file=1)
    b.add("claim", t=shift + 20, device=device, file=1, result=0, handle=2)
    b.transfer(shift + 1000, detach, device=device)
    b.removal(shift + 5000, 1, device, serial)
    b.arrival(shift + 300000, 2, device, serial)
    b.add("image", t=shift + 310000, sha256="ab" * 32, size=3 * len(BLOCK))
    for block, t in enumerate((400000, 410000, 430000)):
        b.dnload(shift + t, block, BLOCK, offset=block * len(BLOCK), device=device)
        b.getstatus(shift + t + 2000, 4, device=device)
        b.getstatus(shift + t + 4000, 5, device=device)
    b.dnload(shift + 440000, 3, b"", took=5000, device=device)
    b.getstatus(shift + 446000, 7, device=device)
    b.removal(shift + 500000, 2, device, serial)
    b.arrival(shift + 800000, 1, device, serial)
    return b


@pytest.fixture
def write_recording(tmp_path: Path):
    """Writes a builder (or raw text) to a file of its own in the test's folder."""
    counter = iter(range(1, 1000))

    def write(content, name: Optional[str] = None) -> Path:
        path = tmp_path / (name or "recording-%d.jsonl" % next(counter))
        if isinstance(content, RecordingBuilder):
            return content.write(path)
        path.write_text(content, encoding="utf-8")
        return path
    return write
