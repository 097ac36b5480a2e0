"""The production-line command as a factory uses it: mistakes it must explain, the options that
pick, skip, retry and pace units, the report of an interrupted run, watch's lines, the live
table's order, and hot-plug that keeps running devices."""
from __future__ import annotations

import json
import signal
import time

import pytest

from flashbridge import status as st
from flashbridge.display import fit
from flashbridge.line import DeviceJob, Identity
from conftest import GUID, device, rest_of_output, wait_until


def _report(sim):
    return json.loads((sim.folder / "report.json").read_text(encoding="utf-8"))


def _no_config(sim):
    (sim.folder / "flashbridge.so.config.ini").unlink()


def _missing_device_file(sim):
    (sim.folder / "flashbridge.so.config.ini").write_text(
        "[DriverInterface]\nInterfaceGUID = %s\n[Simulation]\nDeviceFile = nowhere.ini\n" % GUID, encoding="utf-8")


def _typo_in_device_file(sim):
    sim.devices_path.write_text("[Device]\nSerialNumbr = X1\n", encoding="utf-8")


def _folder_as_report(sim):
    (sim.folder / "report.json").mkdir()


# (set-up mistake, command arguments after "upgrade IMAGE" or the whole command, what it must say)
@pytest.mark.parametrize("mistake, arguments, expected", [
    (_no_config, ["list"], "no configuration file"),
    (_missing_device_file, ["list"], "nowhere.ini not loaded: cannot open the file"),
    (_typo_in_device_file, ["list"], "not loaded: line 2: unknown key 'serialnumbr'"),
    (None, ["list", "--filter", "VID=0x1209"], "line 1 'VID=0x1209': st=0xee000051 (QXSTATUS_INVALID_FORMAT): "
                                               "every line needs both VID and PID"),
    (None, ["watch", "--filter", "VID=1, PID=2\\nVID=0x10000, PID=1"],
     "line 2 'VID=0x10000, PID=1', statement 'VID=0x10000': st=0xee000067 (QXSTATUS_OUT_OF_RANGE)"),
    (None, ["list", "--filter", "VID=1, PID=2, VID=3"], "st=0xee00003d (QXSTATUS_DUPLICATE): a key is given twice"),
    (None, ["upgrade", "{folder}/missing.bin"], "st=0xe0010002 (ENOENT): No such file or directory"),
    (None, ["upgrade", "{folder}"], "Cannot load the image"),
    (_folder_as_report, ["upgrade", "{image}", "--report", "{folder}/report.json"], "it is a folder"),
    (None, ["upgrade", "{image}", "--report", "{folder}/no/such/folder/report.json"], "Cannot write the report"),
    (None, ["upgrade", "{image}", "--skip-current"], "--skip-current needs an image that carries its version"),
])
def test_setup_mistakes_are_explained_with_exit_code_2(sim, mistake, arguments, expected):
    sim.write_devices([device("M-1")])
    image = sim.image(4096)
    if mistake is not None:
        mistake(sim)
    result = sim.run(*[argument.format(folder=sim.folder, image=image) for argument in arguments])
    assert result.returncode == 2, result.stdout + result.stderr
    assert expected in result.stdout, result.stdout
    assert "Traceback" not in result.stderr and "failed, EnumerateUsbDfuDevices failed" not in result.stdout
    # Nothing was upgraded before the mistake was found.
    assert sim.received("M-1") is None


def test_unit_failures_are_named_in_summary_and_report(sim):
    sim.write_devices([device("N-1")])
    result = sim.run("upgrade", str(sim.image(8192)), "--target", "5", "--report", str(sim.folder / "report.json"))
    assert result.returncode == 1, result.stdout
    entry = _report(sim)["devices"][0]
    assert entry["status_name"] not in ("", "unknown") and entry["status_name"] in result.stdout
    assert entry["outcome"] == "failed"


def _selection(sim):
    with sim.library().enumerate("VID=0x1209, PID=0x0001") as found:
        paths = {}
        for index in range(len(found)):
            with found.open(index) as opened:
                paths[opened.serial_number] = opened.instance_id
    return {"--serial": ["--serial", "S-2", "--serial", "s-3"], "--path": ["--path", paths["S-2"].lower()]}


# option -> (devices, extra arguments, check(sim, report, stdout))
def _check_serial(sim, report, stdout):
    assert sorted(e["identity"]["serial_number"] for e in report["devices"]) == ["S-2", "S-3"]
    assert sim.received("S-1") is None


def _check_path(sim, report, stdout):
    assert [e["identity"]["serial_number"] for e in report["devices"]] == ["S-2"]
    assert sim.received("S-1") is None and sim.received("S-3") is None


def _check_skip_current(sim, report, stdout):
    by_serial = {e["identity"]["serial_number"]: e for e in report["devices"]}
    assert by_serial["S-1"]["outcome"] == "current" and by_serial["S-1"]["phases"] == ["Opening", "Current"]
    assert by_serial["S-2"]["outcome"] == by_serial["S-3"]["outcome"] == "upgraded"
    assert sim.received("S-1") is None
    assert report["devices_current"] == 1 and report["image_version"] == "0x0200"
    assert "2 device(s) upgraded, 1 current, 0 failed." in stdout


def _check_retries(sim, report, stdout):
    # The simulated device fails its first download only: the second attempt runs through.
    bad = {e["identity"]["serial_number"]: e for e in report["devices"]}["S-2"]
    assert bad["outcome"] == "upgraded" and len(bad["attempts"]) == 2
    first, second = bad["attempts"]
    assert first["status_name"] == "DFU errWRITE" and first["phases"][-1] == "Failed"
    assert second["status"] == 0 and second["phases"][-1] == "Done"
    assert first["end_time"] <= second["start_time"] and bad["start_time"] == first["start_time"]
    assert report["devices_failed"] == 0


def _check_jobs(sim, report, stdout):
    # One at a time: no two download windows overlap, and the others queued first.
    windows = sorted((e["start_time"], e["end_time"]) for e in report["devices"])
    assert all(windows[n][1] <= windows[n + 1][0] for n in range(len(windows) - 1)), windows
    assert sum(1 for e in report["devices"] if "Queued" in e["phases"]) == 2


@pytest.mark.parametrize("option", ["--serial", "--path", "--skip-current", "--retries", "--jobs"])
def test_line_options(sim, option):
    specs = [device("S-1"), device("S-2"), device("S-3")]
    image = sim.image(16 * 1024, suffix_bcd=0x0200)
    arguments = []
    if option == "--skip-current":
        specs[0]["BcdDevice"] = "0x0200"
        arguments = ["--skip-current"]
    if option == "--retries":
        specs[1].update(ErrorAtBlock="4", ErrorStatus="0x03")
        arguments = ["--retries", "2"]
    if option == "--jobs":
        arguments = ["--jobs", "1"]
    sim.write_devices(specs)
    if option in ("--serial", "--path"):
        assert wait_until(lambda: len(sim.library().enumerate("VID=0x1209, PID=0x0001")) == 3)
        arguments = _selection(sim)[option]
    result = sim.run("upgrade", str(image), "--report", str(sim.folder / "report.json"), *arguments)
    assert result.returncode == 0, result.stdout + result.stderr
    report = _report(sim)
    for entry in report["devices"]:
        if entry["outcome"] == "upgraded":
            assert sim.received(entry["identity"]["serial_number"]) == image.read_bytes()[:-16]
    {"--serial": _check_serial, "--path": _check_path, "--skip-current": _check_skip_current,
     "--retries": _check_retries, "--jobs": _check_jobs}[option](sim, report, result.stdout)


@pytest.mark.parametrize("delay", [0.0, 0.4])
def test_early_interrupt_reports_every_device(sim, delay):
    serials = ["I-%02d" % n for n in range(12)]
    sim.write_devices([device(serial, FlashTimePerBlockMs="10", PollTimeoutMs="10") for serial in serials])
    assert wait_until(lambda: len(sim.library().enumerate("VID=0x1209, PID=0x0001")) == len(serials))
    process = sim.start("upgrade", str(sim.image(256 * 1024)), "--jobs", "4", "--report",
                        str(sim.folder / "report.json"))
    process.stdout.readline()  # the first line: the run has begun
    time.sleep(delay)
    process.send_signal(signal.SIGINT)
    output = rest_of_output(process)
    assert process.returncode == 130, output
    report = _report(sim)
    assert report["outcome"] == "interrupted"
    assert sorted(e["identity"]["serial_number"] for e in report["devices"]) == serials
    assert all(e["outcome"] in ("aborted", "upgraded") and e["end_time"] for e in report["devices"])
    assert "Traceback" not in output


def test_closed_output_and_a_device_without_serial(sim):
    sim.write_devices([device("B-%02d" % n) for n in range(20)] + [{"Model": "dfu", "ContainerId": "none"}])
    assert wait_until(lambda: len(sim.library().enumerate("VID=0x1209, PID=0x0001")) == 21)
    result = sim.run("list")
    assert "no serial number" in result.stdout and "serial None" not in result.stdout
    image = sim.image(8192)
    for command in (["list"], ["upgrade", str(image), "--serial", "B-00", "--serial", "B-01"]):
        process = sim.start(*command)
        process.stdout.readline()
        process.stdout.close()  # as `| head -1` does
        # The rest of the output goes nowhere; the command itself runs to its end.
        assert process.wait(30) == 0, command
    assert sim.received("B-00") == sim.received("B-01") == image.read_bytes()


def test_watch_names_each_device_and_version(sim):
    process = sim.start("watch", "--filter", "VID=0x1209, PID=0x0001", "--count", "2", "--timeout", "20")
    try:
        line = process.stdout.readline()
        assert "Watching" in line, line
        sim.write_devices([device("W-1")])
        arrival = process.stdout.readline()
        sim.write_devices([])
        removal = process.stdout.readline()
        output = rest_of_output(process)
    finally:
        if process.poll() is None:
            process.kill()
    for line, kind in ((arrival, "arrival"), (removal, "removal")):
        assert " %s W-1 1209:0001 USB\\VID_1209&PID_0001\\W-1" % kind in line, line
    assert process.returncode == 0 and "2 event(s)." in output
    version = sim.run("--version")
    assert version.returncode == 0 and "flashbridge 1.13.0" in version.stdout and "library API 1.13" in version.stdout


def test_table_puts_failures_first_and_fits_the_terminal():
    jobs = [DeviceJob(identity=Identity(serial_number="T-%d" % n), index=n) for n in range(10)]
    for job in jobs[:4]:
        job.status = st.SUCCESS
    jobs[7].status = st.FAILED
    shown, hidden = fit(jobs, 5)
    assert [job.index for job in shown] == [7, 4, 5, 6]
    assert hidden == "6 more not shown (2 running, 4 done)"
    assert fit(jobs, 10) == (shown + [jobs[n] for n in (8, 9, 0, 1, 2, 3)], "")
    # A device that keeps its unit waiting shows for how long; progress or an end resets it.
    waiting = jobs[8]
    waiting.phase, waiting.phase_since = "Downloading", time.monotonic() - 12
    assert 12 <= waiting.silent_seconds < 20
    waiting.last_progress = time.monotonic()
    assert waiting.silent_seconds < 1
    assert jobs[7].silent_seconds == 0


def test_running_download_survives_devices_added_one_at_a_time(sim):
    """Adding units to the device file while others download keeps the running ones: the
    device file is edited by hand on a line (and by a fixture here) while the command waits."""
    image = sim.image(256 * 1024)
    data = image.read_bytes()
    process = sim.start("upgrade", str(image), "--wait", "3", "--timeout", "90", "--plain", "--report",
                        str(sim.folder / "report.json"))
    specs = []
    try:
        for number in range(1, 4):
            specs.append(device("ADD-%d" % number, FlashTimePerBlockMs="8", PollTimeoutMs="8"))
            sim.write_devices(specs)
            # The next unit arrives while this one downloads.
            while True:
                line = process.stdout.readline()
                assert line, "the command ended early"
                if "ADD-%d: Downloading" % number in line:
                    break
        output = rest_of_output(process, 90)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 0, output
    for spec in specs:
        assert sim.received(spec["SerialNumber"]) == data
    assert [e["outcome"] for e in _report(sim)["devices"]] == ["upgraded"] * 3
