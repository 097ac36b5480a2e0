"""Python objects over the flashbridge C API: the library, enumerations, devices, images,
upgrades and device change registrations.

Every object that holds a library handle closes it with ``close()``, at the end of a ``with``
block, or when it is garbage collected; closing twice does nothing, and using a closed object
raises :class:`FlashbridgeError` with ``INVALID_HANDLE`` without calling the library.
"""
from __future__ import annotations

import atexit
import ctypes
import logging
import os
import queue
import threading
import time
import weakref
from dataclasses import dataclass
from typing import Callable, Dict, Iterator, List, Optional, Union

from . import status as st
from ._native import (API_VERSION_MAJOR, API_VERSION_MINOR, DEVICE_CHANGE_CALLBACK, DebugOutput, from_wide,
                      load_native, to_wide, wide_buffer, wide_pointer, resolve_library_path)
from .constants import (DEVICE_UINT_PROPERTIES, IMAGE_STRING_PROPERTIES, DeviceChange, DeviceProperty, ImageProperty,
                        ImageType, RunMode, UpgradeState)

_log = logging.getLogger("flashbridge")

#: Capacity of the buffers for string properties, in UTF-16 units.
_STRING_ITEMS = 512


class FlashbridgeError(Exception):
    """A library call failed. ``status`` is the QXSTATUS value, ``name`` its name."""

    def __init__(self, status: int, name: str, operation: str = ""):
        self.status = status
        self.name = name
        self.operation = operation
        where = "%s failed, " % operation if operation else ""
        super().__init__("%sst=0x%08x (%s)" % (where, status, name))


class UpgradeFailed(FlashbridgeError):
    """The device's upgrade ended in the Failed state; ``status`` is its completion status."""

    def __init__(self, status: int, name: str, progress: "Progress"):
        super().__init__(status, name, "Upgrade")
        self.progress = progress


class UpgradeAborted(FlashbridgeError):
    """The upgrade was aborted before it ended (status ABORTED)."""

    def __init__(self, name: str, progress: Optional["Progress"]):
        super().__init__(st.ABORTED, name, "Upgrade")
        self.progress = progress


@dataclass(frozen=True)
class Progress:
    """One reading of an upgrade's status."""
    state: UpgradeState
    current_bytes: int
    total_bytes: int
    completion_status: int

    @property
    def percent(self) -> int:
        """Whole percent sent; 0 while the total is not known."""
        return self.current_bytes * 100 // self.total_bytes if self.total_bytes else 0

    @property
    def ended(self) -> bool:
        return self.state in (UpgradeState.FINISHED, UpgradeState.FAILED)


def _state(value: int) -> UpgradeState:
    try:
        return UpgradeState(value)
    except ValueError:
        return UpgradeState.FAILED


class Library:
    """The loaded flashbridge library.

    ``path`` names the library file (or its folder); without it the environment variable
    FLASHBRIDGE_LIBRARY names it, else the library beside this package is used. Loading checks
    that the library serves API version 1.13 and raises :class:`LibraryLoadError` otherwise.
    The library stays loaded for the life of the process: its device change threads and
    worker threads may outlive any one Python object.
    """

    _loaded: Dict[str, ctypes.CDLL] = {}
    _loaded_lock = threading.Lock()

    def __init__(self, path: Union[str, os.PathLike, None] = None):
        resolved = resolve_library_path(path)
        with Library._loaded_lock:
            dll = Library._loaded.get(str(resolved))
            if dll is None:
                dll = load_native(resolved)
                Library._loaded[str(resolved)] = dll
        self.path = resolved
        self.dll = dll

    # ---- general --------------------------------------------------------------------------

    @property
    def api_version(self) -> tuple:
        """(major, minor) of the library's API."""
        value = self.dll.QXDFU_GetApiVersion()
        return value >> 16, value & 0xFFFF

    def check_api_version(self, major: int = API_VERSION_MAJOR, minor: int = API_VERSION_MINOR) -> bool:
        return bool(self.dll.QXDFU_CheckApiVersion(major, minor))

    def error_text(self, status: int) -> str:
        """The library's name of a status code (QXDFU_GetErrorText): "unknown" for a value
        without a name of the library's own, such as a Windows or C run-time error."""
        text = self.dll.QXDFU_GetErrorText(status & 0xFFFFFFFF)
        return text.decode("ascii", errors="replace") if text else "unknown"

    def status_name(self, status: int) -> str:
        """The name of any status a caller meets: the library's own name, "DFU errWRITE" for a
        device's DFU error, "ENOENT" for a C run-time error, the Windows error name from the
        library's own table ("ERROR_DEVICE_NOT_CONNECTED"; host library), else "unknown"."""
        log_name = None
        function = getattr(self.dll, "QXHOST_GetStatusLogName", None)
        if function is not None:
            text = function(status & 0xFFFFFFFF)
            log_name = text.decode("ascii", errors="replace") if text else None
        return st.best_name(status & 0xFFFFFFFF, self.error_text(status), log_name)

    def debug_messages(self) -> List[str]:
        """What the library wrote to its debugger output since the last call: mistakes in its
        configuration or simulated device file, with file, line and cause (host library)."""
        return DebugOutput.get().read_new()

    def error(self, status: int, operation: str = "") -> FlashbridgeError:
        return FlashbridgeError(status, self.status_name(status), operation)

    def check(self, status: int, operation: str) -> None:
        """Raises FlashbridgeError for a failing status."""
        if status != st.SUCCESS:
            raise self.error(status, operation)

    def start_file_logging(self, file_name: str, flags: int = 0) -> None:
        self.check(self.dll.QXDFU_StartFileLogging(wide_pointer(to_wide(str(file_name))), flags),
                   "StartFileLogging")

    # ---- factories ------------------------------------------------------------------------

    def load_image(self, path: Union[str, os.PathLike], image_type: int = ImageType.RAW_BINARY) -> "Image":
        """Loads an image file."""
        handle = ctypes.c_uint32(0)
        wide = to_wide(os.fspath(path))
        self.check(self.dll.QXDFU_LoadFirmwareImageFromFile(wide_pointer(wide), int(image_type),
                                                            ctypes.byref(handle), 0), "LoadFirmwareImageFromFile")
        return Image(self, handle.value)

    def load_image_bytes(self, data: bytes, image_type: int = ImageType.RAW_BINARY) -> "Image":
        """Loads an image from memory (the library keeps its own copy)."""
        handle = ctypes.c_uint32(0)
        data = bytes(data)
        buffer = ctypes.create_string_buffer(data, len(data)) if data else None
        self.check(self.dll.QXDFU_LoadFirmwareFromBuffer(buffer, len(data), int(image_type), ctypes.byref(handle), 0),
                   "LoadFirmwareFromBuffer")
        return Image(self, handle.value)

    def enumerate(self, device_filter: str, retry_count: int = 0, retry_delay_ms: int = 0) -> "Enumeration":
        """Lists the connected devices that match the filter text (one device per line)."""
        handle = ctypes.c_uint32(0)
        count = ctypes.c_uint32(0)
        self.check(self.dll.QXDFU_EnumerateUsbDfuDevices(device_filter.encode("ascii"), ctypes.byref(handle),
                                                         ctypes.byref(count), retry_count, retry_delay_ms, 0),
                   "EnumerateUsbDfuDevices")
        return Enumeration(self, handle.value, count.value)

    def register(self, device_filter: str,
                 callback: Optional[Callable[[DeviceChange], None]] = None) -> "Registration":
        """Calls ``callback(event)`` on the registration's thread for each arrival or removal of
        a matching device. Without a callback the events are queued: read them with
        :meth:`Registration.get` or by iterating the registration."""
        return Registration(self, device_filter, callback)


class _HandleObject:
    """Holds one library handle and gives it back exactly once."""

    _kind = "handle"

    def __init__(self, library: Library, handle: int):
        self.library = library
        self._handle = handle
        self._handle_lock = threading.Lock()

    @property
    def handle(self) -> int:
        """The library handle; raises FlashbridgeError(INVALID_HANDLE) once closed."""
        handle = self._handle
        if not handle:
            raise FlashbridgeError(st.INVALID_HANDLE, "QXSTATUS_INVALID_HANDLE", "use of a closed %s" % self._kind)
        return handle

    @property
    def closed(self) -> bool:
        return not self._handle

    def _release(self, handle: int) -> int:
        raise NotImplementedError

    def close(self) -> None:
        """Gives the handle back to the library; later calls do nothing."""
        with self._handle_lock:
            handle, self._handle = self._handle, 0
        if handle:
            self.library.check(self._release(handle), "Close %s" % self._kind)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self):
        try:
            if self._handle:
                self.close()
        except Exception:  # the interpreter may be shutting down; the library reports leaks
            pass


class Image(_HandleObject):
    """A firmware image loaded into the library."""

    _kind = "image"

    def _release(self, handle: int) -> int:
        return self.library.dll.QXDFU_UnloadFirmwareImage(handle)

    def get(self, property_id: int) -> Union[int, str]:
        """One image property, through the variant that answers it."""
        dll = self.library.dll
        if property_id == ImageProperty.IMAGE_SIZE:
            value64 = ctypes.c_uint64(0)
            self.library.check(dll.QXDFU_GetImagePropertyUint64(self.handle, property_id, ctypes.byref(value64)),
                               "GetImagePropertyUint64")
            return value64.value
        if property_id in IMAGE_STRING_PROPERTIES:
            buffer = wide_buffer(_STRING_ITEMS)
            self.library.check(dll.QXDFU_GetImagePropertyString(self.handle, property_id, wide_pointer(buffer),
                                                                _STRING_ITEMS), "GetImagePropertyString")
            return from_wide(buffer)
        value = ctypes.c_uint32(0)
        self.library.check(dll.QXDFU_GetImagePropertyUint(self.handle, property_id, ctypes.byref(value)),
                           "GetImagePropertyUint")
        return value.value

    def properties(self) -> Dict[str, Union[int, str]]:
        """Every property the image answers, by lower-case name."""
        result: Dict[str, Union[int, str]] = {}
        for prop in ImageProperty:
            try:
                result[prop.name.lower()] = self.get(prop)
            except FlashbridgeError as error:
                if error.status != st.NOT_SUPPORTED:
                    raise
        return result

    @property
    def size(self) -> int:
        """Firmware bytes, DFU suffix excluded."""
        return int(self.get(ImageProperty.IMAGE_SIZE))

    @property
    def has_dfu_suffix(self) -> bool:
        return bool(self.get(ImageProperty.HAS_DFU_SUFFIX))


class Enumeration(_HandleObject):
    """The devices that matched a filter when it was taken. ``len()`` is their number."""

    _kind = "enumeration"

    def __init__(self, library: Library, handle: int, count: int):
        super().__init__(library, handle)
        self.count = count

    def _release(self, handle: int) -> int:
        return self.library.dll.QXDFU_CloseEnumeration(handle)

    def __len__(self) -> int:
        return self.count

    def open(self, index: int) -> "Device":
        """Opens entry ``index``; the device stays open after the enumeration is closed."""
        handle = ctypes.c_uint32(0)
        self.library.check(self.library.dll.QXDFU_OpenDevice(self.handle, index, ctypes.byref(handle), 0),
                           "OpenDevice(%d)" % index)
        return Device(self.library, handle.value)

    def is_device(self, index: int, device: "Device") -> bool:
        """Whether entry ``index`` is the device behind ``device``."""
        status = self.library.dll.QXDFU_CompareDeviceInstance(self.handle, index, device.handle)
        if status == st.NO_MATCH:
            return False
        self.library.check(status, "CompareDeviceInstance(%d)" % index)
        return True


class Device(_HandleObject):
    """An opened device. Closing it aborts a running upgrade."""

    _kind = "device"

    def _release(self, handle: int) -> int:
        return self.library.dll.QXDFU_CloseDevice(handle)

    def get(self, property_id: int) -> Union[int, str]:
        """One device property, through the variant that answers it."""
        dll = self.library.dll
        if property_id in DEVICE_UINT_PROPERTIES:
            value = ctypes.c_uint32(0)
            self.library.check(dll.QXDFU_GetDevicePropertyUint(self.handle, property_id, ctypes.byref(value)),
                               "GetDevicePropertyUint(%s)" % _property_name(property_id))
            return value.value
        buffer = wide_buffer(_STRING_ITEMS)
        self.library.check(dll.QXDFU_GetDevicePropertyString(self.handle, property_id, wide_pointer(buffer),
                                                             _STRING_ITEMS),
                           "GetDevicePropertyString(%s)" % _property_name(property_id))
        return from_wide(buffer)

    def _optional_string(self, property_id: int) -> Optional[str]:
        try:
            return str(self.get(property_id))
        except FlashbridgeError as error:
            if error.status == st.NOT_AVAILABLE:
                return None
            raise

    def properties(self) -> Dict[str, Union[int, str, None]]:
        """Every device property by lower-case name; strings the device lacks are None."""
        result: Dict[str, Union[int, str, None]] = {}
        for prop in DeviceProperty:
            result[prop.name.lower()] = self.get(prop) if prop in DEVICE_UINT_PROPERTIES \
                else self._optional_string(prop)
        return result

    vendor_id = property(lambda self: int(self.get(DeviceProperty.VENDOR_ID)), doc="idVendor")
    product_id = property(lambda self: int(self.get(DeviceProperty.PRODUCT_ID)), doc="idProduct")
    bcd_device = property(lambda self: int(self.get(DeviceProperty.BCD_DEVICE)), doc="bcdDevice")
    manufacturer = property(lambda self: self._optional_string(DeviceProperty.MANUFACTURER),
                            doc="Manufacturer string, or None")
    product = property(lambda self: self._optional_string(DeviceProperty.PRODUCT), doc="Product string, or None")
    serial_number = property(lambda self: self._optional_string(DeviceProperty.SERIAL_NUMBER),
                             doc="Serial number string, or None")
    instance_id = property(lambda self: self._optional_string(DeviceProperty.DEVICE_INSTANCE_ID),
                           doc="The system's device instance identifier")
    container_id = property(lambda self: self._optional_string(DeviceProperty.CONTAINER_ID),
                            doc="Container identifier (braced GUID text), or None")

    @property
    def run_mode(self) -> RunMode:
        """The run mode recorded when the device was opened."""
        value = int(self.get(DeviceProperty.CURRENT_RUN_MODE))
        try:
            return RunMode(value)
        except ValueError:
            return RunMode.UNKNOWN

    def is_connected(self) -> bool:
        """True while the device is on the bus."""
        status = self.library.dll.QXDFU_CheckDeviceConnection(self.handle)
        if status == st.DEVICE_REMOVED:
            return False
        self.library.check(status, "CheckDeviceConnection")
        return True

    def wait_until_gone(self, timeout: float = 5.0, interval: float = 0.05) -> bool:
        """Polls the connection until the device has left the bus (True) or the time-out
        passed (False). A failing check counts as gone, as the device can no longer answer."""
        start = time.monotonic()
        while True:
            try:
                if not self.is_connected():
                    return True
            except FlashbridgeError:
                return True
            if time.monotonic() - start > timeout:
                return False
            time.sleep(interval)

    def reboot(self, run_mode: int, flags: int = 0) -> None:
        """Switches the device into ``run_mode``; it then leaves the bus. Raises
        FlashbridgeError(ALREADY_DONE) when it already runs in that mode."""
        self.library.check(self.library.dll.QXDFU_RebootDevice(self.handle, int(run_mode), flags),
                           "RebootDevice(%s)" % RunMode(run_mode).name if run_mode in (1, 2)
                           else "RebootDevice(%d)" % run_mode)

    def start_upgrade(self, image: Image, target_id: int = 0, flags: int = 0) -> "Upgrade":
        """Starts downloading ``image`` on the library's worker thread and returns at once."""
        self.library.check(self.library.dll.QXDFU_StartUpgrade(self.handle, image.handle, target_id, flags),
                           "StartUpgrade(%d)" % target_id)
        return Upgrade(self)

    def upgrade(self, image: Image, target_id: int = 0, flags: int = 0,
                progress: Optional[Callable[[Progress], Optional[bool]]] = None,
                abort: Optional[threading.Event] = None, poll_interval: float = 0.05) -> Progress:
        """Downloads ``image`` and returns the final progress when it has finished.

        ``progress`` is called with every reading; returning False from it aborts the
        upgrade, as does setting the ``abort`` event. Raises :class:`UpgradeFailed` with the
        completion status when the device fails, :class:`UpgradeAborted` when aborted."""
        with self.start_upgrade(image, target_id, flags) as operation:
            return operation.wait(progress, abort, poll_interval)


def _property_name(property_id: int) -> str:
    try:
        return DeviceProperty(property_id).name
    except ValueError:
        return str(property_id)


class Upgrade:
    """A running upgrade of one device.

    Poll it with :meth:`status`, iterate it for the readings until it ends, or :meth:`wait`
    for its end. :meth:`finish` ends it (joining the library's worker) and is needed once; a
    ``with`` block calls it. :meth:`abort` may be called from any thread.
    """

    def __init__(self, device: Device):
        self.device = device
        self._lock = threading.Lock()
        self._finish_status: Optional[int] = None
        self._aborted = threading.Event()
        self.last: Optional[Progress] = None

    def status(self) -> Progress:
        """The upgrade's current state, bytes sent, bytes in all and completion status."""
        state = ctypes.c_uint32(0)
        current = ctypes.c_uint64(0)
        total = ctypes.c_uint64(0)
        completion = ctypes.c_uint32(0)
        library = self.device.library
        library.check(library.dll.QXDFU_GetUpgradeStatus(self.device.handle, ctypes.byref(state),
                                                         ctypes.byref(current), ctypes.byref(total),
                                                         ctypes.byref(completion)), "GetUpgradeStatus")
        self.last = Progress(_state(state.value), current.value, total.value, completion.value)
        return self.last

    def __iter__(self) -> Iterator[Progress]:
        return self.readings()

    def readings(self, poll_interval: float = 0.05) -> Iterator[Progress]:
        """Yields a reading every ``poll_interval`` seconds; the last one is Finished or Failed.
        Stops without a final reading when the upgrade was aborted."""
        while not self._aborted.is_set():
            reading = self.status()
            if self._aborted.is_set():
                return
            yield reading
            if reading.ended:
                return
            self._aborted.wait(poll_interval)

    def finish(self) -> int:
        """Ends the upgrade and waits for the library's worker. Returns the library's answer:
        SUCCESS, ABORTED when the upgrade was still running, INVALID_HANDLE when the device
        was closed meanwhile. Later calls return the same."""
        with self._lock:
            if self._finish_status is None:
                handle = self.device._handle
                # A closed device has had its upgrade aborted by the library already.
                self._finish_status = self.device.library.dll.QXDFU_FinishUpgrade(handle, 0) if handle \
                    else st.INVALID_HANDLE
            return self._finish_status

    def abort(self) -> int:
        """Aborts the upgrade (if it still runs) and ends it; see :meth:`finish`."""
        self._aborted.set()
        return self.finish()

    @property
    def aborted(self) -> bool:
        return self._aborted.is_set()

    def wait(self, progress: Optional[Callable[[Progress], Optional[bool]]] = None,
             abort: Optional[threading.Event] = None, poll_interval: float = 0.05) -> Progress:
        """Polls until the upgrade ends, then finishes it; see :meth:`Device.upgrade`."""
        library = self.device.library
        final: Optional[Progress] = None
        try:
            for reading in self.readings(poll_interval):
                final = reading
                if progress is not None and progress(reading) is False:
                    self.abort()
                elif abort is not None and abort.is_set():
                    self.abort()
        except BaseException:
            # Leaving early (a failed poll, an exception in the callback, Ctrl+C) must not
            # leave the library's worker running.
            self.abort()
            raise
        finished = self.finish()
        if final is not None and final.state == UpgradeState.FAILED:
            raise UpgradeFailed(final.completion_status, library.status_name(final.completion_status), final)
        if finished == st.ABORTED or final is None or not final.ended:
            raise UpgradeAborted(library.error_text(st.ABORTED), final)
        if finished != st.SUCCESS:
            raise library.error(finished, "FinishUpgrade")
        return final

    def __enter__(self) -> "Upgrade":
        return self

    def __exit__(self, *exc_info) -> None:
        if not self.device.closed:
            self.finish()


_live_registrations: "weakref.WeakSet[Registration]" = weakref.WeakSet()


@atexit.register
def _close_registrations() -> None:
    """Ends the registrations still open at exit, so that no library thread calls into an
    interpreter that is shutting down."""
    for registration in list(_live_registrations):
        try:
            registration.close()
        except Exception:
            pass


class Registration(_HandleObject):
    """A device change registration; events come on the library's notification thread.

    With a callback, each event is passed to it (exceptions it raises are logged and do not
    reach the library). Without one, events are queued for :meth:`get` and iteration."""

    _kind = "registration"

    def __init__(self, library: Library, device_filter: str, callback: Optional[Callable[[DeviceChange], None]]):
        super().__init__(library, 0)
        self._callback = callback
        self._events: "queue.SimpleQueue[DeviceChange]" = queue.SimpleQueue()
        self._thread_ids: set = set()
        # ctypes keeps the trampoline only while this object refers to it.
        self._trampoline = DEVICE_CHANGE_CALLBACK(self._on_change)
        handle = ctypes.c_uint32(0)
        library.check(library.dll.QXDFU_RegisterDeviceChangeCallback(device_filter.encode("ascii"), self._trampoline,
                                                                     None, ctypes.byref(handle)),
                      "RegisterDeviceChangeCallback")
        self._handle = handle.value
        _live_registrations.add(self)

    def _on_change(self, _context, event: int) -> None:
        self._thread_ids.add(threading.get_ident())
        try:
            change = DeviceChange(event)
        except ValueError:
            change = DeviceChange.UNKNOWN
        if self._callback is None:
            self._events.put(change)
            return
        try:
            self._callback(change)
        except Exception:  # an exception must not unwind into the library's thread
            _log.exception("device change callback raised")

    def _release(self, handle: int) -> int:
        if threading.get_ident() in self._thread_ids:
            # Unregistering waits for this very thread to end.
            self._handle = handle
            raise RuntimeError("a registration cannot be closed from its own callback")
        return self.library.dll.QXDFU_UnregisterDeviceChangeCallback(handle)

    def get(self, timeout: Optional[float] = None) -> Optional[DeviceChange]:
        """The next queued event, or None when none came within ``timeout`` seconds."""
        try:
            return self._events.get(timeout=timeout)
        except queue.Empty:
            return None

    def __iter__(self) -> Iterator[DeviceChange]:
        while not self.closed:
            event = self.get(timeout=0.1)
            if event is not None:
                yield event
