#!/usr/bin/env python3
"""Runs the real flashtool binary in a scratch folder and checks what it prints.

The folder holds what the case needs beside the tool's current directory: the real library
with its configuration file (and a simulated-device file on the host), a stub library, a file
that is no library, or nothing. Input comes through a pipe, or through a pseudo-terminal for
the terminal cases. Exit 0: passed; 77: skipped (the reason is printed); anything else: failed.

Usage: run_flashtool.py --tool T --library L --stub-dir D --image I [--emulator E --windows]
                        [--with-dfu-device] --case NAME
"""
import argparse
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time

SKIP = 77
EXIT_CODE = 0xEE000010 & 0xFF  # the fixed exit code as the process's 8-bit status

HEADER = ("Veltrane Mix 20\n"
          "This program will update your FW to version 2.39\n"
          "Press (y) to continue !\n")
INTERFACE_GUID = "{3fe809ab-fb91-4cb5-a643-69670d52366e}"

FIRST_OPEN_APP = ("Enumerate available devices...\n"
                  "Found 1 device(s).\n"
                  "Open device...\n"
                  "Device is operating in run mode APP (application).\n")
TO_BOOTLOADER = ("Rebooting device to switch to DFU mode...\n"
                 "Waiting until device is gone...\n")
OPEN_BOOTLOADER = ("Enumerate available devices...\n"
                   "Found 1 device(s).\n"
                   "Open device...\n"
                   "Device is operating in run mode DFU (bootloader).\n")
BACK_TO_APP = ("Rebooting device to revert back to APP mode...\n"
               "Firmware upgrade finished. The device should start in application run mode now.\n"
               "Waiting until device is gone...\n")
NO_DEVICE = ("Enumerate available devices...\n"
             "No device found.\n"
             "EnumerateAndOpenDevice() failed, st=0xee000023 (QXSTATUS_NO_DEVICES)\n")

# Simulated devices for the cases that run a whole upgrade. The identities are the tool's
# (vendor 0x1209, application 0x0001, bootloader 0x0002); the keys after them describe the DFU
# behaviour of the simulated device and must match its device file.
DFU_DEVICE_BASE = """[Device]
Model = dfu
VendorId = 0x1209
ProductId = 0x0001
BootloaderProductId = 0x0002
SerialNumber = SN0001
RunMode = application
DfuTransferSize = 1024
DetachDelayMs = 50
RejoinDelayMs = 50
PollTimeoutMs = 2
FlashTimePerBlockMs = 1
ManifestationTimeMs = 20
ReceivedFirmwareFile = received.bin
"""
DFU_DEVICES = {
    "happy_path": DFU_DEVICE_BASE,
    "already_in_bootloader": DFU_DEVICE_BASE.replace("RunMode = application", "RunMode = bootloader"),
    # Slow flash writes so that the key arrives while the download runs.
    "key_abort": DFU_DEVICE_BASE.replace("PollTimeoutMs = 2", "PollTimeoutMs = 20")
                                .replace("FlashTimePerBlockMs = 1", "FlashTimePerBlockMs = 20"),
    "no_disconnect": DFU_DEVICE_BASE + "StayOnBusAfterDetach = yes\n",
    "download_error": DFU_DEVICE_BASE + "ErrorAtBlock = 10\nErrorStatus = 0x04\n",
}

# The happy-path device played back from the recording of its session (session.jsonl).
REPLAY_DEVICE = """[Device]
Model = replay
Recording = session.jsonl
Latency = zero
ReceivedFirmwareFile = replayed.bin
"""
GETSTATUS_SETUP = "a103000000000600"

# The base device is not manifestation tolerant (the default attributes) and resets itself
# after manifesting; these are the other ways real devices end, and the strict device.
VARIANT_DEVICES = {
    "variant_wait_for_reset": DFU_DEVICE_BASE + "ManifestationEnd = wait-for-reset\n",
    "variant_leave_during_status": DFU_DEVICE_BASE + "ManifestationEnd = leave-during-status\n",
    "variant_strict": DFU_DEVICE_BASE + "Strict = yes\n",
}


class Failure(Exception):
    pass


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


def expect_equal(actual, expected, what="output"):
    if actual != expected:
        raise Failure("%s differs\n--- expected\n%r\n--- actual\n%r" % (what, expected, actual))


class Runner:
    def __init__(self, args):
        self.args = args
        self.windows = args.windows
        self.lib_name = "flashbridge.dll" if self.windows else "flashbridge.so"
        self.suffix = ".dll" if self.windows else ".so"
        self.work = tempfile.mkdtemp(prefix="flashtool-")

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def command(self):
        return ([self.args.emulator] if self.args.emulator else []) + [self.args.tool]

    def normalize(self, text):
        # A windows program writes its line ends as CR LF to a redirected standard output.
        return text.replace("\r\n", "\n") if self.windows else text

    def load_failure(self, status):
        return HEADER + "QXDfuApi::Instance().LoadByName(%s) failed, st=0x%08x\n" % (self.lib_name, status)

    # --- the folder -------------------------------------------------------------------------
    def put_stub(self, variant):
        shutil.copy(os.path.join(self.args.stub_dir, "stub_" + variant + self.suffix),
                    os.path.join(self.work, self.lib_name))

    def put_library(self, device_file=None, recording=None):
        shutil.copy(self.args.library, os.path.join(self.work, self.lib_name))
        config = "[DriverInterface]\nInterfaceGUID = %s\n" % INTERFACE_GUID
        if device_file is not None:
            with open(os.path.join(self.work, "devices.ini"), "w") as f:
                f.write(device_file)
            config += "\n[Simulation]\nDeviceFile = devices.ini\n"
        if recording is not None:
            config += "\n[Recording]\nFile = %s\n" % recording
        with open(os.path.join(self.work, self.lib_name + ".config.ini"), "w") as f:
            f.write(config)

    # --- running ----------------------------------------------------------------------------
    def run_piped(self, data, timeout=120, key_after=None, key=b"x", env=None):
        """Runs the tool with data on its standard input. With key_after, standard input stays
        open and key is written once that text appeared on the output. env: variables to add."""
        proc = subprocess.Popen(self.command(), cwd=self.work, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=dict(os.environ, **(env or {})))
        out = bytearray()
        sent = threading.Event()

        def reader():
            while True:
                chunk = proc.stdout.read1(4096) if hasattr(proc.stdout, "read1") else proc.stdout.read(1)
                if not chunk:
                    return
                out.extend(chunk)
                if key_after is not None and not sent.is_set() and key_after.encode() in out:
                    sent.set()
                    try:
                        proc.stdin.write(key)
                        proc.stdin.flush()
                    except OSError:
                        pass

        thread = threading.Thread(target=reader, daemon=True)
        thread.start()
        proc.stdin.write(data)
        proc.stdin.flush()
        if key_after is None:
            proc.stdin.close()
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise Failure("flashtool did not end within %d s; output so far:\n%r" % (timeout, bytes(out)))
        thread.join(10)
        if key_after is not None:
            proc.stdin.close()
        err = proc.stderr.read().decode(errors="replace")
        self.last_stderr = err
        if err.strip():
            print("standard error:\n" + err)
        return self.normalize(bytes(out).decode(errors="replace")), rc

    def run_tty(self, steps, timeout=30, on_end=None, wrapper=()):
        """Runs the tool on a pseudo-terminal as its controlling terminal. steps: a list of
        (text to wait for, bytes to type) and ("check", callable(slave_fd)). Returns the output,
        the exit status and the slave's terminal settings after the tool ended."""
        import fcntl
        master, slave = os.openpty()
        attrs = termios.tcgetattr(slave)

        def make_controlling():
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        proc = subprocess.Popen(list(wrapper) + self.command(), cwd=self.work, stdin=slave, stdout=slave, stderr=slave,
                                preexec_fn=make_controlling, close_fds=True)
        out = bytearray()
        deadline = time.monotonic() + timeout

        def pump(until=None):
            while time.monotonic() < deadline:
                if until is not None and until.encode() in out:
                    return True
                ready, _, _ = select.select([master], [], [], 0.05)
                if ready:
                    try:
                        chunk = os.read(master, 4096)
                    except OSError:
                        return False
                    if not chunk:
                        return False
                    out.extend(chunk)
                elif until is None and proc.poll() is not None:
                    return True
            return False

        try:
            for step in steps:
                if step[0] == "check":
                    step[1](slave)
                    continue
                wait_for, typed = step
                if not pump(wait_for):
                    raise Failure("did not see %r; output:\n%r" % (wait_for, bytes(out)))
                os.write(master, typed)
            pump()
            rc = proc.wait(timeout=max(1, deadline - time.monotonic()))
            pump()
            after = termios.tcgetattr(slave)
            if on_end is not None:
                on_end(slave)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise Failure("flashtool did not end; output:\n%r" % bytes(out))
        finally:
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
            os.close(master)
            os.close(slave)
        # The terminal turns LF into CR LF on output.
        return bytes(out).decode(errors="replace").replace("\r\n", "\n"), rc, after

    def bound_or_skip(self, out):
        """Skips a case that needs the library bound while the library lacks an export."""
        if out == self.load_failure(0xEE000081):
            skip("the library does not export all 25 functions yet "
                 "(flashtool stops at LoadByName with st=0xee000081)")

    def require_simulation(self):
        if self.windows:
            skip("simulated devices exist only in the host build")

    def require_dfu_device(self):
        self.require_simulation()
        if not self.args.with_dfu_device:
            skip("needs the DFU engine and the simulated DFU device (configure with -DFB_TOOL_E2E_DFU=ON)")

    # --- cases ------------------------------------------------------------------------------
    def case_decline(self):
        self.put_stub("full")
        out, rc = self.run_piped(b"n")
        expect_equal(out, HEADER)
        expect_equal(rc, EXIT_CODE, "exit code")
        # End of input at the prompt is no confirmation either.
        out, rc = self.run_piped(b"")
        expect_equal(out, HEADER)
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_missing_library(self):
        out, rc = self.run_piped(b"y\n")
        expect_equal(out, self.load_failure(0xEE000096))
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_not_a_library(self):
        with open(os.path.join(self.work, self.lib_name), "w") as f:
            f.write("this is text, not a loadable module\n")
        # ERROR_BAD_EXE_FORMAT on windows; the C run-time family with ENOEXEC on the host.
        out, rc = self.run_piped(b"Y\n")
        expect_equal(out, self.load_failure(193 if self.windows else 0xE0010008))
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_missing_export(self):
        self.put_stub("missing_last_export")
        out, rc = self.run_piped(b"y\n")
        expect_equal(out, self.load_failure(0xEE000081))
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_refused_version(self):
        # The tool's own folder holds the real library; the one bound is the current directory's.
        self.put_stub("refuse_version")
        out, rc = self.run_piped(b"y")
        expect_equal(out, self.load_failure(0xEE000060))
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_stub_bound(self):
        # A library with all 25 exports that does no work: the tool binds it and reports the
        # first call that fails.
        self.put_stub("full")
        out, rc = self.run_piped(b"y\n")
        expect_equal(out, HEADER +
                     "Enumerate available devices...\n"
                     "EnumerateUsbDfuDevices failed, st=0xee000030 (QXSTATUS_NOT_SUPPORTED)\n"
                     "EnumerateAndOpenDevice() failed, st=0xee000030 (QXSTATUS_NOT_SUPPORTED)\n")
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_bound_library(self):
        # The shipped library as it is today: either it lacks an export and the tool stops at the
        # documented load failure, or the tool binds it and finds no device.
        self.put_library()
        out, rc = self.run_piped(b"y\n")
        if out == self.load_failure(0xEE000081):
            print("note: the library lacks an export; flashtool stopped at the documented load failure")
        else:
            expect_equal(out, HEADER + NO_DEVICE)
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_no_device(self):
        self.put_library()
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        expect_equal(out, HEADER + NO_DEVICE)
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_rejected_device_file(self):
        # A key given twice (as a tip added as a new line would do): the file is rejected, and
        # the simulation says so in one line on standard error; the tool's own output is as
        # with no device.
        self.require_simulation()
        self.put_library(DFU_DEVICES["happy_path"] + "RunMode = bootloader\n")
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        expect_equal(out, HEADER + NO_DEVICE)
        lines = [l for l in self.last_stderr.splitlines() if l.strip()]
        if len(lines) != 1 or not re.search(r"simulated device file .*devices\.ini not loaded: .*runmode", lines[0], re.I):
            raise Failure("expected one line about the rejected device file on standard error, got:\n%r"
                          % self.last_stderr)

    def case_two_devices(self):
        self.require_simulation()
        self.put_library("[Device]\nProductId = 0x0001\nSerialNumber = A1\nInterfaceProtocol = 0x01\n\n"
                         "[Device 2]\nProductId = 0x0002\nSerialNumber = B2\n")
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        expect_equal(out, HEADER +
                     "Enumerate available devices...\n"
                     "Found 2 device(s).\n"
                     "Firmware upgrade with multiple device instances in parallel is not supported.\n"
                     "Please make sure that only one device is connected.\n"
                     "EnumerateAndOpenDevice() failed, st=0xee000032 (QXSTATUS_NOT_ALLOWED)\n")

    def download_pattern(self, total):
        return ("Downloading to target 0, press any key to abort\\.\\.\\.\n"
                "(?P<progress>(State = (Idle|Initializing|InProgress) : [0-9]+ bytes of [0-9]+ bytes downloaded "
                "\\([0-9]+ %%\\)        \r)*)"
                "State = Finished : %d bytes of %d bytes downloaded \\(100 %%\\)        \r\n"
                "Upgrade successfully finished \\(took [0-9]+\\.[0-9]{3} seconds\\)\\.\n" % (total, total))

    def check_upgrade(self, out, before_download, received_file="received.bin"):
        total = os.path.getsize(self.args.image)
        pattern = re.escape(HEADER + before_download) + self.download_pattern(total) + re.escape(BACK_TO_APP)
        match = re.fullmatch(pattern, out)
        if match is None:
            raise Failure("output of the upgrade differs; got:\n%r" % out)
        done = [int(m) for m in re.findall(r": ([0-9]+) bytes of", match.group("progress"))]
        if done != sorted(done):
            raise Failure("progress went backwards: %r" % done)
        received = os.path.join(self.work, received_file)
        if not os.path.exists(received):
            raise Failure("the device wrote no %s" % received_file)
        with open(self.args.image, "rb") as f, open(received, "rb") as g:
            if f.read() != g.read():
                raise Failure("the simulated device did not receive the carried image byte for byte")

    def case_happy_path(self):
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["happy_path"])
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        self.check_upgrade(out, FIRST_OPEN_APP + TO_BOOTLOADER + OPEN_BOOTLOADER)
        expect_equal(rc, EXIT_CODE, "exit code")

    @staticmethod
    def without_timing(out):
        """The messages of an upgrade without what differs from run to run: the progress lines
        before the last one (how many the tool shows depends on its polling) and the duration."""
        out = re.sub("(State = (Idle|Initializing|InProgress) : [^\r]*\r)+", "<progress>\r", out)
        return re.sub(r"took [0-9]+\.[0-9]{3} seconds", "took N seconds", out)

    def record_session(self):
        """Upgrades the happy-path device with the library recording the session into
        session.jsonl; returns the tool's output and the recording's lines."""
        self.require_dfu_device()
        self.put_library(DFU_DEVICE_BASE, recording="session.jsonl")
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        self.check_upgrade(out, FIRST_OPEN_APP + TO_BOOTLOADER + OPEN_BOOTLOADER)
        with open(os.path.join(self.work, "session.jsonl")) as f:
            lines = f.read().splitlines()
        header = json.loads(lines[0])
        if (header.get("type"), header.get("format"), header.get("backend")) != (
                "header", "flashbridge-recording", "virtual-bus"):
            raise Failure("unexpected recording header: %r" % lines[0])
        return out, lines

    def replay_session(self, lines):
        """Runs the tool again against the recording (lines) played by a replayed device, with
        recording off. Returns the output, the exit status and the library's debugger output
        (which the host build appends to the file QXDFU_DEBUG_OUTPUT names)."""
        with open(os.path.join(self.work, "session.jsonl"), "w") as f:
            f.write("\n".join(lines) + "\n")
        self.put_library(REPLAY_DEVICE)
        debug = os.path.join(self.work, "debug-output.txt")
        out, rc = self.run_piped(b"y\n", env={"QXDFU_DEBUG_OUTPUT": debug})
        if not os.path.exists(debug):
            return out, rc, ""
        with open(debug) as f:
            return out, rc, f.read()

    def case_record_replay(self):
        recorded, lines = self.record_session()
        replayed, rc, debug = self.replay_session(lines)
        if "replay:" in debug:
            raise Failure("the replay reported a difference:\n%s" % debug)
        self.check_upgrade(replayed, FIRST_OPEN_APP + TO_BOOTLOADER + OPEN_BOOTLOADER, "replayed.bin")
        expect_equal(rc, EXIT_CODE, "exit code")
        expect_equal(self.without_timing(replayed), self.without_timing(recorded), "replayed output")

    def case_replay_reordered(self):
        _, lines = self.record_session()
        # A DFU_DNLOAD with data and the DFU_GETSTATUS right after it, in the middle of the download.
        setups = [json.loads(line).get("setup", "") for line in lines]
        pairs = [i for i in range(len(lines) - 1)
                 if setups[i].startswith("2101") and setups[i][12:16] != "0000" and setups[i + 1] == GETSTATUS_SETUP]
        if len(pairs) < 3:
            raise Failure("the recording has too few DFU_DNLOAD blocks followed by DFU_GETSTATUS: %d" % len(pairs))
        i = pairs[len(pairs) // 2]
        lines[i], lines[i + 1] = lines[i + 1], lines[i]
        # An earlier run's received firmware is removed when the device arrives; the replay stops
        # before the end of the download, so none is written.
        with open(os.path.join(self.work, "replayed.bin"), "w") as f:
            f.write("an earlier run's")
        out, rc, debug = self.replay_session(lines)
        if "Upgrade successfully finished" in out or not re.search(
                "State = Failed : [0-9]+ bytes of [0-9]+ bytes downloaded \\([0-9]+ %\\)        \r\n"
                "Upgrade failed, completionStatus=0x[0-9a-f]{8} \\([^)]*\\)\\.\n$", out):
            raise Failure("no download failure at the end of the output:\n%r" % out)
        expect_equal(rc, EXIT_CODE, "exit code")
        # Record numbers are 1-based line numbers: the GETSTATUS now at line i + 1 was expected.
        mismatch = re.compile(r"replay: .*session\.jsonl: record %d: expected DFU_GETSTATUS setup %s, "
                              r"got DFU_DNLOAD setup %s out [0-9]+ bytes crc32 [0-9a-f]{8}$"
                              % (i + 1, GETSTATUS_SETUP, setups[i]))
        reported = [l for l in debug.splitlines() if "replay:" in l]
        if len(reported) != 1 or not mismatch.search(reported[0]):
            raise Failure("expected one line naming record %d on the debugger output, got:\n%s" % (i + 1, debug))
        if os.path.exists(os.path.join(self.work, "replayed.bin")):
            raise Failure("replayed.bin exists after a replay that stopped mid-download")

    def upgrade_variant(self, name):
        self.require_dfu_device()
        self.put_library(VARIANT_DEVICES[name])
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        self.check_upgrade(out, FIRST_OPEN_APP + TO_BOOTLOADER + OPEN_BOOTLOADER)
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_already_in_bootloader(self):
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["already_in_bootloader"])
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        # Closed and opened again, without a reboot request.
        self.check_upgrade(out, OPEN_BOOTLOADER + OPEN_BOOTLOADER)

    def case_key_abort(self):
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["key_abort"])
        out, rc = self.run_piped(b"y\n", key_after="bytes downloaded (", key=b"q")
        self.bound_or_skip(out)
        if not re.search("\r\nUpgrade was aborted\\.\n$", out):
            raise Failure("no abort at the end of the output:\n%r" % out)
        if "Rebooting device to revert back to APP mode" in out or "Upgrade successfully finished" in out:
            raise Failure("the aborted upgrade went on:\n%r" % out)
        expect_equal(rc, EXIT_CODE, "exit code")

    def case_type_ahead_piped(self):
        # "y", its line end and more typed ahead through a pipe: only input that arrives once the
        # download runs may abort it.
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["happy_path"])
        out, rc = self.run_piped(b"y\nyes, go ahead\n")
        self.bound_or_skip(out)
        self.check_upgrade(out, FIRST_OPEN_APP + TO_BOOTLOADER + OPEN_BOOTLOADER)

    def case_no_disconnect(self):
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["no_disconnect"])
        started = time.monotonic()
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        expect_equal(out, HEADER + FIRST_OPEN_APP + TO_BOOTLOADER +
                     "Device did not disconnect after reboot request. Upgrade failed.\n")
        if time.monotonic() - started < 5.0:
            raise Failure("gave up before 5 s")

    def case_download_error(self):
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["download_error"])
        out, rc = self.run_piped(b"y\n")
        self.bound_or_skip(out)
        if not re.search("State = Failed : [0-9]+ bytes of [0-9]+ bytes downloaded \\([0-9]+ %\\)        \r\n"
                         "Upgrade failed, completionStatus=0xee001104 \\(unknown\\)\\.\n$", out):
            raise Failure("no download failure at the end of the output:\n%r" % out)

    @staticmethod
    def wait_single_key_mode(slave):
        """Waits until the tool switched the terminal to single keys without echo."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if not termios.tcgetattr(slave)[3] & (termios.ICANON | termios.ECHO):
                return
            time.sleep(0.01)
        raise Failure("the terminal was not switched to single keys without echo at the prompt")

    def case_tty_decline(self):
        self.put_stub("full")
        out, rc, after = self.run_tty([("Press (y) to continue !", b""), ("check", self.wait_single_key_mode),
                                       ("Press (y) to continue !", b"n")])
        expect_equal(out, HEADER)  # the key is taken without Enter and not echoed
        expect_equal(rc, EXIT_CODE, "exit code")
        self.expect_cooked(after)

    def case_tty_confirm_restores_terminal(self):
        # No library: after the failure line the tool waits for a line of normal input.
        out, rc, after = self.run_tty([("Press (y) to continue !", b""), ("check", self.wait_single_key_mode),
                                       ("Press (y) to continue !", b"y"), ("failed, st=0xee000096", b"\n")])
        expect_equal(out, self.load_failure(0xEE000096) + "\n")  # the typed Enter is echoed again
        expect_equal(rc, EXIT_CODE, "exit code")
        self.expect_cooked(after)

    def case_tty_ctrl_c_restores_terminal(self):
        out, rc, after = self.run_tty([("Press (y) to continue !", b""), ("check", self.wait_single_key_mode),
                                       ("Press (y) to continue !", b"\x03")])
        expect_equal(rc, -signal.SIGINT, "end by the interrupt signal")
        self.expect_cooked(after)

    def case_tty_type_ahead(self):
        # "y" and Enter, and a key pressed while the device switches into its bootloader: the
        # download still runs to its end, and the device goes back into its application.
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["happy_path"])
        out, rc, after = self.run_tty([("Press (y) to continue !", b""), ("check", self.wait_single_key_mode),
                                       ("Press (y) to continue !", b"y\r"),
                                       ("Waiting until device is gone...", b"x")], timeout=120)
        self.bound_or_skip(out)
        if "Upgrade was aborted" in out or "Upgrade successfully finished" not in out:
            raise Failure("keys typed ahead changed the upgrade:\n%r" % out)
        if not out.endswith(BACK_TO_APP):
            raise Failure("the device was not sent back into its application:\n%r" % out)
        self.expect_cooked(after)

    def case_tty_arrow_key(self):
        # An arrow key aborts as one key, and none of its bytes is left for the shell.
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["key_abort"])
        out, rc, after = self.run_tty([("Press (y) to continue !", b""), ("check", self.wait_single_key_mode),
                                       ("Press (y) to continue !", b"y"), ("bytes downloaded (", b"\x1b[D")],
                                      timeout=120, on_end=self.expect_no_input_left)
        self.bound_or_skip(out)
        if not re.search("\r\nUpgrade was aborted\\.\n$", out):
            raise Failure("no abort at the end of the output:\n%r" % out)
        self.expect_cooked(after)

    def case_tty_ctrl_c_ends_progress_line(self):
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["key_abort"])
        out, rc, after = self.run_tty([("Press (y) to continue !", b""), ("check", self.wait_single_key_mode),
                                       ("Press (y) to continue !", b"y"), ("bytes downloaded (", b"\x03")],
                                      timeout=120)
        self.bound_or_skip(out)
        expect_equal(rc, -signal.SIGINT, "end by the interrupt signal")
        if not re.search("downloaded \\([0-9]+ %\\)        \r+\n$", out):
            raise Failure("the progress line was left without its line end:\n%r" % out)
        self.expect_cooked(after)

    def case_tty_ctrl_z_then_fg(self):
        # Ctrl+Z during the download gives the shell its terminal as it was; `fg` brings back
        # single keys without echo, and a key then aborts as usual.
        self.require_dfu_device()
        self.put_library(DFU_DEVICES["key_abort"])
        report = os.path.join(self.work, "job-control.txt")
        shell = [sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "fg_shell.py"), report]

        def wait_stopped(slave):
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                if os.path.exists(report) and open(report).read().endswith("\n"):
                    return
                time.sleep(0.02)
            raise Failure("the tool did not stop on Ctrl+Z")

        out, rc, after = self.run_tty([("Press (y) to continue !", b""), ("check", self.wait_single_key_mode),
                                       ("Press (y) to continue !", b"y"), ("bytes downloaded (", b"\x1a"),
                                       ("check", wait_stopped), ("check", self.wait_single_key_mode),
                                       ("bytes downloaded (", b"q")], timeout=120, wrapper=shell)
        self.bound_or_skip(out)
        with open(report) as f:
            stops = [int(line.split("lflag=")[1]) for line in f.read().splitlines()]
        if len(stops) != 1 or not (stops[0] & termios.ICANON and stops[0] & termios.ECHO):
            raise Failure("while stopped the terminal was not given back with line input and echo: %r" % stops)
        if "Upgrade was aborted." not in out:
            raise Failure("the key after fg did not abort the download:\n%r" % out)
        expect_equal(rc, EXIT_CODE, "exit code")
        self.expect_cooked(after)

    @staticmethod
    def expect_no_input_left(slave):
        """After the tool ended: fails when input is left on the terminal for the next program
        (read without waiting for a line end)."""
        attrs = termios.tcgetattr(slave)
        raw = termios.tcgetattr(slave)
        raw[3] &= ~termios.ICANON
        raw[6][termios.VMIN] = 0
        raw[6][termios.VTIME] = 0
        termios.tcsetattr(slave, termios.TCSANOW, raw)
        try:
            left = os.read(slave, 64)
        finally:
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
        if left:
            raise Failure("input left on the terminal after the tool ended: %r" % left)

    @staticmethod
    def expect_cooked(attrs):
        lflag = attrs[3]
        if not (lflag & termios.ICANON and lflag & termios.ECHO):
            raise Failure("the terminal was left without line input or echo (lflag=%#x)" % lflag)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--stub-dir", required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--emulator")
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("--with-dfu-device", action="store_true")
    parser.add_argument("--case", required=True)
    args = parser.parse_args()
    runner = Runner(args)
    try:
        if args.case in VARIANT_DEVICES:
            runner.upgrade_variant(args.case)
        else:
            getattr(runner, "case_" + args.case)()
    except Failure as e:
        print("FAILED: %s" % e)
        return 1
    finally:
        runner.close()
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
