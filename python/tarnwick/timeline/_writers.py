"""Writers of a timeline in the forms timeline tools import.

JSON Lines for Timesketch: one object per event with the fields it needs on
every row (``message``, ``datetime`` in ISO 8601 UTC, ``timestamp_desc``),
``timestamp`` in microseconds since 1970, and the source fields. CSV in the
log2timeline (``l2tcsv``) layout: date, time, timezone, MACB, source,
sourcetype, type, user, host, short, desc, version, filename, inode, notes,
format, extra. Text cells that a spreadsheet would take for a formula get a
leading quote.
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Iterable
from typing import Any, BinaryIO

from .._line_escape import spreadsheet_safe
from ._events import AREA_ACCESSED, AREA_WRITTEN, COMMITTED, FILE_MODIFIED, Event

L2T_COLUMNS = ("date", "time", "timezone", "MACB", "source", "sourcetype", "type", "user", "host", "short",
               "desc", "version", "filename", "inode", "notes", "format", "extra")
L2T_VERSION = "2"
SHORT_LIMIT = 80
# What an event's time is in log2timeline's MACB notation: a modification, an
# access, or neither (a date held in the data, not a time of the file system's).
_MACB = {COMMITTED: "M...", AREA_WRITTEN: "M...", FILE_MODIFIED: "M...", AREA_ACCESSED: ".A.."}
_NEITHER = "...."


def data_type(event: Event) -> str:
    """Timesketch's ``data_type``: what kind of source the event comes from."""
    if event.desc == FILE_MODIFIED:
        return "tarnwick:file:modified"
    return f"tarnwick:{event.fields.get('store_kind') or 'leveldb'}:record"


def _iso(event: Event) -> str:
    return event.when.isoformat(timespec="microseconds")


def _text(stream: BinaryIO) -> io.TextIOWrapper:
    # Keys and values may hold lone surrogates: written as their escapes.
    return io.TextIOWrapper(stream, encoding="utf-8", errors="backslashreplace", newline="")


def write_jsonl(events: Iterable[Event], out: BinaryIO) -> int:
    text = _text(out)
    n = 0
    for e in events:
        row: dict[str, Any] = {"message": e.message, "datetime": _iso(e), "timestamp": e.timestamp_us,
                               "timestamp_desc": e.desc, "data_type": data_type(e)}
        row.update((k, v) for k, v in e.fields.items() if k not in row)
        text.write(json.dumps(row, ensure_ascii=False, default=str) + "\n")
        n += 1
    text.flush()
    text.detach()
    return n


def _cell(value: Any) -> str:
    s = "" if value is None else (value if isinstance(value, str) else json.dumps(value, ensure_ascii=False))
    return spreadsheet_safe(s)


def write_csv(events: Iterable[Event], out: BinaryIO) -> int:
    text = _text(out)
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(L2T_COLUMNS)
    n = 0
    for e in events:
        f = e.fields
        source = "FILE" if e.desc == FILE_MODIFIED else "WEBSTORAGE"
        sourcetype = f.get("file_role") or f.get("store_kind") or "leveldb"
        extra = "; ".join(f"{k}: {_cell(v)}" for k, v in f.items() if k not in ("file", "inode"))
        short = e.message if len(e.message) <= SHORT_LIMIT else e.message[:SHORT_LIMIT] + "…"
        writer.writerow([
            e.when.strftime("%m/%d/%Y"), e.when.strftime("%H:%M:%S"), "UTC", _MACB.get(e.desc, _NEITHER), source,
            _cell(sourcetype), _cell(e.desc), "-", "-", _cell(short), _cell(e.message), L2T_VERSION,
            _cell(f.get("file", "-")), f.get("inode", "-"), "-", "tarnwick", _cell(extra),
        ])
        n += 1
    text.flush()
    text.detach()
    return n


WRITERS = {"jsonl": write_jsonl, "csv": write_csv}
