"""Loading the flashbridge library and declaring its 25 exports for ctypes."""
from __future__ import annotations

import atexit
import ctypes
import os
import sys
import tempfile
import threading
from pathlib import Path
from typing import List, Optional, Union

#: The API version this package is written for; the library must serve it.
API_VERSION_MAJOR = 1
API_VERSION_MINOR = 13

#: The environment variable that names the library when no path is given.
LIBRARY_ENVIRONMENT_VARIABLE = "FLASHBRIDGE_LIBRARY"

DEVICE_CHANGE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32)

_u32 = ctypes.c_uint32
_i32 = ctypes.c_int32
_u64 = ctypes.c_uint64
_pu32 = ctypes.POINTER(ctypes.c_uint32)
_pu64 = ctypes.POINTER(ctypes.c_uint64)
# Wide strings are UTF-16 on every platform; a c_uint16 array is passed as their buffer.
_pwide = ctypes.POINTER(ctypes.c_uint16)

# name: (result type, argument types), in the order of the library's export table.
_PROTOTYPES = {
    "QXDFU_GetApiVersion": (_u32, []),
    "QXDFU_CheckApiVersion": (_i32, [_u32, _u32]),
    "QXDFU_GetUniCharSize": (_u32, []),
    "QXDFU_GetErrorText": (ctypes.c_char_p, [_u32]),
    "QXDFU_StartFileLogging": (_u32, [_pwide, _u32]),
    "QXDFU_EnumerateUsbDfuDevices": (_u32, [ctypes.c_char_p, _pu32, _pu32, _u32, _u32, _u32]),
    "QXDFU_CloseEnumeration": (_u32, [_u32]),
    "QXDFU_CompareDeviceInstance": (_u32, [_u32, _u32, _u32]),
    "QXDFU_OpenDevice": (_u32, [_u32, _u32, _pu32, _u32]),
    "QXDFU_CloseDevice": (_u32, [_u32]),
    "QXDFU_CheckDeviceConnection": (_u32, [_u32]),
    "QXDFU_GetDevicePropertyUint": (_u32, [_u32, _u32, _pu32]),
    "QXDFU_GetDevicePropertyString": (_u32, [_u32, _u32, _pwide, _u32]),
    "QXDFU_RebootDevice": (_u32, [_u32, _u32, _u32]),
    "QXDFU_StartUpgrade": (_u32, [_u32, _u32, _u32, _u32]),
    "QXDFU_GetUpgradeStatus": (_u32, [_u32, _pu32, _pu64, _pu64, _pu32]),
    "QXDFU_FinishUpgrade": (_u32, [_u32, _u32]),
    "QXDFU_LoadFirmwareImageFromFile": (_u32, [_pwide, _u32, _pu32, _u32]),
    "QXDFU_LoadFirmwareFromBuffer": (_u32, [ctypes.c_void_p, _u64, _u32, _pu32, _u32]),
    "QXDFU_UnloadFirmwareImage": (_u32, [_u32]),
    "QXDFU_GetImagePropertyUint": (_u32, [_u32, _u32, _pu32]),
    "QXDFU_GetImagePropertyUint64": (_u32, [_u32, _u32, _pu64]),
    "QXDFU_GetImagePropertyString": (_u32, [_u32, _u32, _pwide, _u32]),
    "QXDFU_RegisterDeviceChangeCallback": (_u32, [ctypes.c_char_p, DEVICE_CHANGE_CALLBACK, ctypes.c_void_p, _pu32]),
    "QXDFU_UnregisterDeviceChangeCallback": (_u32, [_u32]),
}


#: Functions only the host library has (flashbridge.so); declared when present.
_HOST_PROTOTYPES = {
    "QXHOST_GetStatusLogName": (ctypes.c_char_p, [_u32]),
}

#: The host library appends its debugger output to the file this environment variable names.
DEBUG_OUTPUT_ENVIRONMENT_VARIABLE = "QXDFU_DEBUG_OUTPUT"


class DebugOutput:
    """The library's debugger output, where it reports mistakes in its configuration and
    simulated device files (file, line and cause). On the host it goes to the file that
    $QXDFU_DEBUG_OUTPUT names; unless the caller named one, a temporary file is used. Must be
    set up before the library is loaded."""

    _instance: Optional["DebugOutput"] = None
    _lock = threading.Lock()

    def __init__(self) -> None:
        self.path = os.environ.get(DEBUG_OUTPUT_ENVIRONMENT_VARIABLE) or ""
        self._temporary = False
        if not self.path and sys.platform != "win32":
            descriptor, self.path = tempfile.mkstemp(prefix="flashbridge-debug-", suffix=".txt")
            os.close(descriptor)
            self._temporary = True
            os.environ[DEBUG_OUTPUT_ENVIRONMENT_VARIABLE] = self.path
            atexit.register(self._remove)
        self._offset = self._size()
        self._read_lock = threading.Lock()

    @classmethod
    def get(cls) -> "DebugOutput":
        with cls._lock:
            if cls._instance is None:
                cls._instance = DebugOutput()
            return cls._instance

    def _size(self) -> int:
        try:
            return os.path.getsize(self.path) if self.path else 0
        except OSError:
            return 0

    def _remove(self) -> None:
        try:
            os.remove(self.path)
        except OSError:
            pass

    def read_new(self) -> List[str]:
        """The lines written since the last call (complete lines only)."""
        if not self.path:
            return []
        with self._read_lock:
            try:
                with open(self.path, "rb") as stream:
                    stream.seek(self._offset)
                    data = stream.read()
            except OSError:
                return []
            end = data.rfind(b"\n") + 1
            self._offset += end
            return [line for line in data[:end].decode("utf-8", errors="replace").splitlines() if line.strip()]


class LibraryLoadError(OSError):
    """The library could not be found, loaded, or does not serve API version 1.13."""


def default_library_name() -> str:
    """The library's file name on this platform."""
    return "flashbridge.dll" if sys.platform == "win32" else "flashbridge.so"


def resolve_library_path(path: Union[str, os.PathLike, None] = None) -> Path:
    """The library to load: the given path, else $FLASHBRIDGE_LIBRARY, else the file beside
    this package. A folder stands for the library file inside it."""
    if path is None or str(path) == "":
        path = os.environ.get(LIBRARY_ENVIRONMENT_VARIABLE) or None
    if path is None:
        path = Path(__file__).resolve().parent / default_library_name()
    candidate = Path(path)
    if candidate.is_dir():
        candidate = candidate / default_library_name()
    if not candidate.is_file():
        raise LibraryLoadError(
            "flashbridge library not found: %s (pass a path or set %s)" % (candidate, LIBRARY_ENVIRONMENT_VARIABLE))
    # The library reads its configuration files beside its own full file name.
    return candidate.resolve()


def load_native(path: Union[str, os.PathLike, None] = None) -> ctypes.CDLL:
    """Loads the library, declares every export and checks the API version."""
    resolved = resolve_library_path(path)
    DebugOutput.get()
    try:
        dll = ctypes.CDLL(str(resolved))
    except OSError as error:
        raise LibraryLoadError("cannot load %s: %s" % (resolved, error)) from error
    missing = [name for name in _PROTOTYPES if not hasattr(dll, name)]
    if missing:
        raise LibraryLoadError("%s lacks the export(s) %s" % (resolved, ", ".join(missing)))
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(dll, name)
        function.restype = restype
        function.argtypes = argtypes
    if not dll.QXDFU_CheckApiVersion(API_VERSION_MAJOR, API_VERSION_MINOR):
        version = dll.QXDFU_GetApiVersion()
        raise LibraryLoadError("%s has API version %d.%d, which does not serve version %d.%d" % (
            resolved, version >> 16, version & 0xFFFF, API_VERSION_MAJOR, API_VERSION_MINOR))
    for name, (restype, argtypes) in _HOST_PROTOTYPES.items():
        if hasattr(dll, name):
            function = getattr(dll, name)
            function.restype = restype
            function.argtypes = argtypes
    if dll.QXDFU_GetUniCharSize() != 2:
        raise LibraryLoadError("%s does not use 16-bit wide strings" % resolved)
    return dll


def to_wide(text: str) -> ctypes.Array:
    """A NUL-terminated UTF-16 buffer for a wide string argument."""
    encoded = text.encode("utf-16-le")
    units = len(encoded) // 2
    buffer = (ctypes.c_uint16 * (units + 1))()
    ctypes.memmove(buffer, encoded, len(encoded))
    return buffer


def from_wide(buffer: ctypes.Array) -> str:
    """The text of a NUL-terminated UTF-16 buffer."""
    units = list(buffer)
    try:
        units = units[:units.index(0)]
    except ValueError:
        pass
    return b"".join(unit.to_bytes(2, "little") for unit in units).decode("utf-16-le", errors="replace")


def wide_buffer(items: int) -> ctypes.Array:
    return (ctypes.c_uint16 * items)()


def wide_pointer(buffer: ctypes.Array) -> "ctypes._Pointer":
    return ctypes.cast(buffer, _pwide)
