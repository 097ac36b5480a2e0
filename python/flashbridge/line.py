"""The production-line procedure: many devices upgraded in parallel, one worker per device.

Each worker runs the console tool's procedure on its own device: reboot the device into its
bootloader, wait until it has left the bus, take it again when it re-appears in its
bootloader, download the image, and reboot it into its application. A device that fails
never stops the others.

The devices are told apart by their identity (serial number, else container identifier, else
instance identifier), which survives the change of run mode while the product identifier and
the instance identifier do not. A device can be opened only once at a time, so one
:class:`DeviceBroker` thread opens whatever appears on the bus and hands each device to the
worker that waits for it.
"""
from __future__ import annotations

import datetime
import threading
import time
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Sequence

from . import status as st
from .api import Device, FlashbridgeError, Image, Library, Progress, UpgradeAborted, UpgradeFailed
from .constants import RunMode

#: How long a device may take to leave the bus after a reboot request (seconds).
DISCONNECT_TIMEOUT = 5.0
#: How long a device may take to re-appear in its bootloader (seconds).
REAPPEAR_TIMEOUT = 20.0
#: Interval of the look for devices while workers wait for theirs (seconds).
SCAN_INTERVAL = 0.1
#: Interval of the look for new devices while waiting for arrivals (seconds); arrival
#: callbacks trigger a look at once.
IDLE_SCAN_INTERVAL = 1.0
#: Progress poll interval (seconds).
POLL_INTERVAL = 0.05

DEFAULT_FILTER = "VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002\n"


def now_text() -> str:
    """Local time with its offset, to the millisecond."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


@dataclass
class Identity:
    """What tells one physical device from the others, with its descriptive properties."""
    serial_number: Optional[str] = None
    container_id: Optional[str] = None
    instance_id: Optional[str] = None
    vendor_id: Optional[int] = None
    product_id: Optional[int] = None
    bcd_device: Optional[int] = None
    manufacturer: Optional[str] = None
    product: Optional[str] = None

    @property
    def key(self) -> str:
        """The identity that survives a change of run mode."""
        if self.serial_number:
            return "serial:" + self.serial_number.upper()
        if self.container_id:
            return "container:" + self.container_id.lower()
        return "instance:" + (self.instance_id or "?").upper()

    @property
    def label(self) -> str:
        return self.serial_number or self.container_id or self.instance_id or "?"

    @property
    def vid_pid(self) -> str:
        return "%04X:%04X" % (self.vendor_id or 0, self.product_id or 0)

    def to_json(self) -> Dict[str, object]:
        return {
            "serial_number": self.serial_number,
            "container_id": self.container_id,
            "instance_id": self.instance_id,
            "vendor_id": None if self.vendor_id is None else "0x%04X" % self.vendor_id,
            "product_id": None if self.product_id is None else "0x%04X" % self.product_id,
            "bcd_device": None if self.bcd_device is None else "0x%04X" % self.bcd_device,
            "manufacturer": self.manufacturer,
            "product": self.product,
        }

    @staticmethod
    def read(device: Device) -> "Identity":
        return Identity(serial_number=device.serial_number, container_id=device.container_id or None,
                        instance_id=device.instance_id, vendor_id=device.vendor_id, product_id=device.product_id,
                        bcd_device=device.bcd_device, manufacturer=device.manufacturer, product=device.product)


class Claim:
    """A worker's wait for its device to appear."""

    def __init__(self, key: str):
        self.key = key
        self.device: Optional[Device] = None
        self.ready = threading.Event()


class DeviceBroker:
    """Opens the devices that appear on the bus and hands them out.

    Devices held by workers are registered with :meth:`adopt` and skipped. Any other device
    is opened and its identity read; it goes to the worker that has a claim on that identity,
    else to ``on_new_device`` (which returns True when it keeps the device), else it is closed
    again at once.
    """

    def __init__(self, library: Library, device_filter: str,
                 on_new_device: Optional[Callable[[Device, Identity], bool]] = None):
        self.library = library
        self.device_filter = device_filter
        self.on_new_device = on_new_device
        self._lock = threading.Lock()
        self._owned: List[Device] = []
        self._claims: Dict[str, Claim] = {}
        self._trigger = threading.Event()
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self.scans = 0
        self.last_error: Optional[FlashbridgeError] = None

    def start(self) -> None:
        self._thread = threading.Thread(target=self._run, name="flashbridge-broker", daemon=True)
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        self._trigger.set()
        if self._thread is not None:
            self._thread.join()
        with self._lock:
            claims = list(self._claims.values())
            self._claims.clear()
        for claim in claims:
            claim.ready.set()

    def notify(self) -> None:
        """Look at the bus now (a device arrived)."""
        self._trigger.set()

    def adopt(self, device: Device) -> None:
        with self._lock:
            if device not in self._owned:
                self._owned.append(device)

    def release(self, device: Device) -> None:
        """Forget a device and close it."""
        with self._lock:
            if device in self._owned:
                self._owned.remove(device)
        device.close()

    def expect(self, key: str) -> Claim:
        """Announces that the device with identity ``key`` is about to appear."""
        claim = Claim(key)
        with self._lock:
            self._claims[key] = claim
        self._trigger.set()
        return claim

    def withdraw(self, claim: Claim) -> None:
        """Gives up a claim; a device handed over meanwhile is closed."""
        with self._lock:
            if self._claims.get(claim.key) is claim:
                del self._claims[claim.key]
            device, claim.device = claim.device, None
        if device is not None:
            self.release(device)

    def wait(self, claim: Claim, timeout: float, abort: Optional[threading.Event] = None) -> Optional[Device]:
        """The claimed device, opened, or None after ``timeout`` seconds or an abort."""
        deadline = time.monotonic() + timeout
        while not claim.ready.wait(0.05):
            if time.monotonic() > deadline or (abort is not None and abort.is_set()) or self._stop.is_set():
                break
        with self._lock:
            if self._claims.get(claim.key) is claim:
                del self._claims[claim.key]
            device, claim.device = claim.device, None
        return device

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                self.scan()
            except Exception as error:  # keep looking; the claims run into their time-out
                self.last_error = error if isinstance(error, FlashbridgeError) else None
            with self._lock:
                waiting = bool(self._claims)
            self._trigger.wait(SCAN_INTERVAL if waiting else IDLE_SCAN_INTERVAL)
            self._trigger.clear()

    def _held(self, enumeration, index: int, owned: List[Device]) -> bool:
        for device in owned:
            try:
                if enumeration.is_device(index, device):
                    return True
            except FlashbridgeError:
                continue  # closed by its worker meanwhile
        return False

    def scan(self) -> None:
        """One look at the bus."""
        with self._lock:
            if not self._claims and self.on_new_device is None:
                return
        self.scans += 1
        with self.library.enumerate(self.device_filter) as enumeration:
            for index in range(len(enumeration)):
                with self._lock:
                    owned = list(self._owned)
                if self._held(enumeration, index, owned):
                    continue
                try:
                    device = enumeration.open(index)
                except FlashbridgeError:
                    continue  # opened by another program, or gone again
                try:
                    identity = Identity.read(device)
                except FlashbridgeError:
                    device.close()
                    continue
                with self._lock:
                    claim = self._claims.pop(identity.key, None)
                    if claim is not None:
                        self._owned.append(device)
                        claim.device = device
                        claim.ready.set()
                        continue
                if self.on_new_device is not None and self.on_new_device(device, identity):
                    continue
                device.close()


def open_with_retry(enumeration, index: int, attempts: int = 20, delay: float = 0.05) -> Device:
    """Opens an entry; a device held for a moment by another caller (IN_USE, access denied)
    is tried again for up to a second."""
    for attempt in range(attempts):
        try:
            return enumeration.open(index)
        except FlashbridgeError as error:
            if error.status not in (st.IN_USE, st.ACCESS_DENIED, 5) or attempt == attempts - 1:
                raise
            time.sleep(delay)
    raise AssertionError("unreachable")


class Selection:
    """Which of the devices found take part: all of them, or those with one of the given
    serial numbers or device paths (instance identifiers), compared without regard to case."""

    def __init__(self, serials: Sequence[str] = (), paths: Sequence[str] = ()):
        self.serials = {serial.upper() for serial in serials}
        self.paths = {path.upper() for path in paths}

    @property
    def everything(self) -> bool:
        return not self.serials and not self.paths

    def accepts(self, identity: Identity) -> bool:
        if self.everything:
            return True
        return (identity.serial_number or "").upper() in self.serials or \
            (identity.instance_id or "").upper() in self.paths


# Phases of a job, as the live lines show them.
QUEUED = "Queued"
WAITING = "Waiting"
OPENING = "Opening"
TO_BOOTLOADER = "Rebooting to bootloader"
REAPPEAR = "Waiting for bootloader"
DOWNLOADING = "Downloading"
TO_APPLICATION = "Rebooting to application"
DONE = "Done"
CURRENT = "Current"
FAILED = "Failed"
ABORTED = "Aborted"
#: Phases in which a job waits for its device to answer or to appear.
SILENT_PHASES = (TO_BOOTLOADER, REAPPEAR, DOWNLOADING, TO_APPLICATION)


@dataclass
class DeviceJob:
    """One device's way through the procedure, and its result."""
    identity: Identity
    index: int = 0
    phase: str = WAITING
    current_bytes: int = 0
    total_bytes: int = 0
    status: Optional[int] = None
    status_name: str = ""
    dfu_error: str = ""
    message: str = ""
    start_time: Optional[str] = None
    end_time: Optional[str] = None
    started: float = 0.0
    ended: float = 0.0
    #: When the phase began, and when the device last made progress (time.monotonic()).
    phase_since: float = 0.0
    last_progress: float = 0.0
    #: Every phase the job went through, in order.
    phases: List[str] = field(default_factory=list)
    #: Every attempt that ended before the last one (with --retries), oldest first.
    attempts: List[Dict[str, object]] = field(default_factory=list)
    #: The devices the job's worker holds, closed on every way out.
    devices: List[Device] = field(default_factory=list, repr=False)

    @property
    def ok(self) -> bool:
        return self.status == st.SUCCESS

    @property
    def current(self) -> bool:
        """Left as it was: it runs the image's version already."""
        return self.phase == CURRENT

    @property
    def silent_seconds(self) -> float:
        """How long the device has kept the job waiting: since its last progress or the start
        of the phase."""
        if self.finished or self.phase not in SILENT_PHASES:
            return 0.0
        return time.monotonic() - max(self.phase_since, self.last_progress)

    def attempt_json(self) -> Dict[str, object]:
        return {
            "start_time": self.start_time,
            "end_time": self.end_time,
            "seconds": round(self.seconds, 3),
            "bytes": self.current_bytes,
            "total_bytes": self.total_bytes,
            "phase": self.phase,
            "phases": list(self.phases),
            "status": self.status,
            "status_hex": None if self.status is None else "0x%08X" % self.status,
            "status_name": self.status_name,
            "dfu_error": self.dfu_error,
            "message": self.message,
        }

    @property
    def finished(self) -> bool:
        return self.status is not None

    @property
    def seconds(self) -> float:
        return (self.ended or time.monotonic()) - self.started if self.started else 0.0

    def to_json(self) -> Dict[str, object]:
        last = self.attempt_json()
        entry: Dict[str, object] = {"identity": self.identity.to_json(), "outcome": self.outcome}
        entry.update(last)
        # The first attempt's start is the unit's start.
        if self.attempts:
            entry["start_time"] = self.attempts[0]["start_time"]
        entry["attempts"] = self.attempts + [last]
        return entry

    @property
    def outcome(self) -> str:
        """"upgraded", "current", "failed", "aborted", or "running"."""
        if not self.finished:
            return "running"
        if self.current:
            return "current"
        if self.ok:
            return "upgraded"
        return "aborted" if self.status == st.ABORTED else "failed"

    def next_attempt(self) -> None:
        """Keeps the ended attempt and starts another one."""
        self.attempts.append(self.attempt_json())
        self.phases = []
        self.status = None
        self.status_name = self.dfu_error = self.message = ""
        self.current_bytes = self.total_bytes = 0
        self.started = time.monotonic()
        self.ended = 0.0
        self.start_time = now_text()
        self.end_time = None


class Failure(Exception):
    """Ends a job with a status and the message that explains it."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


class ProductionLine:
    """Upgrades devices in parallel, one worker thread per device.

    ``observer`` is called (from the workers) with a job whenever its phase changes.
    ``selection`` picks the devices that take part; ``max_jobs`` caps how many run their
    procedure at once (the others wait, queued); ``retries`` runs a failed unit's whole
    procedure again that many times; with ``skip_version`` a device whose bcdDevice equals it
    is left as it is and reported current.
    """

    def __init__(self, library: Library, image: Image, device_filter: str = DEFAULT_FILTER, target_id: int = 0,
                 upgrade_flags: int = 0, reboot_flags: int = 0,
                 observer: Optional[Callable[[DeviceJob], None]] = None, selection: Optional[Selection] = None,
                 max_jobs: Optional[int] = None, retries: int = 0, skip_version: Optional[int] = None):
        self.library = library
        self.image = image
        self.device_filter = device_filter
        self.target_id = target_id
        self.upgrade_flags = upgrade_flags
        self.reboot_flags = reboot_flags
        self.observer = observer
        self.selection = selection or Selection()
        self.retries = max(0, retries)
        self.skip_version = skip_version
        self._slots = threading.BoundedSemaphore(max_jobs) if max_jobs else None
        #: Called about ten times a second from the thread that waits for the workers.
        self.tick: Optional[Callable[[], None]] = None
        self.abort = threading.Event()
        self.jobs: List[DeviceJob] = []
        self._jobs_lock = threading.Lock()
        self._running = 0
        self._idle = threading.Condition()
        self._keys: set = set()
        self._wanted = 0
        self._accepting = True
        self._all_started = threading.Event()
        self.broker = DeviceBroker(library, device_filter)

    # ---- entry points ---------------------------------------------------------------------

    def run_present(self) -> List[DeviceJob]:
        """Upgrades every selected device that matches the filter now. Raises FlashbridgeError
        when the enumeration fails; an empty list when no device matches. After an abort (set
        from a signal handler, for example) every device found still gets its job: those not
        started end as aborted."""
        found = []
        with self.library.enumerate(self.device_filter) as enumeration:
            for index in range(len(enumeration)):
                try:
                    device = open_with_retry(enumeration, index)
                    identity = Identity.read(device)
                except FlashbridgeError as error:
                    # Even a device that cannot be opened gets its line in the report.
                    job = self._new_job(Identity(instance_id="entry %d" % index))
                    self._end(job, error.status, "OpenDevice(%d) failed" % index)
                    continue
                if not self.selection.accepts(identity):
                    device.close()
                    continue
                found.append((device, identity))
                self.broker.adopt(device)
        # Every device is held before the broker starts to open what it does not know.
        self.broker.start()
        try:
            for device, identity in found:
                if self.abort.is_set():
                    job = self._new_job(identity)
                    self.broker.release(device)
                    self._end(job, st.ABORTED, "Not started: the run was interrupted.")
                    continue
                self._launch(device, identity)
            self.join()
        finally:
            self.broker.stop()
        return self.jobs

    def run_waiting(self, count: int, timeout: Optional[float] = None) -> List[DeviceJob]:
        """Waits for ``count`` devices and starts each the moment it arrives; returns when all
        of them have ended, or when ``timeout`` seconds passed without all of them arriving
        (the started ones still end first)."""
        self._wanted = count
        self.broker.on_new_device = self._on_new_device
        registration = None
        try:
            registration = self.library.register(self.device_filter, self._on_change)
        except FlashbridgeError:
            registration = None  # the periodic look still finds arrivals
        self.broker.start()
        try:
            deadline = None if timeout is None else time.monotonic() + timeout
            while not self._all_started.wait(0.1):
                self._tick()
                if self.abort.is_set() or (deadline is not None and time.monotonic() > deadline):
                    break
            with self._jobs_lock:
                # No more new devices: a scan still running hands out none after this.
                self._accepting = False
            self.broker.on_new_device = None
            self.join()
        finally:
            if registration is not None:
                registration.close()
            self.broker.stop()
        return self.jobs

    def join(self) -> None:
        """Waits for every worker; Ctrl+C aborts them all and is raised again (call join
        once more to wait for the aborted workers)."""
        # Waiting on a condition rather than on the threads: an interrupted Thread.join can
        # take a running thread for ended.
        with self._idle:
            while self._running:
                try:
                    self._idle.wait(0.1)
                except KeyboardInterrupt:
                    self.abort.set()
                    raise
                self._idle.release()
                try:
                    self._tick()
                finally:
                    self._idle.acquire()

    def _tick(self) -> None:
        if self.tick is not None:
            self.tick()

    # ---- workers --------------------------------------------------------------------------

    def _on_change(self, _event) -> None:
        self.broker.notify()

    def _on_new_device(self, device: Device, identity: Identity) -> bool:
        if not self.selection.accepts(identity):
            return False
        with self._jobs_lock:
            if not self._accepting or identity.key in self._keys or len(self._keys) >= self._wanted \
                    or self.abort.is_set():
                return False
            # Counted as running before the lock is left, so join() waits for it.
            with self._idle:
                self._running += 1
        self.broker.adopt(device)
        self._launch(device, identity, counted=True)
        return True

    def _new_job(self, identity: Identity) -> DeviceJob:
        with self._jobs_lock:
            job = DeviceJob(identity=identity, index=len(self.jobs))
            self.jobs.append(job)
            self._keys.add(identity.key)
            if self._wanted and len(self._keys) >= self._wanted:
                self._all_started.set()
        job.started = job.phase_since = time.monotonic()
        job.start_time = now_text()
        return job

    def _launch(self, device: Device, identity: Identity, counted: bool = False) -> None:
        job = self._new_job(identity)
        self.broker.adopt(device)
        thread = threading.Thread(target=self._work, args=(job, device), name="flashbridge-%s" % identity.label,
                                  daemon=True)
        if not counted:
            with self._idle:
                self._running += 1
        thread.start()

    def _phase(self, job: DeviceJob, phase: str) -> None:
        job.phase = phase
        job.phase_since = time.monotonic()
        job.phases.append(phase)
        if self.observer is not None:
            try:
                self.observer(job)
            except Exception:  # showing a phase must never change a unit's outcome
                pass

    def _end(self, job: DeviceJob, status: int, message: str = "", phase: Optional[str] = None) -> None:
        job.ended = time.monotonic()
        job.end_time = now_text()
        job.status_name = self.library.status_name(status)
        job.dfu_error = st.dfu_error_name(status)
        job.message = message
        job.status = status
        self._phase(job, phase or (DONE if status == st.SUCCESS else ABORTED if status == st.ABORTED else FAILED))

    def _check_abort(self) -> None:
        if self.abort.is_set():
            raise Failure(st.ABORTED, "Upgrade was aborted.")

    def _take_again(self, job: DeviceJob, claim: Claim) -> Device:
        """Waits for the device to re-appear in its bootloader."""
        self._phase(job, REAPPEAR)
        again = self.broker.wait(claim, REAPPEAR_TIMEOUT, self.abort)
        self._check_abort()
        if again is None:
            raise Failure(st.NO_DEVICES, "The device did not re-appear in its bootloader.")
        return again

    def _acquire_slot(self, job: DeviceJob) -> bool:
        """Waits, queued, for one of the --jobs slots; False after an abort."""
        if self._slots is None:
            return True
        if self._slots.acquire(blocking=False):
            return True
        self._phase(job, QUEUED)
        while not self._slots.acquire(timeout=0.05):
            if self.abort.is_set():
                return False
        # The unit starts when its turn comes.
        job.started = time.monotonic()
        job.start_time = now_text()
        return True

    def _attempt(self, job: DeviceJob, device: Optional[Device]) -> None:
        """One run of the procedure; ends the job with its outcome."""
        try:
            if device is None:
                device = self._find_again(job)
            self._procedure(job, device)
        except Failure as failure:
            self._end(job, failure.status, failure.message)
        except FlashbridgeError as error:
            self._end(job, error.status, str(error))
        except Exception as error:  # a fault in this program must still end the job visibly
            self._end(job, st.INTERNAL_ERROR, "%s: %s" % (type(error).__name__, error))
        finally:
            for held in job.devices:
                self.broker.release(held)
            job.devices.clear()

    def _find_again(self, job: DeviceJob) -> Device:
        """The device of a job that is tried again, in whatever run mode it is now."""
        self._phase(job, WAITING)
        claim = self.broker.expect(job.identity.key)
        device = self.broker.wait(claim, REAPPEAR_TIMEOUT, self.abort)
        self._check_abort()
        if device is None:
            raise Failure(st.NO_DEVICES, "The device did not appear again for another attempt.")
        return device

    def _work(self, job: DeviceJob, device: Optional[Device]) -> None:
        slot = False
        try:
            slot = self._acquire_slot(job)
            if not slot:
                if device is not None:
                    self.broker.release(device)
                self._end(job, st.ABORTED, "Not started: the run was interrupted.")
                return
            self._attempt(job, device)
            for _ in range(self.retries):
                if job.ok or job.status == st.ABORTED or self.abort.is_set():
                    break
                job.next_attempt()
                self._attempt(job, None)
        finally:
            if slot and self._slots is not None:
                self._slots.release()
            with self._idle:
                self._running -= 1
                self._idle.notify_all()

    def _procedure(self, job: DeviceJob, device: Device) -> None:
        job.devices.append(device)
        self._phase(job, OPENING)
        self._check_abort()
        if self.skip_version is not None and device.bcd_device == self.skip_version:
            self._end(job, st.SUCCESS, "Firmware is current (bcdDevice 0x%04X); not upgraded." % self.skip_version,
                      CURRENT)
            return
        mode = device.run_mode
        if mode not in (RunMode.APPLICATION, RunMode.BOOTLOADER):
            raise Failure(st.FAILED, "Unexpected run mode %d. Upgrade failed." % mode)
        # The claim comes first: the device may re-appear before this worker looks for it.
        claim = self.broker.expect(job.identity.key)
        try:
            if mode == RunMode.APPLICATION:
                self._phase(job, TO_BOOTLOADER)
                device.reboot(RunMode.BOOTLOADER, self.reboot_flags)
                if not device.wait_until_gone(DISCONNECT_TIMEOUT):
                    raise Failure(st.TIMEOUT, "Device did not disconnect after reboot request. Upgrade failed.")
            # A device already in its bootloader is closed and opened again as well, so the
            # download always runs on a fresh session.
            job.devices.remove(device)
            self.broker.release(device)
            device = self._take_again(job, claim)
        finally:
            self.broker.withdraw(claim)
        job.devices.append(device)
        if device.run_mode != RunMode.BOOTLOADER:
            raise Failure(st.FAILED, "Unexpected run mode %d after reboot. Upgrade failed." % device.run_mode)
        self._check_abort()
        self._phase(job, DOWNLOADING)

        def progress(reading: Progress) -> bool:
            if reading.current_bytes != job.current_bytes:
                job.last_progress = time.monotonic()
            job.current_bytes = reading.current_bytes
            job.total_bytes = reading.total_bytes
            return True

        try:
            device.upgrade(self.image, self.target_id, self.upgrade_flags, progress=progress, abort=self.abort,
                           poll_interval=POLL_INTERVAL)
        except UpgradeFailed as failed:
            raise Failure(failed.status, "Upgrade failed.")
        except UpgradeAborted:
            raise Failure(st.ABORTED, "Upgrade was aborted.")
        self._phase(job, TO_APPLICATION)
        device.reboot(RunMode.APPLICATION, self.reboot_flags)
        if not device.wait_until_gone(DISCONNECT_TIMEOUT):
            raise Failure(st.TIMEOUT, "Device did not disconnect after reboot request.")
        self._end(job, st.SUCCESS, "Firmware upgrade finished.")
