"""How the command line reads a store: through the scanner, in bounded memory.

``text_chunks(directory, fmt, **options)`` gives the encoded output (made by
the scanner's worker threads) in chunks of bytes, and a function returning
the store's report once they are used up; ``batches(directory,
**options)`` gives a stream of Arrow record batches and the same function;
``summarise(directory, status)`` the report with counts per file. The
``options`` are ``reverse``, ``states`` (KeyState names), ``file_types``
(FileType names) and ``key_prefix`` (bytes), and for batches also
``threads`` and ``batch_bytes``.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Iterator
from typing import Any, Literal

from . import _output
from ._cli_errors import CliError
from ._names import FILE_TYPE_NAMES, KEY_STATE_NAMES
from .scanning import FileReport, ReadReport, Scan, TextScan, records, scan, scan_text

ReportFunction = Callable[[], _output.StoreReport]

# What the scanner calls a file's status and kind, as the summary shows them.
_STATUS_SHOWN = {"read": _output.READ, "salvaged": "salvaged", "left_out": _output.LEFT_OUT, "filtered": "not read (filtered)", "pending": "not read"}
_KIND_SHOWN = {name: name.lower() for name in FILE_TYPE_NAMES}


def _cannot_read(directory: str, error: BaseException) -> Exception:
    return CliError(f"cannot read {directory!r}: {error}")


def _started(directory: str, start: Callable[[], Any]) -> Any:
    """A scan started; the scanner's refusals (not a directory, not listable)
    as one-line errors."""
    try:
        return start()
    except (ValueError, OSError) as error:
        raise _cannot_read(directory, error) from None


def _chunks(directory: str, text: TextScan) -> Iterator[bytes]:
    try:
        yield from text
    except RuntimeError as error:  # a worker ran out of memory: the scan ended early
        raise _cannot_read(directory, error) from None
    finally:
        text.close()  # stops the workers at once if the output went away


def text_chunks(directory: str, fmt: Literal["jsonl", "csv", "text"], **options: Any) -> tuple[Iterator[bytes], ReportFunction]:
    text = _started(directory, lambda: scan_text(directory, fmt, **options))
    return _chunks(directory, text), lambda: store_report(text.report)


def batches(directory: str, **options: Any) -> tuple[Scan, ReportFunction]:
    source = _started(directory, lambda: scan(directory, **options))

    def report() -> _output.StoreReport:
        latest = source.report
        return store_report(latest) if latest is not None else _output.StoreReport([], [])

    return source, report


# --- The report as the command line shows it -------------------------------------------


def _stem(name: str) -> str:
    return name.rpartition(".")[0] or name


def _size_of(path: str) -> int | None:
    try:
        info = os.lstat(path)
    except OSError:
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def _file_summary(f: FileReport) -> _output.FileSummary:
    summary = _output.FileSummary(
        f.name,
        _KIND_SHOWN.get(f.kind, f.kind.lower()),
        _stem(f.name),
        f.size,
        status=_STATUS_SHOWN.get(f.status, f.status),
        reason=f.reason if f.status == "left_out" else "",
    )
    summary.records = f.records
    summary.undecoded = sum(r.end - r.begin for r in f.unread)
    return summary


def store_report(report: ReadReport) -> _output.StoreReport:
    files = [_file_summary(f) for f in report.files]
    not_admitted = [
        _output.FileSummary(e.name, "-", "-", _size_of(e.path), status=_output.NOT_ADMITTED, reason=e.reason)
        for e in report.not_admitted
    ]
    return _output.StoreReport(files, not_admitted)


# --- summary ---------------------------------------------------------------------------

# The order of a file's counts: [live, deleted, unknown, compressed].
_COUNTED_STATES = ("Live", "Deleted", "Unknown")

# Records between two looks at the clock for the progress line.
_PROGRESS_EVERY = 1 << 16


def summarise(directory: str, status: _output.StatusLine, *, salvage: bool = True) -> _output.StoreReport:
    """The store's report with each file's records counted by state and by
    compression. One pass over light records: nothing is kept but counts."""
    source = _started(directory, lambda: records(directory, salvage=salvage))
    counts: dict[str, list[int]] = {}  # path -> [live, deleted, unknown, compressed]
    slot_of_state = tuple(_COUNTED_STATES.index(name) for name in KEY_STATE_NAMES)  # by KeyState value
    seen = 0
    try:
        with source:
            last_path = None
            slots: list[int] = []
            for r in source:
                path = r.origin_file
                if path != last_path:
                    last_path = path
                    slots = counts.setdefault(path, [0, 0, 0, 0])
                slots[slot_of_state[int(r.state)]] += 1
                if r.was_compressed:
                    slots[3] += 1
                seen += 1
                if seen % _PROGRESS_EVERY == 0:
                    status.show(f"tarnwick: {seen:,} records counted")
            report = source.report
    except RuntimeError as error:
        raise _cannot_read(directory, error) from None
    result = store_report(report)
    for summary, f in zip(result.files, report.files):
        live, deleted, unknown, compressed = counts.get(f.path, (0, 0, 0, 0))
        summary.live, summary.deleted, summary.unknown, summary.compressed = live, deleted, unknown, compressed
    return result
