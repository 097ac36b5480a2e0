"""The public enumerations and flags of the flashbridge C API."""
from __future__ import annotations

import enum


class RunMode(enum.IntEnum):
    """The run mode of a device (device property CURRENT_RUN_MODE, reboot target)."""
    UNKNOWN = 0
    APPLICATION = 1
    BOOTLOADER = 2


class UpgradeState(enum.IntEnum):
    """The state of an upgrade, as QXDFU_GetUpgradeStatus reports it."""
    IDLE = 0
    INITIALIZING = 1
    IN_PROGRESS = 2
    FINISHED = 3
    FAILED = 4

    @property
    def text(self) -> str:
        """The state's text as the library and the console tool print it."""
        return _STATE_TEXTS[self]


_STATE_TEXTS = {
    UpgradeState.IDLE: "Idle",
    UpgradeState.INITIALIZING: "Initializing",
    UpgradeState.IN_PROGRESS: "InProgress",
    UpgradeState.FINISHED: "Finished",
    UpgradeState.FAILED: "Failed",
}


class DeviceProperty(enum.IntEnum):
    """Device property identifiers."""
    VENDOR_ID = 1
    PRODUCT_ID = 2
    BCD_DEVICE = 3
    MANUFACTURER = 4
    PRODUCT = 5
    SERIAL_NUMBER = 6
    CURRENT_RUN_MODE = 7
    DEVICE_INSTANCE_ID = 8
    CONTAINER_ID = 9


#: The device properties read through the Uint variant; the others are strings.
DEVICE_UINT_PROPERTIES = frozenset({DeviceProperty.VENDOR_ID, DeviceProperty.PRODUCT_ID,
                                    DeviceProperty.BCD_DEVICE, DeviceProperty.CURRENT_RUN_MODE})


class ImageProperty(enum.IntEnum):
    """Image property identifiers."""
    IMAGE_SIZE = 1
    METADATA_VALUE_A = 2
    METADATA_VALUE_B = 3
    VERSION_1 = 4
    VERSION_2 = 5
    VERSION_3 = 6
    VERSION_4 = 7
    TARGET_ID = 8
    METADATA_VALUE_C = 9
    BUILD_DATE = 10
    BUILD_KIND = 11
    HAS_DFU_SUFFIX = 12
    SUFFIX_VENDOR_ID = 13
    SUFFIX_PRODUCT_ID = 14
    SUFFIX_BCD_DEVICE = 15
    SUFFIX_BCD_DFU = 16


#: Image properties read through the String variant; IMAGE_SIZE is the only Uint64 one.
IMAGE_STRING_PROPERTIES = frozenset({ImageProperty.BUILD_DATE, ImageProperty.BUILD_KIND})


class ImageType(enum.IntEnum):
    """How the library reads an image's bytes."""
    RAW_BINARY = 1
    QX_BINARY = 2


class DeviceChange(enum.IntEnum):
    """The event of a device change callback."""
    UNKNOWN = 0
    ARRIVAL = 1
    REMOVAL = 2


class LoggingFlag(enum.IntFlag):
    APPEND_MODE = 0x1
    FLUSH_AFTER_WRITE = 0x2


class RebootFlag(enum.IntFlag):
    USE_XMOS_DFU_EXTENSIONS = 0x1


class UpgradeFlag(enum.IntFlag):
    USE_XMOS_DFU_EXTENSIONS = 0x1
    UNLOCK_TARGET = 0x2
