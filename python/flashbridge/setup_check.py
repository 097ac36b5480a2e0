"""Mistakes in the set-up that the library would otherwise answer with "0 devices" or a bare
status: no configuration beside the library, errors in it or in the simulated device file (the
library reports them, with file, line and cause, on its debugger output), and a bad filter."""
from __future__ import annotations

import re
from pathlib import Path
from typing import Callable, List, Optional

from . import status as st
from .api import FlashbridgeError, Library

# "flashbridge.so: ERROR: plendrik::Class::Method: text" -> "ERROR", "plendrik::Class::Method", "text"
_DEBUG_LINE = re.compile(r"^[^:]*: (ERROR|WARNING): ([\w:]+): (.*)$")
#: The functions that report mistakes in the configuration and the simulated device file.
_SETUP_FUNCTIONS = ("plendrik::DfuApi::ReadConfigFile", "plendrik::QXLoadSimulatedDevices")


def setup_problems(library: Library, note: Optional[Callable[[str], None]] = None) -> List[str]:
    """What is wrong with the library's set-up, one line each; empty when nothing is. Other
    errors the library reported (its log file cannot be written, say) go to ``note``."""
    problems = []
    config = Path(str(library.path) + ".config.ini")
    if not config.is_file():
        problems.append("Set-up error: no configuration file %s: it needs [DriverInterface] InterfaceGUID = {...} "
                        "(and, for simulated devices, [Simulation] DeviceFile = ...)." % config)
    for message in library.debug_messages():
        match = _DEBUG_LINE.match(message)
        if match is None or match.group(1) != "ERROR":
            continue
        if match.group(2) in _SETUP_FUNCTIONS:
            problems.append("Set-up error: %s" % match.group(3))
        elif note is not None:
            note("Library: %s" % match.group(3))
    return problems


def _refused(library: Library, text: str) -> Optional[FlashbridgeError]:
    try:
        library.enumerate(text).close()
    except FlashbridgeError as error:
        return error
    return None


def explain_filter(library: Library, text: str) -> str:
    """"" for a filter the library accepts; else which line and statement it refuses, and why.
    The library is the judge: each line, then each statement of the refused line (with the
    required keys it lacks added), is tried on its own."""
    error = _refused(library, text)
    if error is None:
        return ""
    if error.status not in (st.INVALID_FORMAT, st.DUPLICATE, st.OUT_OF_RANGE):
        return "Bad device filter: %s" % error
    lines = [line for line in text.replace("\r\n", "\n").split("\n")]
    if not any(line.strip() for line in lines):
        return "Bad device filter: it is empty (give --filter \"VID=..., PID=...\")."
    for number, line in enumerate(lines, 1):
        if not line.strip():
            continue
        line_error = _refused(library, line)
        if line_error is None:
            continue
        where = "Bad device filter, line %d '%s'" % (number, line.strip())
        for statement in (part.strip() for part in line.split(",")):
            if not statement:
                continue
            key = statement.split("=", 1)[0].strip().upper()
            probe = ", ".join([statement] + [filler for name, filler in (("VID", "VID=0"), ("PID", "PID=0"))
                                             if name != key])
            statement_error = _refused(library, probe)
            if statement_error is not None:
                return "%s, statement '%s': st=0x%08x (%s): %s" % (
                    where, statement, statement_error.status, statement_error.name, _why(statement_error.status))
        return "%s: st=0x%08x (%s): %s" % (where, line_error.status, line_error.name, _why(line_error.status, True))
    return "Bad device filter: %s" % error


def _why(status: int, whole_line: bool = False) -> str:
    if status == st.DUPLICATE:
        return "a key is given twice in the line."
    if status == st.OUT_OF_RANGE:
        return "the number is out of range (0 to 0xFFFF)."
    if whole_line:
        return "every line needs both VID and PID."
    return "write KEY=number with a key of VID, PID, MIN_BCDDEVICE or MAX_BCDDEVICE, the number decimal or 0x hex."
