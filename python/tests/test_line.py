"""The production-line command against simulated devices: parallel upgrades, a failing device
among good ones, an interrupted run, hot-plug with watch and upgrade --wait, and installing
the package without network."""
from __future__ import annotations

import hashlib
import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest

import flashbridge
from flashbridge import status as st
from conftest import device, rest_of_output, wait_until


def _report(sim, name="report.json"):
    return json.loads((sim.folder / name).read_text(encoding="utf-8"))


@pytest.mark.parametrize("count", [1, 8, 32])
def test_parallel_upgrade_is_byte_exact(sim, count):
    serials = ["PAR-%02d" % n for n in range(count)]
    sim.write_devices([device(serial) for serial in serials])
    image = sim.image(64 * 1024 + 17)
    data = image.read_bytes()
    result = sim.run("upgrade", str(image), "--report", str(sim.folder / "report.json"))
    assert result.returncode == 0, result.stdout + result.stderr
    assert "%d device(s) upgraded, 0 failed." % count in result.stdout
    for serial in serials:
        assert sim.received(serial) == data, serial
    report = _report(sim)
    assert report["devices_total"] == count and report["devices_failed"] == 0
    assert report["image_bytes"] == len(data) and report["outcome"] == "completed"
    # What a quality system files: station, versions, the image's hash, the command line.
    assert report["station"] == socket.gethostname() and report["package_version"] == flashbridge.__version__
    assert report["library_api_version"] == "1.13" and report["image"] == str(image)
    assert report["image_sha256"] == hashlib.sha256(data).hexdigest()
    assert report["command_line"] == ["python3", "-m", "flashbridge", "--library", str(sim.library_path), "upgrade",
                                      str(image), "--report", str(sim.folder / "report.json")]
    assert sorted(entry["identity"]["serial_number"] for entry in report["devices"]) == serials
    for entry in report["devices"]:
        assert (entry["status"], entry["status_name"], entry["outcome"]) == (0, "QXSTATUS_SUCCESS", "upgraded")
        assert len(entry["attempts"]) == 1
        assert entry["bytes"] == entry["total_bytes"] == len(data)
        assert entry["start_time"] <= entry["end_time"] and entry["phase"] == "Done"
    if count > 1:
        # In parallel: the devices' download windows overlap.
        assert max(e["start_time"] for e in report["devices"]) < min(e["end_time"] for e in report["devices"])


def test_failing_device_does_not_stop_the_others(sim):
    good = ["OK-1", "OK-2", "OK-3"]
    specs = [device(serial) for serial in good]
    specs.insert(1, device("BAD-1", ErrorAtBlock="10", ErrorStatus="0x03"))
    sim.write_devices(specs)
    image = sim.image(32 * 1024)
    result = sim.run("upgrade", str(image), "--report", str(sim.folder / "report.json"))
    assert result.returncode == 1, result.stdout
    assert "3 device(s) upgraded, 1 failed." in result.stdout
    for serial in good:
        assert sim.received(serial) == image.read_bytes()
    assert sim.received("BAD-1") is None
    by_serial = {e["identity"]["serial_number"]: e for e in _report(sim)["devices"]}
    bad = by_serial.pop("BAD-1")
    assert bad["status"] == st.dfu_status_error(0x03) and bad["status_name"] == "DFU errWRITE"
    assert "0xEE001103 DFU errWRITE" in result.stdout
    assert bad["dfu_error"] == "errWRITE" and bad["phase"] == "Failed"
    # A failed download is not followed by a reboot into the application.
    assert bad["phases"] == ["Opening", "Rebooting to bootloader", "Waiting for bootloader", "Downloading", "Failed"]
    assert 0 < bad["bytes"] < bad["total_bytes"]
    assert all(e["status"] == 0 for e in by_serial.values())
    assert _report(sim)["devices_failed"] == 1


def test_no_device(sim):
    image = sim.image(1024)
    result = sim.run("upgrade", str(image), "--report", str(sim.folder / "report.json"))
    assert result.returncode == 2 and "No device found." in result.stdout
    assert _report(sim)["devices"] == []


def test_list_shows_properties(sim):
    sim.write_devices([device("L-1"), device("L-2", RunMode="bootloader")])
    result = sim.run("list", "--json")
    assert result.returncode == 0, result.stdout
    entries = {e["serial_number"]: e for e in json.loads(result.stdout)}
    assert entries["L-1"]["run_mode"] == "application" and entries["L-1"]["product_id"] == "0x0001"
    assert entries["L-2"]["run_mode"] == "bootloader" and entries["L-2"]["product_id"] == "0x0002"
    assert entries["L-1"]["product"] == "Mix 20"
    # One filter line per option: only the application's product identifier.
    result = sim.run("list", "--filter", "VID=0x1209, PID=0x0001")
    assert "Found 1 device(s)." in result.stdout and "L-1" in result.stdout


def test_interrupt_aborts_and_still_reports(sim):
    sim.write_devices([device("INT-1", FlashTimePerBlockMs="20", PollTimeoutMs="10")])
    image = sim.image(512 * 1024)
    process = sim.start("upgrade", str(image), "--report", str(sim.folder / "report.json"))
    lines = []
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        lines.append(line)
        if "Downloading" in line:
            break
    time.sleep(0.3)
    process.send_signal(signal.SIGINT)
    output = rest_of_output(process)
    assert process.returncode == 130, "".join(lines) + output
    entry = _report(sim)["devices"][0]
    assert (entry["status"], entry["status_name"], entry["phase"]) == (st.ABORTED, "QXSTATUS_ABORTED", "Aborted")
    assert _report(sim)["outcome"] == "interrupted"
    assert "Rebooting to application" not in entry["phases"]
    assert 0 < entry["bytes"] < entry["total_bytes"]
    assert sim.received("INT-1") is None


def _read_until(process, text, timeout=15.0):
    seen = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        seen.append(line)
        if text in line:
            return seen
    raise AssertionError("%r not seen in %r" % (text, seen))


def test_upgrade_waits_for_devices_plugged_in_later(sim):
    image = sim.image(32 * 1024)
    data = image.read_bytes()
    process = sim.start("upgrade", str(image), "--wait", "2", "--timeout", "60", "--report", str(sim.folder / "report.json"))
    try:
        _read_until(process, "Waiting for 2 device(s)")
        time.sleep(0.5)
        first = device("HOT-1", ContainerId="{00000000-0000-0000-0000-0000000000a1}")
        sim.write_devices([first])
        # The first device is upgraded on its own, before the second one arrives.
        _read_until(process, "HOT-1: Done")
        assert wait_until(lambda: sim.received("HOT-1") == data)
        sim.write_devices([first, device("HOT-2", RunMode="bootloader")])
        output = rest_of_output(process)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, output
    assert sim.received("HOT-2") == data
    report = _report(sim)
    # The first device, plugged in anew by the second arrival, is not upgraded twice.
    assert [e["identity"]["serial_number"] for e in report["devices"]] == ["HOT-1", "HOT-2"]
    assert all(e["status"] == 0 for e in report["devices"])
    full = ["Opening", "Rebooting to bootloader", "Waiting for bootloader", "Downloading", "Rebooting to application",
            "Done"]
    assert report["devices"][0]["phases"] == full
    # Found in its bootloader: closed and taken again, without a reboot request.
    assert report["devices"][1]["phases"] == [p for p in full if p != "Rebooting to bootloader"]


def test_upgrade_wait_times_out_with_fewer_devices(sim):
    sim.write_devices([device("T-1")])
    image = sim.image(8 * 1024)
    result = sim.run("upgrade", str(image), "--wait", "2", "--timeout", "3", "--report", str(sim.folder / "report.json"))
    assert result.returncode == 1 and "Only 1 of 2 device(s) arrived." in result.stdout
    assert sim.received("T-1") == image.read_bytes()


def test_pip_installs_offline(sim, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], check=True)
    python = venv / "bin" / "python"
    from conftest import PYTHON_DIR
    result = subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-index",
                             "--no-deps", "--quiet", str(PYTHON_DIR)], capture_output=True, text=True)
    if "no such option: --python" in result.stderr:
        pytest.skip("pip is older than 22.3")
    assert result.returncode == 0, result.stderr
    check = subprocess.run([str(python), "-c", "import flashbridge, os; print(os.path.dirname(flashbridge.__file__))"],
                           capture_output=True, text=True, cwd=sim.workdir)
    assert check.returncode == 0 and str(venv) in check.stdout, check.stdout + check.stderr
    assert (venv / "bin" / "flashbridge").exists()
    # The venv's interpreter runs the command as README writes it, without activating the venv,
    # and sees the system's packages (rich) when the venv was made from the system interpreter.
    environment = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "VIRTUAL_ENV")}
    command = subprocess.run([str(python), "-m", "flashbridge", "--library", str(sim.library_path), "--version"],
                             capture_output=True, text=True, cwd=sim.workdir, env=environment)
    assert command.returncode == 0 and "library API 1.13" in command.stdout, command.stdout + command.stderr
    has_rich = subprocess.run([sys.executable, "-c", "import rich"], capture_output=True).returncode == 0
    if has_rich:
        assert subprocess.run([str(python), "-c", "import rich"], env=environment).returncode == 0


def _run_on_terminal(sim, args, environment):
    import pty
    leader, follower = pty.openpty()
    process = subprocess.Popen(sim.command(*args), cwd=sim.workdir, env=environment,
                               stdin=follower, stdout=follower, stderr=follower)
    os.close(follower)
    output = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal closes with the process
            break
        if not chunk:
            break
        output += chunk
    os.close(leader)
    assert process.wait(30) == 0
    return output.decode("utf-8", errors="replace")


@pytest.mark.parametrize("rich", ["installed", "missing"])
def test_live_table_on_a_terminal(sim, rich, tmp_path):
    environment = sim.environment()
    if rich == "installed":
        pytest.importorskip("rich")
    else:
        # A module named rich that cannot be imported, first on the path.
        fake = tmp_path / "fake" / "rich"
        fake.mkdir(parents=True)
        (fake / "__init__.py").write_text("raise ImportError('no rich here')\n")
        environment["PYTHONPATH"] = str(fake.parent) + os.pathsep + environment["PYTHONPATH"]
    sim.write_devices([device("TTY-1"), device("TTY-2")])
    image = sim.image(16 * 1024)
    text = _run_on_terminal(sim, ["upgrade", str(image)], environment)
    assert "2 device(s) upgraded, 0 failed." in text
    assert sim.received("TTY-1") == sim.received("TTY-2") == image.read_bytes()
    if rich == "installed":
        # Rich's table (box drawing, cursor movement), not the plain lines.
        assert "flashbridge upgrade image.bin" in text and "\u2501" in text and "\x1b[" in text
        assert "TTY-1: Done" not in text and "No live table" not in text
    else:
        # Said once, then the plain lines.
        assert text.count("No live table: the Python module 'rich' is not installed") == 1
        assert "TTY-1: Done" in text
