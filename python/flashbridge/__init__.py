"""flashbridge: firmware upgrades of USB DFU 1.1 devices from Python.

A thin layer over the flashbridge C library (ctypes only)::

    import flashbridge
    lib = flashbridge.Library()                  # argument, $FLASHBRIDGE_LIBRARY, or beside the package
    with lib.load_image("firmware.bin") as image, \\
         lib.enumerate("VID=0x1209, PID=0x0002") as devices, devices.open(0) as device:
        device.upgrade(image, progress=lambda p: print(p.percent, "%"))

``python3 -m flashbridge list|upgrade|watch`` runs the production-line command; ``recording``
summarises and compares recordings of device sessions (plain Python, no library loaded).
"""
from . import status
from ._native import API_VERSION_MAJOR, API_VERSION_MINOR, LIBRARY_ENVIRONMENT_VARIABLE, LibraryLoadError
from .api import (Device, Enumeration, FlashbridgeError, Image, Library, Progress, Registration, Upgrade,
                  UpgradeAborted, UpgradeFailed)
from .constants import (DeviceChange, DeviceProperty, ImageProperty, ImageType, LoggingFlag, RebootFlag, RunMode,
                        UpgradeFlag, UpgradeState)

__version__ = "1.13.0"

__all__ = [
    "API_VERSION_MAJOR", "API_VERSION_MINOR", "LIBRARY_ENVIRONMENT_VARIABLE", "LibraryLoadError", "Device",
    "Enumeration", "FlashbridgeError", "Image", "Library", "Progress", "Registration", "Upgrade", "UpgradeAborted",
    "UpgradeFailed", "DeviceChange", "DeviceProperty", "ImageProperty", "ImageType", "LoggingFlag", "RebootFlag",
    "RunMode", "UpgradeFlag", "UpgradeState", "status",
]
