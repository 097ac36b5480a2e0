"""Live lines of the production-line command: a table with python3-rich on a terminal, plain
lines (one per change of a device's phase) everywhere else."""
from __future__ import annotations

import sys
import threading
import time
from typing import Callable, List, Optional, TextIO

from .line import DOWNLOADING, DeviceJob

#: A device that has kept its job waiting this long (seconds) shows for how long.
SILENT_AFTER = 2.0


def _describe(job: DeviceJob) -> str:
    if job.finished:
        if job.current:
            return "%s, %s" % (job.phase, job.message)
        if job.ok:
            return "%s, %d bytes in %.3f s" % (job.phase, job.current_bytes, job.seconds)
        return "%s, st=0x%08x (%s) %s" % (job.phase, job.status, job.status_name, job.message)
    return job.phase


def _silence(stream: TextIO) -> None:
    """Points a closed output at the null device, so later writes and the flush at exit do not
    raise again."""
    import os
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, stream.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _rank(job: DeviceJob) -> int:
    """Failures first, then running devices, then done ones."""
    if job.finished and not job.ok:
        return 0
    return 1 if not job.finished else 2


def ordered(jobs: List[DeviceJob]) -> List[DeviceJob]:
    return sorted(jobs, key=lambda job: (_rank(job), job.index))


def fit(jobs: List[DeviceJob], rows: int) -> "tuple[List[DeviceJob], str]":
    """The jobs that fit into ``rows`` lines, in table order, and a line that counts the ones
    left out ("" when all fit)."""
    jobs = ordered(jobs)
    if len(jobs) <= rows:
        return jobs, ""
    shown = jobs[:max(rows - 1, 0)]
    hidden = jobs[len(shown):]
    counts = [(sum(1 for job in hidden if _rank(job) == rank), text)
              for rank, text in ((0, "failed"), (1, "running"), (2, "done"))]
    return shown, "%d more not shown (%s)" % (len(hidden), ", ".join("%d %s" % (n, text) for n, text in counts if n))


class PlainDisplay:
    """One line per change of phase, and the percentage in steps of 25 while downloading."""

    def __init__(self, stream: TextIO = sys.stdout):
        self.stream = stream
        self._lock = threading.Lock()
        self._quarters = {}
        self._silent = {}
        self._closed = False

    def __enter__(self) -> "PlainDisplay":
        return self

    def __exit__(self, *exc_info) -> None:
        pass

    def update(self, job: DeviceJob) -> None:
        self._line(job, _describe(job))

    def progress(self, jobs: List[DeviceJob]) -> None:
        for job in jobs:
            # A silent device is named every ten seconds it stays silent.
            tens = int(job.silent_seconds // 10)
            if tens > self._silent.get(id(job), 0):
                self._line(job, "%s: silent for %d s" % (job.phase, tens * 10))
            self._silent[id(job)] = tens
            if job.phase != DOWNLOADING or not job.total_bytes:
                continue
            quarter = job.current_bytes * 4 // job.total_bytes
            if quarter > self._quarters.get(id(job), 0) and quarter < 4:
                self._quarters[id(job)] = quarter
                self._line(job, "%s %d%%" % (DOWNLOADING, quarter * 25))

    def message(self, text: str) -> None:
        with self._lock:
            if self._closed:
                return
            try:
                print(text, file=self.stream, flush=True)
            except BrokenPipeError:
                # The reader went away (`| head`): the upgrades go on without lines.
                self._closed = True
                _silence(self.stream)

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

        # Title, header, rules and the line of hidden devices take about 7 lines.
        jobs, hidden = fit(self._jobs(), max(self.console.size.height - 7, 3))
        table = Table(title=self._title, expand=False, caption=hidden or None)
        table.add_column("#", justify="right")
        table.add_column("device")
        table.add_column("state")
        table.add_column("progress", width=22)
        table.add_column("bytes", justify="right", no_wrap=True)
        table.add_column("status")
        for job in jobs:
            if job.finished and not job.ok:
                state = "[red]%s[/red]" % job.phase
                result = "0x%08x %s" % (job.status, job.status_name)
            elif job.finished:
                state = "[green]%s[/green]" % job.phase
                result = "%.3f s" % job.seconds
            else:
                state, result = job.phase, ""
                silent = job.silent_seconds
                if silent >= SILENT_AFTER:
                    result = "[yellow]silent for %.0f s[/yellow]" % silent
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
                 stream: Optional[TextIO] = None, note: Optional[Callable[[str], None]] = None):
    """Rich on a terminal (when python3-rich is installed), plain lines otherwise. On a
    terminal without rich, ``note`` is told once why there is no table."""
    stream = stream or sys.stdout
    if not plain and stream.isatty():
        try:
            return RichDisplay(jobs, title)
        except ImportError:
            if note is not None:
                note("No live table: the Python module 'rich' is not installed for %s (Debian: apt install "
                     "python3-rich, and a venv made with that interpreter and --system-site-packages); plain "
                     "lines instead." % sys.executable)
    return PlainDisplay(stream)
