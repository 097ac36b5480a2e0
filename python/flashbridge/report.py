"""The JSON report of an upgrade run, written so that a quality system can file it: the
station, the versions, the image with its SHA-256, the command line, and every unit with each
of its attempts. The path is checked before the first device starts, and the file is written
atomically (a temporary file beside it, then a rename)."""
from __future__ import annotations

import argparse
import hashlib
import json
import os
import socket
import tempfile
from typing import Dict, List, Optional

from . import __version__
from .api import FlashbridgeError, Image, Library
from .constants import ImageProperty, ImageType
from .line import DeviceJob, now_text

#: The report's format; a new field keeps it, a changed meaning raises it.
SCHEMA = "flashbridge-upgrade-report/2"


class ReportError(Exception):
    """The report cannot be written to the path given."""


def check_writable(path: str) -> None:
    """Raises ReportError unless a report can be written to ``path``: its folder exists and
    takes new files, and the path is not a folder."""
    target = os.path.abspath(path)
    if os.path.isdir(target):
        raise ReportError("Cannot write the report to %s: it is a folder." % path)
    folder = os.path.dirname(target)
    try:
        descriptor, probe = tempfile.mkstemp(dir=folder, prefix=".%s." % os.path.basename(target), suffix=".tmp")
        os.close(descriptor)
        os.remove(probe)
    except OSError as error:
        raise ReportError("Cannot write the report to %s: %s." % (path, error.strerror or error))


def write_report(path: str, document: Dict[str, object]) -> None:
    """Writes the report atomically: readers see the old file or the whole new one."""
    target = os.path.abspath(path)
    temporary = None
    try:
        descriptor, temporary = tempfile.mkstemp(dir=os.path.dirname(target),
                                                 prefix=".%s." % os.path.basename(target), suffix=".tmp")
        with os.fdopen(descriptor, "w", encoding="utf-8") as stream:
            json.dump(document, stream, indent=2)
            stream.write("\n")
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
        temporary = None
    except OSError as error:
        raise ReportError("Cannot write the report to %s: %s." % (path, error.strerror or error))
    finally:
        if temporary is not None:
            try:
                os.remove(temporary)
            except OSError:
                pass


def file_sha256(path: str) -> Optional[str]:
    digest = hashlib.sha256()
    try:
        with open(path, "rb") as stream:
            for chunk in iter(lambda: stream.read(1 << 20), b""):
                digest.update(chunk)
    except OSError:
        return None
    return digest.hexdigest()


def image_version(image: Image) -> Optional[int]:
    """The version an image carries, as a bcdDevice: its DFU suffix's bcdDevice (unless
    0xFFFF, "any"), else the first two words of its metadata block as major.minor in binary
    coded decimal (2.39 is 0x0239); None without either."""
    try:
        if image.has_dfu_suffix:
            bcd = int(image.get(ImageProperty.SUFFIX_BCD_DEVICE))
            if bcd != 0xFFFF:
                return bcd
    except FlashbridgeError:
        pass
    try:
        major = int(image.get(ImageProperty.VERSION_1))
        minor = int(image.get(ImageProperty.VERSION_2))
    except FlashbridgeError:
        return None
    if major > 99 or minor > 99:
        return None
    return (major // 10) << 12 | (major % 10) << 8 | (minor // 10) << 4 | minor % 10


def build_report(library: Library, args: argparse.Namespace, image: Image, image_type: int, device_filter: str,
                 command_line: List[str], started: str, jobs: List[DeviceJob], outcome: str,
                 skip_version: Optional[int]) -> Dict[str, object]:
    major, minor = library.api_version
    image_path = os.path.abspath(args.image)
    return {
        "schema": SCHEMA,
        "station": socket.gethostname(),
        "package_version": __version__,
        "library_path": str(library.path),
        "library_api_version": "%d.%d" % (major, minor),
        "command_line": command_line,
        "image": image_path,
        "image_type": "qx" if image_type == ImageType.QX_BINARY else "raw",
        "image_bytes": image.size,
        "image_file_bytes": os.path.getsize(image_path) if os.path.isfile(image_path) else None,
        "image_sha256": file_sha256(image_path),
        "image_version": None if skip_version is None else "0x%04X" % skip_version,
        "filter": device_filter,
        "start_time": started,
        "end_time": now_text(),
        "outcome": outcome,
        "devices_total": len(jobs),
        "devices_upgraded": sum(1 for job in jobs if job.ok and not job.current),
        "devices_current": sum(1 for job in jobs if job.current),
        "devices_failed": sum(1 for job in jobs if not job.ok),
        "devices": [job.to_json() for job in jobs],
    }
