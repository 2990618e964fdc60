"""How the command line shows what it read: the summary table, the store's
report, and progress on a terminal. Records themselves are encoded by the
scanner (JSON Lines, CSV, text) or by pyarrow (Parquet, Arrow)."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TextIO

# --- What was read: the store's report ----------------------------------------------


class FileSummary:
    """One directory entry of a store: a data file with its counts and status,
    or a name that looks like a data file but is not admitted as one."""

    __slots__ = (
        "name",
        "kind",
        "number",
        "size",
        "records",
        "live",
        "deleted",
        "unknown",
        "compressed",
        "undecoded",
        "status",
        "reason",
    )

    def __init__(self, name: str, kind: str, number: str, size: int | None, status: str = "read", reason: str = "") -> None:
        self.name = name
        self.kind = kind  # "ldb" or "log"
        self.number = number  # the digits of the name
        self.size = size  # None when the file cannot be looked at any more
        self.records = 0
        self.live = 0
        self.deleted = 0
        self.unknown = 0
        self.compressed = 0
        self.undecoded = 0  # bytes from which nothing was decoded
        self.status = status  # "read", "left out" or "not admitted"
        self.reason = reason  # why, for the last two

    @property
    def status_text(self) -> str:
        return f"{self.status}: {self.reason}" if self.reason else self.status


class StoreReport:
    """What a read of a store found: its data files in reading order, and
    the names that look like data files but are not admitted as such."""

    def __init__(self, files: list[FileSummary], not_admitted: list[FileSummary]) -> None:
        self.files = files
        self.not_admitted = not_admitted

    def left_out(self) -> list[FileSummary]:
        return [f for f in self.files if f.status == LEFT_OUT]

    def anything_left_out(self) -> bool:
        return bool(self.left_out() or self.not_admitted)

    def warnings(self) -> list[str]:
        """One line per file that was not read, or not admitted."""
        lines = [f"left out {f.name!r}: {f.reason}" for f in self.left_out()]
        lines += [f"not read {f.name!r}: {f.reason}" for f in self.not_admitted]
        return lines


READ = "read"
LEFT_OUT = "left out"
NOT_ADMITTED = "not admitted"


def summary_total(files: list[FileSummary]) -> FileSummary:
    sizes = [f.size for f in files]
    total = FileSummary("total", "-", "-", None if None in sizes else sum(s for s in sizes if s is not None), status="")
    for f in files:
        total.records += f.records
        total.live += f.live
        total.deleted += f.deleted
        total.unknown += f.unknown
        total.compressed += f.compressed
        total.undecoded += f.undecoded
    return total


SUMMARY_COLUMNS = (
    "file",
    "kind",
    "number",
    "size",
    "records",
    "live",
    "deleted",
    "unknown",
    "compressed",
    "undecoded",
    "status",
)


def _summary_row(f: FileSummary, counted: bool) -> list[str]:
    counts = (f.records, f.live, f.deleted, f.unknown, f.compressed, f.undecoded)
    return [
        f.name,
        f.kind,
        f.number,
        "?" if f.size is None else str(f.size),
        *(str(c) if counted else "-" for c in counts),
        f.status_text,
    ]


def summary_lines(report: StoreReport) -> list[str]:
    """The summary as an aligned table: a header, a line per data file, a line
    per name not admitted, then the totals of the data files."""
    rows = [list(SUMMARY_COLUMNS)]
    rows += [_summary_row(f, True) for f in report.files]
    rows += [_summary_row(f, False) for f in report.not_admitted]
    rows.append(_summary_row(summary_total(report.files), True))
    widths = [max(len(row[i]) for row in rows) for i in range(len(SUMMARY_COLUMNS))]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0]), row[1].ljust(widths[1]), row[2].ljust(widths[2])]
        cells += [cell.rjust(width) for cell, width in zip(row[3:-1], widths[3:-1])]
        cells.append(row[-1])
        lines.append("  ".join(cells).rstrip() + "\n")
    return lines


# --- Progress on a terminal ------------------------------------------------------


class StatusLine:
    """A single line of status text, rewritten in place on a terminal.

    Disabled (every call does nothing) unless enabled at creation; the caller
    enables it only when standard error is a terminal and the records do not
    go to that same terminal.
    """

    def __init__(self, stream: TextIO | None, enabled: bool) -> None:
        self._stream = stream if enabled else None
        self._width = 0

    @property
    def enabled(self) -> bool:
        return self._stream is not None

    def show(self, text: str) -> None:
        if self._stream is None:
            return
        pad = " " * max(0, self._width - len(text))
        self._stream.write("\r" + text + pad)
        self._stream.flush()
        self._width = len(text)

    def clear(self) -> None:
        if self._stream is None or self._width == 0:
            return
        self._stream.write("\r" + " " * self._width + "\r")
        self._stream.flush()
        self._width = 0


class ByteProgress:
    """Shows how much output has been written, on a status line."""

    def __init__(self, status: StatusLine, *, clock: Callable[[], float] = time.monotonic, delay: float = 1.0, interval: float = 0.25) -> None:
        self._status = status
        self._clock = clock
        self._next = clock() + delay
        self._interval = interval
        self._bytes = 0

    def add(self, count: int) -> None:
        self._bytes += count
        if not self._status.enabled:
            return
        now = self._clock()
        if now < self._next:
            return
        self._next = now + self._interval
        self._status.show(f"tarnwick: {self._bytes / 2**20:,.1f} MiB written")
