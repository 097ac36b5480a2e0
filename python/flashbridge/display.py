"""Live lines of the production-line command: a table with python3-rich on a terminal, plain
lines (one per change of a device's phase) everywhere else."""
from __future__ import annotations

import sys
import threading
import time
from typing import Callable, List, Optional, TextIO

from .line import DONE, DOWNLOADING, DeviceJob


def _describe(job: DeviceJob) -> str:
    if job.finished:
        if job.ok:
            return "%s, %d bytes in %.3f s" % (job.phase, job.current_bytes, job.seconds)
        return "%s, st=0x%08x (%s) %s" % (job.phase, job.status, job.status_name, job.message)
    return job.phase


class PlainDisplay:
    """One line per change of phase, and the percentage in steps of 25 while downloading."""

    def __init__(self, stream: TextIO = sys.stdout):
        self.stream = stream
        self._lock = threading.Lock()
        self._quarters = {}

    def __enter__(self) -> "PlainDisplay":
        return self

    def __exit__(self, *exc_info) -> None:
        pass

    def update(self, job: DeviceJob) -> None:
        self._line(job, _describe(job))

    def progress(self, jobs: List[DeviceJob]) -> None:
        for job in jobs:
            if job.phase != DOWNLOADING or not job.total_bytes:
                continue
            quarter = job.current_bytes * 4 // job.total_bytes
            if quarter > self._quarters.get(id(job), 0) and quarter < 4:
                self._quarters[id(job)] = quarter
                self._line(job, "%s %d%%" % (DOWNLOADING, quarter * 25))

    def message(self, text: str) -> None:
        with self._lock:
            print(text, file=self.stream, flush=True)

    def _line(self, job: DeviceJob, text: str) -> None:
        self.message("%s %s: %s" % (time.strftime("%H:%M:%S"), job.identity.label, text))


class RichDisplay:
    """A live table, one row per device, redrawn ten times a second."""

    def __init__(self, jobs: Callable[[], List[DeviceJob]], title: str):
        from rich.console import Console
        from rich.live import Live

        self._jobs = jobs
        self._title = title
        self.console = Console()
        self._live = Live(self._table(), console=self.console, refresh_per_second=10, transient=False,
                          get_renderable=self._table)

    def _table(self):
        from rich.progress_bar import ProgressBar
        from rich.table import Table

        table = Table(title=self._title, expand=False)
        table.add_column("#", justify="right")
        table.add_column("device")
        table.add_column("state")
        table.add_column("progress", width=22)
        table.add_column("bytes", justify="right", no_wrap=True)
        table.add_column("status")
        for job in self._jobs():
            if job.finished and not job.ok:
                state = "[red]%s[/red]" % job.phase
                result = "0x%08x %s" % (job.status, job.status_name)
            elif job.phase == DONE:
                state = "[green]%s[/green]" % job.phase
                result = "%.3f s" % job.seconds
            else:
                state, result = job.phase, ""
            total = job.total_bytes or 1
            table.add_row(str(job.index + 1), job.identity.label, state,
                          ProgressBar(total=total, completed=min(job.current_bytes, total), width=20),
                          "%d / %d" % (job.current_bytes, job.total_bytes), result)
        return table

    def __enter__(self) -> "RichDisplay":
        self._live.__enter__()
        return self

    def __exit__(self, *exc_info) -> None:
        self._live.__exit__(*exc_info)

    def update(self, job: DeviceJob) -> None:
        pass  # the table is redrawn from the jobs

    def progress(self, jobs: List[DeviceJob]) -> None:
        pass

    def message(self, text: str) -> None:
        self.console.print(text, markup=False, highlight=False)


def make_display(jobs: Callable[[], List[DeviceJob]], title: str, plain: bool = False,
                 stream: Optional[TextIO] = None):
    """Rich on a terminal (when python3-rich is installed), plain lines otherwise."""
    stream = stream or sys.stdout
    if not plain and stream.isatty():
        try:
            return RichDisplay(jobs, title)
        except ImportError:
            pass
    return PlainDisplay(stream)
