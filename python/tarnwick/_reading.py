"""How the command line reads a store: records as text or columns, and the report.

``scan_text(directory, fmt, **options)`` gives the encoded output in chunks
of bytes and a function returning the store's report once they are used up;
``scan_columnar(directory, **options)`` a stream of Arrow record batches with
the same function; ``summarise(directory, status)`` the report with counts per
file. ``options`` are ``reverse``, ``states``, ``file_types`` and
``key_prefix``.
"""

from __future__ import annotations

import csv
import io
import os
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from _tarnwick import RawLevelDb, Record

from . import _output
from ._quiet_listing import list_names

_CHUNK_CHARS = 1 << 20

# Extensions of the files the reader decodes, and the kind each one is.
_DATA_FILE_KINDS = {"ldb": "ldb", "sst": "ldb", "log": "log"}


def _error(directory: str, message: str) -> Exception:
    from ._commands import CliError

    return CliError(f"cannot read {directory!r}: {message}")


def _records(directory: str, reverse: bool) -> list[Record]:
    try:
        with RawLevelDb(directory) as db:
            return db.iterate_records_raw(reverse=reverse)
    except ValueError as error:
        raise _error(directory, str(error)) from None
    except UnicodeEncodeError:
        raise _error(directory, "the path is not valid UTF-8") from None


def _selected(records: list[Record], options: dict[str, Any]) -> Iterator[Record]:
    states = set(options.get("states") or ())
    types = set(options.get("file_types") or ())
    prefix = options.get("key_prefix") or b""
    records.reverse()
    while records:
        r = records.pop()
        if states and _output.state_name(r) not in states:
            continue
        if types and _output.file_type_name(r) not in types:
            continue
        if prefix and not r.user_key.startswith(prefix):
            continue
        yield r


def _chunks(pieces: Iterable[str]) -> Iterator[bytes]:
    buffer: list[str] = []
    size = 0
    for piece in pieces:
        buffer.append(piece)
        size += len(piece)
        if size >= _CHUNK_CHARS:
            yield "".join(buffer).encode("utf-8", "backslashreplace")
            buffer, size = [], 0
    if buffer:
        yield "".join(buffer).encode("utf-8", "backslashreplace")


def _csv_pieces(records: Iterable[Record]) -> Iterator[str]:
    text = io.StringIO(newline="")
    writer = csv.writer(text)
    for row in _output.csv_rows(records):
        writer.writerow(row)
        yield text.getvalue()
        text.seek(0)
        text.truncate()


def scan_text(directory: str, fmt: str, **options: Any) -> tuple[Iterator[bytes], Callable[[], _output.StoreReport]]:
    records = _records(directory, options.get("reverse", False))
    counted = _count(records)
    selected = _selected(records, options)
    renderer = {"jsonl": _output.jsonl_lines, "text": _output.text_lines, "csv": _csv_pieces}[fmt]
    return _chunks(renderer(selected)), lambda: _report(directory, counted)


def scan_columnar(directory: str, **options: Any) -> Any:
    from ._commands import CliError

    raise CliError("Parquet and Arrow output need the scanner, which this build lacks")


def _count(records: list[Record]) -> dict[str, _output.FileSummary]:
    files: dict[str, _output.FileSummary] = {}
    for record in records:
        name = os.path.basename(record.origin_file)
        summary = files.get(name)
        if summary is None:
            kind = "log" if int(record.file_type) == 2 else "ldb"
            summary = files[name] = _output.FileSummary(name, kind, os.path.splitext(name)[0], _size(record.origin_file))
        summary.records += 1
        state = int(record.state)
        if state == 1:
            summary.live += 1
        elif state == 0:
            summary.deleted += 1
        else:
            summary.unknown += 1
        if record.was_compressed:
            summary.compressed += 1
    return files


def _size(path: str) -> int | None:
    try:
        return os.stat(path).st_size
    except OSError:
        return None


def _report(directory: str, counted: dict[str, _output.FileSummary]) -> _output.StoreReport:
    files = list(counted.values())
    try:
        names = list_names(directory)
    except OSError:
        names = []
    for name in names:
        stem, dot, extension = name.rpartition(".")
        kind = _DATA_FILE_KINDS.get(extension.lower())
        if not dot or kind is None or len(stem) != 6 or not (stem.isascii() and stem.isdigit()) or name in counted:
            continue
        path = os.path.join(directory, name)
        if not os.path.isfile(path):
            continue
        files.append(_output.FileSummary(name, kind, stem, _size(path)))
    files.sort(key=lambda f: int(f.number) if f.number.isdigit() else 0)
    return _output.StoreReport(files, [])


def summarise(directory: str, status: _output.StatusLine) -> _output.StoreReport:
    return _report(directory, _count(_records(directory, False)))
