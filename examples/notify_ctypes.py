"""Device change callbacks seen from Python through ctypes.

Copies the library into a fresh folder with a configuration that names a simulated device
file, registers a callback for VID 0x1209 / PID 0x0001, then plugs a device in and out by
editing the file, as a user without hardware would. Exits 0 when the callback heard the
arrival and the removal on a thread other than the caller's, and nothing after unregistering.

Usage: notify_ctypes.py <flashbridge.so>
"""
import ctypes
import os
import shutil
import sys
import tempfile
import threading
import time

GUID = "{3fe809ab-fb91-4cb5-a643-69670d52366e}"
DEVICE = "[Device]\nVendorId = 0x1209\nProductId = 0x0001\nSerialNumber = PY0001\n"
OTHER = "[Device]\nVendorId = 0x1209\nProductId = 0x0005\nSerialNumber = PY0002\n"

CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32)


def write(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def main():
    folder = tempfile.mkdtemp(prefix="fbnotify")
    try:
        library = os.path.join(folder, os.path.basename(sys.argv[1]))
        shutil.copy(sys.argv[1], library)
        devices = os.path.join(folder, "devices.ini")
        write(devices, "")
        with open(library + ".config.ini", "w", encoding="utf-8") as f:
            f.write("[DriverInterface]\nInterfaceGUID = %s\n[Simulation]\nDeviceFile = devices.ini\n" % GUID)
        lib = ctypes.CDLL(library)
        lib.QXDFU_RegisterDeviceChangeCallback.restype = ctypes.c_uint32
        lib.QXDFU_RegisterDeviceChangeCallback.argtypes = [ctypes.c_char_p, CALLBACK, ctypes.c_void_p,
                                                           ctypes.POINTER(ctypes.c_uint32)]
        lib.QXDFU_UnregisterDeviceChangeCallback.restype = ctypes.c_uint32
        lib.QXDFU_UnregisterDeviceChangeCallback.argtypes = [ctypes.c_uint32]

        heard = []
        changed = threading.Condition()
        caller = threading.get_ident()

        def on_change(_context, event):
            with changed:
                heard.append((event, threading.get_ident()))
                changed.notify_all()

        callback = CALLBACK(on_change)
        handle = ctypes.c_uint32(0)
        st = lib.QXDFU_RegisterDeviceChangeCallback(b"VID=0x1209, PID=0x0001\n", callback, None,
                                                    ctypes.byref(handle))
        if st != 0 or handle.value == 0:
            print("register failed: st=0x%08x" % st)
            return 1

        def wait_for(count, timeout=5.0):
            with changed:
                return changed.wait_for(lambda: len(heard) >= count, timeout)

        write(devices, OTHER)            # another product: no call
        write(devices, OTHER + DEVICE)   # ours arrives
        if not wait_for(1):
            print("no arrival heard")
            return 1
        write(devices, OTHER)            # ours leaves
        if not wait_for(2):
            print("no removal heard: %r" % heard)
            return 1
        st = lib.QXDFU_UnregisterDeviceChangeCallback(handle.value)
        if st != 0:
            print("unregister failed: st=0x%08x" % st)
            return 1
        write(devices, OTHER + DEVICE)
        time.sleep(1.5)
        events = [event for event, _ in heard]
        threads = {thread for _, thread in heard}
        print("events %r" % events)
        if events != [1, 2] or caller in threads or len(threads) != 1:
            print("unexpected calls: %r" % heard)
            return 1
        print("device change callbacks OK")
        return 0
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
