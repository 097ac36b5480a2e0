"""Status codes of the flashbridge library. ``Library.status_name`` names every status a user
meets: the library's own names, the Windows error names of its table, C run-time errno names and
DFU bStatus names."""
from __future__ import annotations

import errno
import os
from typing import Final, Optional

SUCCESS: Final = 0x00000000
FAILED: Final = 0xEE000001
INTERNAL_ERROR: Final = 0xEE000002
TIMEOUT: Final = 0xEE000003
REJECTED: Final = 0xEE000004
ABORTED: Final = 0xEE000005
IN_USE: Final = 0xEE000006
BUSY: Final = 0xEE000007
ALREADY_DONE: Final = 0xEE000008
PENDING: Final = 0xEE000009
WOULD_BLOCK: Final = 0xEE00000A
ACCESS_DENIED: Final = 0xEE00000B
MISSING_ARGUMENT: Final = 0xEE000010
MISSING_OPTION: Final = 0xEE000011
MISSING_VALUE: Final = 0xEE000012
UNKNOWN_OPTION: Final = 0xEE000013
NO_MEMORY: Final = 0xEE000020
NO_RESOURCES: Final = 0xEE000021
NO_MORE_ITEMS: Final = 0xEE000022
NO_DEVICES: Final = 0xEE000023
NO_DATA: Final = 0xEE000024
NO_ADDRESS: Final = 0xEE000025
NO_SPACE: Final = 0xEE000026
NO_MATCH: Final = 0xEE000027
MORE_DATA_REQUIRED: Final = 0xEE000028
RETRY_REQUIRED: Final = 0xEE000029
NOT_SUPPORTED: Final = 0xEE000030
NOT_POSSIBLE: Final = 0xEE000031
NOT_ALLOWED: Final = 0xEE000032
NOT_OPENED: Final = 0xEE000033
NOT_AVAILABLE: Final = 0xEE000034
INSTANCE_NOT_AVAILABLE: Final = 0xEE000035
NOT_INITIALIZED: Final = 0xEE000036
FORMAT_NOT_SUPPORTED: Final = 0xEE000037
NOT_PRESENT: Final = 0xEE000038
NOT_FOUND: Final = 0xEE000039
NOT_ENABLED: Final = 0xEE00003A
CONVERSION_FAILED: Final = 0xEE00003B
NOT_HANDLED: Final = 0xEE00003C
DUPLICATE: Final = 0xEE00003D
NOT_COMPATIBLE: Final = 0xEE00003E
INVALID_IOCTL: Final = 0xEE000040
INVALID_PARAMETER: Final = 0xEE000041
INVALID_LENGTH: Final = 0xEE000042
INVALID_BUFFER_SIZE: Final = 0xEE000043
INVALID_INBUF_SIZE: Final = 0xEE000044
INVALID_OUTBUF_SIZE: Final = 0xEE000045
INVALID_TYPE: Final = 0xEE000046
INVALID_INDEX: Final = 0xEE000047
INVALID_HANDLE: Final = 0xEE000048
INVALID_DEVICE_STATE: Final = 0xEE000049
INVALID_DEVICE_CONFIG: Final = 0xEE00004A
INVALID_DESCRIPTOR: Final = 0xEE000050
INVALID_FORMAT: Final = 0xEE000051
INVALID_CONFIGURATION: Final = 0xEE000052
INVALID_MODE: Final = 0xEE000053
INVALID_COMMAND: Final = 0xEE000054
INVALID_FILE: Final = 0xEE000055
INVALID_EP_INTERVAL: Final = 0xEE000056
INVALID_DATA: Final = 0xEE000057
INVALID_ADDRESS: Final = 0xEE000058
INVALID_SIZE: Final = 0xEE000059
VERSION_MISMATCH: Final = 0xEE000060
LENGTH_MISMATCH: Final = 0xEE000061
MAGIC_MISMATCH: Final = 0xEE000062
VALUE_UNKNOWN: Final = 0xEE000063
UNEXPECTED_DEVICE_RESPONSE: Final = 0xEE000064
USB_STALL: Final = 0xEE000065
UNEXPECTED_RESULT: Final = 0xEE000066
OUT_OF_RANGE: Final = 0xEE000067
TRANSACTION_ERROR: Final = 0xEE000068
CHECKSUM_ERROR: Final = 0xEE000069
ENUM_REQUIRED: Final = 0xEE000070
DEVICE_REMOVED: Final = 0xEE000071
DEVICES_EXIST: Final = 0xEE000072
WRONG_DEVICE_STATE: Final = 0xEE000073
BUFFER_TOO_SMALL: Final = 0xEE000074
RESTART_REQUIRED: Final = 0xEE000075
REGISTRY_ACCESS_FAILED: Final = 0xEE000080
OBJECT_NOT_FOUND: Final = 0xEE000081
NOT_IN_HIGH_SPEED_MODE: Final = 0xEE000082
WRONG_DIRECTION: Final = 0xEE000083
PARAMETER_REJECTED: Final = 0xEE000084
ALREADY_OPEN: Final = 0xEE000085
HARDWARE_ACCESS_FAILED: Final = 0xEE000086
HARDWARE_ERROR: Final = 0xEE000087
OPEN_FILE_FAILED: Final = 0xEE000090
READ_FILE_FAILED: Final = 0xEE000091
WRITE_FILE_FAILED: Final = 0xEE000092
IS_READ_ONLY: Final = 0xEE000093
SYSTEM_IS_OWNER: Final = 0xEE000094
PENDING_FILE_DELETION: Final = 0xEE000095
FILE_NOT_FOUND: Final = 0xEE000096
DEFERRED_DATA_STAGE: Final = 0xEE000100
FRAME_NUMBER_NOT_RCV: Final = 0xEE000101
EP_DISABLE: Final = 0xEE000102
EP_RESET: Final = 0xEE000103
ADMIN_PRIVILEGES_REQUIRED: Final = 0xEE000110
NOT_ALLOWED_IN_WOW64: Final = 0xEE000111
I2C_NO_ACK_FOR_ADDRESS: Final = 0xEE000120
I2C_NO_ACK: Final = 0xEE000121
PROBLEM1: Final = 0xEE001001
PROBLEM2: Final = 0xEE001002
DFU_STATUS_ERROR: Final = 0xEE001100
APP_ERROR1: Final = 0xEE002001
APP_ERROR2: Final = 0xEE002002


#: The family of C run-time errors: this ORed with errno.
ERRNO_FAMILY: Final = 0xE0010000


def from_errno(error: int) -> int:
    """The status of a C run-time error."""
    return ERRNO_FAMILY | (error & 0xFFFF)


def errno_of(status: int) -> Optional[int]:
    """The errno value of a C run-time status, else None."""
    return status & 0xFFFF if status & 0xFFFF0000 == ERRNO_FAMILY else None


def errno_name(status: int) -> str:
    """For a C run-time status, its errno name ("ENOENT"); "" for every other status."""
    value = errno_of(status)
    if value is None:
        return ""
    return errno.errorcode.get(value, "errno %d" % value)


def errno_text(status: int) -> str:
    """For a C run-time status, the system's text of its errno ("No such file or directory")."""
    value = errno_of(status)
    return os.strerror(value) if value is not None else ""


def dfu_status_error(b_status: int) -> int:
    """The status of a device's DFU error with bStatus."""
    return DFU_STATUS_ERROR | (b_status & 0xFF)


#: DFU 1.1 bStatus values and their names.
DFU_STATUS_NAMES = ("OK", "errTARGET", "errFILE", "errWRITE", "errERASE", "errCHECK_ERASED", "errPROG", "errVERIFY",
                    "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR", "errUSBR", "errPOR", "errUNKNOWN",
                    "errSTALLEDPKT")


def is_dfu_error(status: int) -> bool:
    return status & 0xFFFFFF00 == DFU_STATUS_ERROR and status != DFU_STATUS_ERROR


def dfu_error_name(status: int) -> str:
    """For a device's DFU error (which the library names "unknown"), the DFU name of its
    bStatus, such as "errWRITE"; "" for every other status."""
    if not is_dfu_error(status):
        return ""
    b_status = status & 0xFF
    return DFU_STATUS_NAMES[b_status] if b_status < len(DFU_STATUS_NAMES) else "bStatus 0x%02X" % b_status


def best_name(status: int, library_name: str, log_name: Optional[str]) -> str:
    """The name to show for a status: the library's own name, else the DFU name of a device's
    bStatus ("DFU errWRITE"), else the errno name of a C run-time error, else the Windows error
    name the library's log gives it (``log_name``), else "unknown"."""
    if library_name and library_name != "unknown":
        return library_name
    if is_dfu_error(status):
        return "DFU " + dfu_error_name(status)
    if errno_of(status) is not None:
        return errno_name(status)
    if log_name and log_name not in ("unknown", "ERROR_SUCCESS"):
        return log_name
    return "unknown"
