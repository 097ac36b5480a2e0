#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses (tests/fuzz/corpus/<harness>/seed-*).

Seeds are a few small valid inputs per harness; libFuzzer grows its own corpus from them in a
scratch folder. Inputs that once found a fault are kept beside the seeds (crash-*, hang-*) and
are not written here. The image seeds of type 2 are written by the image test helpers and
committed as they are. Usage: make_seeds.py [CORPUS_FOLDER]
"""
import os
import struct
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def dfu_suffix(data, vid, pid, did, bcd_dfu=0x0100):
    data += struct.pack("<HHHH", did, pid, vid, bcd_dfu) + b"UFD" + bytes([16])
    return data + struct.pack("<I", zlib.crc32(data) ^ 0xFFFFFFFF)


def firmware(size, seed):
    return bytes(((i * 197 + seed) ^ (i >> 7)) & 0xFF for i in range(size))


def interface(number, alt, protocol, endpoints=0, cls=0xFE, sub=0x01):
    return bytes([9, 4, number, alt, endpoints, cls, sub, protocol, 0])


def functional(attributes=0x0D, detach=1000, transfer=256, bcd=0x0110):
    return bytes([9, 0x21, attributes]) + struct.pack("<HHH", detach, transfer, bcd)


def configuration(*parts):
    body = b"".join(parts)
    interfaces = sum(1 for p in parts if p[1] == 4 and p[3] == 0)
    return bytes([9, 2]) + struct.pack("<H", 9 + len(body)) + bytes([interfaces, 1, 0, 0x80, 50]) + body


def string(text):
    raw = text.encode("utf-16-le")
    return bytes([2 + len(raw), 3]) + raw


def device_header(flags=0, flags2=0, transfer=256, attributes=0x0D, detach=1000, poll=0, image=700, target=0):
    return bytes([flags, flags2]) + struct.pack("<HBHBHB", transfer, attributes, detach, poll, image, target)


def main(argv):
    out = argv[0] if argv else os.path.join(HERE, "corpus")

    images = os.path.join(out, "fuzz_image")
    write(images, "raw-small", firmware(64, 3))
    write(images, "suffix", dfu_suffix(firmware(300, 5), 0x1209, 0x0001, 0x0100))
    write(images, "suffix-ids", dfu_suffix(firmware(40, 9), 0x0483, 0xDF11, 0x2200, 0x011A))

    filters = os.path.join(out, "fuzz_filter")
    # Two bytes of key masks (all keys allowed; none, VID or VID and PID required), then the text.
    write(filters, "dfu", b"\xff\x03" + b"VID=0x1209, PID=0x0001\nVID=0x1209, PID=0x0002")
    write(filters, "bcd", b"\xff\x07" + b"VID=0x1209,PID=2,MIN_BCDDEVICE=0x100,MAX_BCDDEVICE=0x0200\r\n")
    write(filters, "interface", b"\xff\x81" + b"IF_NUMBER=0, IF_CLASS=0xFE, IF_SUBCLASS=1, IF_PROT=2\n"
          b"GUID={6E45736A-2B1B-4078-B772-B3AF2B6FDE1C}")
    write(filters, "errors", b"\xff\x01" + b"VID=0x10000\nVID=1,VID=2\nPID=\n,,")

    ini = os.path.join(out, "fuzz_ini")
    write(ini, "config", "[DriverInterface]\nInterfaceGUID = {3fe809ab-fb91-4cb5-a643-69670d52366e}\n\n"
          "[Simulation]\nDeviceFile = flashtool-device.ini\n")
    write(ini, "logging", "[Logger.Global]\nLogLevel=4\n[Logger.DFUAPI]\nLogLevel=2\n[Logger.DFU]\nLogLevel=0x6\n"
          "[Target.LogFile]\nLogFile=%HOME%/flashbridge.log\nAppendMode=1\nFlushAfterWrite=0\nMaxFileSizeKB=1024\n")
    with open(os.path.join(HERE, "..", "..", "examples", "flashtool-device.ini"), "rb") as f:
        write(ini, "device-file", f.read())

    descriptors = os.path.join(out, "fuzz_descriptors")
    # One capacity byte, then the descriptor bytes.
    write(descriptors, "dfu-config", b"\x20" + configuration(interface(0, 0, 2), functional()))
    write(descriptors, "composite", b"\x08" + configuration(
        bytes([8, 11, 0, 2, 0xFE, 1, 0, 0]), interface(0, 0, 1, 1, 0xFF, 0), bytes([7, 5, 0x81, 2, 64, 0, 0]),
        interface(1, 0, 1), functional(0x0B), interface(1, 1, 1), functional()))
    write(descriptors, "string", b"\x40" + string("Veltrane Mix 20"))
    write(descriptors, "langids", b"\x04" + bytes([6, 3, 0x09, 0x04, 0x07, 0x04]))

    recordings = os.path.join(out, "fuzz_recording")
    # The head of each committed session recording (whole lines, a few KiB), and a refusal.
    folder = os.path.join(HERE, "..", "recordings")
    for name in ("sim-strict", "sim-no-answer", "libusb-umockdev"):
        with open(os.path.join(folder, name + ".jsonl"), "rb") as f:
            head = b""
            for line in f:
                if len(head) + len(line) > 6000:
                    break
                head += line
        write(recordings, name, head)
    write(recordings, "newer", b'{"type":"header","format":"flashbridge-recording","version":2}\n')

    devices = os.path.join(out, "fuzz_device")
    # Sound devices: a raw image, an image of type 2 with the XMOS requests and the unlock, an
    # abort by FinishUpgrade, an application that is rebooted, 1-byte blocks.
    write(devices, "raw", device_header())
    write(devices, "qx-xmos-unlock", device_header(flags=0x70, flags2=0x01, target=3))
    write(devices, "abort", device_header(flags=0x80, image=2048, transfer=64))
    write(devices, "application", device_header(flags2=0x02 | 0x08, image=16))
    write(devices, "tiny-blocks", device_header(transfer=1, image=40, attributes=0x09, poll=1))
    write(devices, "extra-interface", device_header(flags2=0x40 | 0x10))
    # Answers disturbed: a stall, a silent request, a short and a long answer, a scripted status.
    write(devices, "stall", device_header() + bytes([0, 0, 0, 3]))
    write(devices, "silent", device_header(image=10) + bytes([0, 0, 0, 0, 4]))
    write(devices, "short-long", device_header(image=10) + bytes([0, 5, 0, 6, 0, 0, 5, 2]))
    write(devices, "busy", device_header(image=300) + bytes([0, 0, 0, 0, 0, 7, 6, 0, 1, 0, 0, 4, 0,
                                                              7, 6, 0, 0, 0, 0, 5, 0]))
    # Raw descriptors: a DFU configuration, strings and LANGIDs given byte for byte.
    config = configuration(interface(0, 0, 2), functional(transfer=128))
    write(devices, "raw-descriptors",
          device_header(flags=0x02 | 0x04 | 0x08) + bytes([len(config)]) + config + bytes([2]) +
          struct.pack("<HH", 0x0409, 0x0407) + bytes([6, 6, 3, 9, 4, 7, 4]) + bytes([len(string("M"))]) + string("M") +
          bytes([len(string("Prod"))]) + string("Prod") + bytes([0]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
