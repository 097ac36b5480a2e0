"""Fixtures: each test gets its own folder with a copy of the plain host library, its
configuration and a simulated device file, so tests never share a virtual bus."""
from __future__ import annotations

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
