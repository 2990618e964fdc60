"""How the command line shows what it read: the summary table, the store's
report, and progress on a terminal. Records themselves are encoded by the
scanner (JSON Lines, CSV, text) or by pyarrow (Parquet, Arrow)."""

from __future__ import annotations

import json
import time
from collections.abc import Callable
from typing import TextIO

from ._store_vocabulary import is_data_file_name
from .scanning import EntryReport, FileReport, ReadReport

# --- What was read: the store's report ----------------------------------------------

# A file's status as the summary shows it.
_STATUS_SHOWN = {"read": "read", "salvaged": "salvaged", "left_out": "left out", "filtered": "not read (filtered)", "pending": "not read"}

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


def _file_row(f: FileReport) -> list[str]:
    status = _STATUS_SHOWN.get(f.status, f.status)
    if f.status in ("left_out", "salvaged") and f.reason:
        status = f"{status}: {f.reason}"
    counts = (f.records, f.live, f.deleted, f.unknown, f.compressed, f.undecoded)
    # The number as the name spells it; a file read whatever its name has none.
    number = f.name.rpartition(".")[0] if is_data_file_name(f.name) else "-"
    return [f.name, f.kind.lower(), number, str(f.size), *map(str, counts), status]


def _entry_row(e: EntryReport) -> list[str]:
    status = f"link to {e.target!r}, not followed" if e.status == "link" else f"not admitted: {e.reason}"
    return [e.name, "-", "-", str(e.size), *("-" * 6), status]


def _total_row(report: ReadReport) -> list[str]:
    files = report.files
    sums = (
        sum(f.size for f in files),
        sum(f.records for f in files),
        sum(f.live for f in files),
        sum(f.deleted for f in files),
        sum(f.unknown for f in files),
        sum(f.compressed for f in files),
        sum(f.undecoded for f in files),
    )
    return ["total", "-", "-", *map(str, sums), ""]


def summary_lines(report: ReadReport) -> list[str]:
    """The summary as an aligned table: a header, a line per data file, a line
    per entry named like a data file that was not read (not admitted, or a
    link), then the totals of the data files."""
    rows = [list(SUMMARY_COLUMNS)]
    rows += [_file_row(f) for f in report.files]
    rows += [_entry_row(e) for e in report.others if e.status in ("not_admitted", "link")]
    rows.append(_total_row(report))
    widths = [max(len(row[i]) for row in rows) for i in range(len(SUMMARY_COLUMNS))]
    lines = []
    for row in rows:
        cells = [row[0].ljust(widths[0]), row[1].ljust(widths[1]), row[2].ljust(widths[2])]
        cells += [cell.rjust(width) for cell, width in zip(row[3:-1], widths[3:-1])]
        cells.append(row[-1])
        lines.append("  ".join(cells).rstrip() + "\n")
    return lines


def summary_json(report: ReadReport) -> str:
    """The whole report as JSON: the same values as ``inspect()`` gives."""
    return json.dumps(report.to_dict(), indent=2) + "\n"


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
