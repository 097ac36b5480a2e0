"""Times the production-line command upgrading 1 and then N simulated devices with the same
time model (the example device's) and prints the ratio.

Usage: measure_parallel.py [--library build/host-release/bin/flashbridge.so] [--devices 32]
                           [--image-kib 256] [--runs 3]
"""
import argparse
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "tests"))
from conftest import GUID, SimFolder, device  # noqa: E402


def run_once(library: Path, count: int, image: bytes) -> float:
    folder = Path(tempfile.mkdtemp(prefix="fbmeasure"))
    try:
        sim = SimFolder(folder)
        shutil.copy(library, sim.library_path)
        (folder / "flashbridge.so.config.ini").write_text(
            "[DriverInterface]\nInterfaceGUID = %s\n[Simulation]\nDeviceFile = devices.ini\n" % GUID)
        (folder / "flashbridge.so.logging.ini").write_text(
            "[Logger.Global]\nLogLevel=2\n[Logger.DFUAPI]\nLogLevel=2\n[Logger.DFU]\nLogLevel=2\n")
        serials = ["M-%02d" % n for n in range(count)]
        sim.write_devices([device(serial) for serial in serials])
        (folder / "image.bin").write_bytes(image)
        start = time.monotonic()
        result = sim.run("upgrade", str(folder / "image.bin"), "--plain", timeout=600)
        elapsed = time.monotonic() - start
        if result.returncode != 0 or any(sim.received(serial) != image for serial in serials):
            raise SystemExit("run with %d device(s) failed:\n%s" % (count, result.stdout + result.stderr))
        return elapsed
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--library", default=str(HERE.parent / "build" / "host-release" / "bin" / "flashbridge.so"))
    parser.add_argument("--devices", type=int, default=32)
    parser.add_argument("--image-kib", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    image = os.urandom(args.image_kib * 1024)
    one = min(run_once(Path(args.library), 1, image) for _ in range(args.runs))
    many = min(run_once(Path(args.library), args.devices, image) for _ in range(args.runs))
    print("image %d KiB: 1 device %.2f s, %d devices %.2f s, ratio %.2f" % (
        args.image_kib, one, args.devices, many, many / one))
    return 0


if __name__ == "__main__":
    sys.exit(main())
