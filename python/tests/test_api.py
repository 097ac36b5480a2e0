"""The ctypes wrappers against simulated devices: error mapping, handle lifetimes, properties,
upgrades with progress and abort, device change callbacks."""
from __future__ import annotations

import _ctypes
import errno
import gc
import shutil
import subprocess
import threading

import pytest

import flashbridge
from flashbridge import _native
from flashbridge import FlashbridgeError, RunMode, UpgradeState, status as st
from conftest import device, wait_until

FILTER_APP = "VID=0x1209, PID=0x0001"
FILTER_BOTH = "VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002"


def test_version_and_status_names(sim):
    lib = sim.library()
    assert lib.api_version == (1, 13)
    assert lib.check_api_version(1, 0) and not lib.check_api_version(1, 14) and not lib.check_api_version(2, 0)
    assert lib.error_text(st.INVALID_HANDLE) == "QXSTATUS_INVALID_HANDLE"
    assert lib.error_text(0x12345678) == "unknown"
    error = lib.error(st.NO_DEVICES, "Step")
    assert (error.status, error.name) == (st.NO_DEVICES, "QXSTATUS_NO_DEVICES")
    assert str(error) == "Step failed, st=0xee000023 (QXSTATUS_NO_DEVICES)"


@pytest.mark.parametrize("status, name", [
    (0, "QXSTATUS_SUCCESS"),
    (st.INVALID_HANDLE, "QXSTATUS_INVALID_HANDLE"),
    (0xE0020005, "QXSTATUS_CR_INVALID_DEVNODE"),
    # Windows errors and HRESULTs: the library's own table (no copy in the package).
    (0x48F, "ERROR_DEVICE_NOT_CONNECTED"),
    (0x1F, "ERROR_GEN_FAILURE"),
    (0x80070005, "E_ACCESSDENIED"),
    (0x80070002, "ERROR_FILE_NOT_FOUND"),
    (0x000036B1, "ERROR_SXS_CANT_GEN_ACTCTX"),
    # C run-time errors and DFU errors.
    (st.from_errno(errno.ENOENT), "ENOENT"),
    (st.from_errno(errno.EISDIR), "EISDIR"),
    (st.dfu_status_error(0x03), "DFU errWRITE"),
    (st.dfu_status_error(0x0F), "DFU errSTALLEDPKT"),
    (st.dfu_status_error(0x42), "DFU bStatus 0x42"),
    (st.DFU_STATUS_ERROR, "QXSTATUS_DFU_STATUS_ERROR"),
    (0x12345678, "unknown"),
])
def test_every_status_shown_has_its_name(sim, status, name):
    lib = sim.library()
    assert lib.status_name(status) == name
    assert lib.error(status).name == name


def test_library_path_argument_environment_and_errors(sim, monkeypatch, tmp_path):
    monkeypatch.setenv(flashbridge.LIBRARY_ENVIRONMENT_VARIABLE, str(sim.library_path))
    assert flashbridge.Library().path == sim.library_path.resolve()
    # A folder stands for the library inside it; the argument wins over the environment.
    monkeypatch.setenv(flashbridge.LIBRARY_ENVIRONMENT_VARIABLE, str(tmp_path / "nowhere.so"))
    assert flashbridge.Library(sim.folder).path == sim.library_path.resolve()
    with pytest.raises(flashbridge.LibraryLoadError, match="not found"):
        flashbridge.Library()
    # A loadable module without the exports is refused.
    with pytest.raises(flashbridge.LibraryLoadError, match="lacks the export"):
        flashbridge.Library(_ctypes.__file__)
    # A library with every export that does not serve 1.13 is refused, naming its version.
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler:
        names = [name for name in _native._PROTOTYPES if name not in ("QXDFU_GetApiVersion", "QXDFU_CheckApiVersion",
                                                                        "QXDFU_GetErrorText")]
        source = tmp_path / "old.c"
        source.write_text("unsigned QXDFU_GetApiVersion(void) { return 0x00010005u; }\n"
                          "int QXDFU_CheckApiVersion(unsigned a, unsigned b) { return a == 1 && b <= 5; }\n"
                          "const char* QXDFU_GetErrorText(unsigned s) { (void)s; return \"unknown\"; }\n"
                          + "".join("unsigned %s(void) { return 0; }\n" % name for name in names))
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(tmp_path / "old.so"), str(source)], check=True)
        with pytest.raises(flashbridge.LibraryLoadError, match="API version 1.5, which does not serve version 1.13"):
            flashbridge.Library(tmp_path / "old.so")
    not_a_library = tmp_path / "fake.so"
    not_a_library.write_bytes(b"not an ELF file")
    with pytest.raises(flashbridge.LibraryLoadError, match="cannot load"):
        flashbridge.Library(not_a_library)


def test_failing_calls_raise_status_and_name(sim):
    sim.write_devices([device("E1")])
    lib = sim.library()
    with pytest.raises(FlashbridgeError) as missing:
        lib.load_image(sim.folder / "missing.bin")
    assert missing.value.status == st.from_errno(errno.ENOENT)
    with pytest.raises(FlashbridgeError) as empty:
        lib.load_image_bytes(b"")
    assert (empty.value.status, empty.value.name) == (st.INVALID_PARAMETER, "QXSTATUS_INVALID_PARAMETER")
    for text, expected in (("VID=0x1209", st.INVALID_FORMAT), ("VID=0x10000, PID=1", st.OUT_OF_RANGE),
                           ("VID=1, VID=2, PID=3", st.DUPLICATE)):
        with pytest.raises(FlashbridgeError) as bad:
            lib.enumerate(text)
        assert bad.value.status == expected and bad.value.name == lib.error_text(expected)
        assert bad.value.operation == "EnumerateUsbDfuDevices"
    assert wait_until(lambda: len(lib.enumerate(FILTER_APP)) == 1)
    with lib.enumerate(FILTER_APP) as devices:
        with pytest.raises(FlashbridgeError) as index:
            devices.open(1)
        assert index.value.status == st.INVALID_INDEX
        with devices.open(0) as opened:
            # Already in its application; and a second open of the same device is refused.
            with pytest.raises(FlashbridgeError) as already:
                opened.reboot(RunMode.APPLICATION)
            assert already.value.status == st.ALREADY_DONE
            with pytest.raises(FlashbridgeError):
                devices.open(0)
            with pytest.raises(FlashbridgeError) as unknown:
                opened.get(99)
            assert unknown.value.status != st.SUCCESS


def test_handle_lifetimes(sim):
    sim.write_devices([device("H1")])
    lib = sim.library()
    image = lib.load_image_bytes(b"\x01" * 100)
    raw = image.handle
    image.close()
    image.close()  # twice: nothing happens
    assert image.closed
    with pytest.raises(FlashbridgeError) as closed:
        image.size
    assert closed.value.status == st.INVALID_HANDLE
    # The old handle is stale inside the library too.
    assert lib.dll.QXDFU_UnloadFirmwareImage(raw) == st.INVALID_HANDLE

    enumeration = lib.enumerate(FILTER_APP)
    assert len(enumeration) == 1
    opened = enumeration.open(0)
    enumeration.close()
    # A device does not depend on its enumeration.
    assert opened.serial_number == "H1" and opened.is_connected()
    with pytest.raises(FlashbridgeError) as closed_enumeration:
        enumeration.open(0)
    assert closed_enumeration.value.status == st.INVALID_HANDLE

    # A device given up by the garbage collector is closed, so it can be opened again.
    raw_device = opened.handle
    del opened
    gc.collect()
    assert lib.dll.QXDFU_CloseDevice(raw_device) == st.INVALID_HANDLE
    with lib.enumerate(FILTER_APP) as devices, devices.open(0) as again:
        assert again.vendor_id == 0x1209
        assert devices.is_device(0, again)
    assert again.closed


def test_device_properties(sim):
    sim.write_devices([device("P1", BcdDevice="0x0123"), {"VendorId": "0x1209", "ProductId": "0x0001",
                                                          "LangIds": "", "ContainerId": "none"}])
    lib = sim.library()
    with lib.enumerate(FILTER_APP) as devices:
        assert len(devices) == 2
        found = {}
        for index in range(2):
            with devices.open(index) as opened:
                found[opened.serial_number] = opened.properties()
    full = found["P1"]
    assert (full["vendor_id"], full["product_id"], full["bcd_device"]) == (0x1209, 0x0001, 0x0123)
    assert (full["manufacturer"], full["product"]) == ("Veltrane", "Mix 20")
    assert full["current_run_mode"] == RunMode.APPLICATION
    assert full["device_instance_id"] == "USB\\VID_1209&PID_0001\\P1"
    # A device without strings answers None for them, not an error.
    bare = found[None]
    assert bare["manufacturer"] is None and bare["product"] is None and bare["container_id"] is None
    assert bare["current_run_mode"] == RunMode.BOOTLOADER  # a plain device describes DFU mode


def _bootloader_device(sim, serial="U1", **keys):
    sim.write_devices([device(serial, RunMode="bootloader", **keys)])
    lib = sim.library()
    devices = lib.enumerate("VID=0x1209, PID=0x0002")
    assert len(devices) == 1
    opened = devices.open(0)
    devices.close()
    return lib, opened


def test_upgrade_call_reports_progress_and_is_byte_exact(sim):
    lib, opened = _bootloader_device(sim)
    data = sim.image(48 * 1024 + 100).read_bytes()
    readings = []
    with lib.load_image_bytes(data) as image, opened:
        assert opened.run_mode == RunMode.BOOTLOADER
        final = opened.upgrade(image, progress=readings.append)
    assert final.state == UpgradeState.FINISHED and final.completion_status == st.SUCCESS
    assert final.current_bytes == final.total_bytes == len(data) and final.percent == 100
    sent = [r.current_bytes for r in readings]
    assert sent == sorted(sent) and readings[-1] == final
    assert wait_until(lambda: sim.received("U1") == data)


def test_failed_device_then_iterated_retry(sim):
    lib, opened = _bootloader_device(sim, ErrorAtBlock="3", ErrorStatus="0x05")
    data = sim.image(16 * 1024).read_bytes()
    with lib.load_image_bytes(data) as image, opened:
        # The exception carries the device's DFU status and its name.
        with pytest.raises(flashbridge.UpgradeFailed) as failed:
            opened.upgrade(image)
        assert failed.value.status == st.dfu_status_error(0x05)
        # The library names only the family's base; the name shown is the DFU name of bStatus.
        assert lib.error_text(failed.value.status) == "unknown"
        assert failed.value.name == lib.status_name(failed.value.status) == "DFU errCHECK_ERASED"
        assert st.dfu_error_name(failed.value.status) == "errCHECK_ERASED"
        assert st.dfu_error_name(st.DFU_STATUS_ERROR | 0x0E) == "errUNKNOWN" and st.dfu_error_name(st.FAILED) == ""
        assert failed.value.progress.state == UpgradeState.FAILED
        assert failed.value.progress.current_bytes < len(data)
        # The simulated device fails only its first download: the retry, read as an
        # iterator of readings, runs through.
        with opened.start_upgrade(image) as operation:
            states = [reading.state for reading in operation]
        assert states[-1] == UpgradeState.FINISHED and UpgradeState.FAILED not in states
        assert operation.finish() == st.SUCCESS
    assert wait_until(lambda: sim.received("U1") == data)


def test_abort_from_callback_and_from_another_thread(sim):
    # Slow flash (20 ms per block): the download takes long enough to be caught running.
    lib, opened = _bootloader_device(sim, FlashTimePerBlockMs="20", PollTimeoutMs="10")
    with lib.load_image_bytes(bytes(256 * 1024)) as image, opened:
        with pytest.raises(flashbridge.UpgradeAborted) as aborted:
            opened.upgrade(image, progress=lambda p: p.current_bytes < 4096)
        assert aborted.value.status == st.ABORTED
        assert aborted.value.progress.current_bytes < aborted.value.progress.total_bytes

        operation = opened.start_upgrade(image)
        assert wait_until(lambda: operation.status().current_bytes > 0)
        answers = []
        stopper = threading.Thread(target=lambda: answers.append(operation.abort()))
        stopper.start()
        stopper.join(10)
        assert answers == [st.ABORTED]
        assert operation.finish() == st.ABORTED  # ending it again changes nothing
        assert list(operation) == []
    assert sim.received("U1") is None


def test_device_change_callbacks(sim):
    lib = sim.library()
    heard = []
    threads = set()
    caller = threading.get_ident()
    blocked = []

    def on_change(event):
        threads.add(threading.get_ident())
        heard.append(event)
        if len(heard) == 1:
            try:
                registration.close()
            except RuntimeError:
                blocked.append(True)
            raise ValueError("a faulty callback does not stop the events")

    registration = lib.register(FILTER_APP, on_change)
    queued = lib.register(FILTER_APP)
    sim.write_devices([device("N1")])
    assert wait_until(lambda: len(heard) == 1)
    sim.write_devices([])
    assert wait_until(lambda: len(heard) == 2)
    assert heard == [flashbridge.DeviceChange.ARRIVAL, flashbridge.DeviceChange.REMOVAL]
    assert blocked == [True] and caller not in threads and not registration.closed
    assert queued.get(5) == flashbridge.DeviceChange.ARRIVAL
    assert queued.get(5) == flashbridge.DeviceChange.REMOVAL
    registration.close()
    queued.close()
    sim.write_devices([device("N1")])
    assert queued.get(1.5) is None
    assert len(heard) == 2


def test_handles_during_an_upgrade(sim):
    lib, opened = _bootloader_device(sim, FlashTimePerBlockMs="20", PollTimeoutMs="10")
    data = sim.image(8 * 1024).read_bytes()
    # The upgrade keeps its own reference: the image handle may go right after the start.
    image = lib.load_image_bytes(data)
    with opened.start_upgrade(image) as operation:
        image.close()
        assert list(operation)[-1].state == UpgradeState.FINISHED
    assert wait_until(lambda: sim.received("U1") == data)

    # A progress callback that raises aborts the download before the exception goes on, so
    # the device is free for the next upgrade.
    with lib.load_image_bytes(bytes(256 * 1024)) as big:
        def explode(reading):
            if reading.current_bytes:
                raise KeyError("callback fault")
        with pytest.raises(KeyError):
            opened.upgrade(big, progress=explode)
        operation = opened.start_upgrade(big)
        assert wait_until(lambda: operation.status().current_bytes > 0)
        # Closing the device aborts its running upgrade; the operation's calls then fail
        # with the invalid handle instead of reaching a freed session.
        opened.close()
        with pytest.raises(FlashbridgeError) as closed:
            operation.status()
        assert closed.value.status == st.INVALID_HANDLE
        assert operation.abort() == st.INVALID_HANDLE
    assert sim.received("U1") == data  # the aborted downloads did not complete

