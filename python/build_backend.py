"""A minimal PEP 517 build backend for this package: it writes the wheel (and an sdist) with
the standard library alone, so ``pip install ./python`` works without network access.

The wheel carries every file of the ``flashbridge`` folder except caches, so a library placed
beside the package (with its configuration files) is installed with it.
"""
from __future__ import annotations

import base64
import hashlib
import io
import os
import tarfile
import zipfile
from pathlib import Path

NAME = "flashbridge"
VERSION = "1.13.0"
ROOT = Path(__file__).resolve().parent
TAG = "py3-none-any"
DIST_INFO = "%s-%s.dist-info" % (NAME, VERSION)

METADATA = """Metadata-Version: 2.1
Name: {name}
Version: {version}
Summary: Firmware upgrades of USB DFU 1.1 devices through the flashbridge library
Requires-Python: >=3.8
Provides-Extra: live
Requires-Dist: rich ; extra == "live"
Provides-Extra: test
Requires-Dist: pytest ; extra == "test"

""".format(name=NAME, version=VERSION)

WHEEL = """Wheel-Version: 1.0
Generator: flashbridge build_backend
Root-Is-Purelib: true
Tag: {tag}
""".format(tag=TAG)

ENTRY_POINTS = """[console_scripts]
flashbridge = flashbridge.cli:main
"""


def _package_files():
    for path in sorted((ROOT / NAME).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
            yield path, path.relative_to(ROOT).as_posix()


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    folder = Path(metadata_directory) / DIST_INFO
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "METADATA").write_text(METADATA, encoding="utf-8")
    (folder / "WHEEL").write_text(WHEEL, encoding="utf-8")
    return DIST_INFO


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    wheel_name = "%s-%s-%s.whl" % (NAME, VERSION, TAG)
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w", zipfile.ZIP_DEFLATED) as wheel:
        def add(name: str, data: bytes, mode: int = 0o644) -> None:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
            records.append(_record_line(name, data))

        for path, name in _package_files():
            add(name, path.read_bytes(), 0o755 if os.access(path, os.X_OK) else 0o644)
        add(DIST_INFO + "/METADATA", METADATA.encode("utf-8"))
        add(DIST_INFO + "/WHEEL", WHEEL.encode("utf-8"))
        add(DIST_INFO + "/entry_points.txt", ENTRY_POINTS.encode("utf-8"))
        record_name = DIST_INFO + "/RECORD"
        records.append(record_name + ",,")
        wheel.writestr(zipfile.ZipInfo(record_name, date_time=(2020, 1, 1, 0, 0, 0)),
                       ("\n".join(records) + "\n").encode("utf-8"))
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, VERSION)
    sdist_name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, sdist_name), "w:gz") as sdist:
        for name in ("pyproject.toml", "build_backend.py", "README.md"):
            sdist.add(str(ROOT / name), arcname="%s/%s" % (base, name))
        for path, name in _package_files():
            sdist.add(str(path), arcname="%s/%s" % (base, name))
        info = tarfile.TarInfo("%s/PKG-INFO" % base)
        data = METADATA.encode("utf-8")
        info.size = len(data)
        sdist.addfile(info, io.BytesIO(data))
    return sdist_name
