"""How the command line renders records and summaries.

Keys and values are arbitrary bytes. Every output form carries them twice: as
lower-case hex, which is exact and trivial to decode, and as an escaped text
for reading: printable ASCII is kept, a backslash becomes two, tab, newline
and carriage return become \\t, \\n and \\r, and every other byte becomes
\\xNN. The escaped text is therefore pure ASCII, holds no raw control
characters, and decodes back exactly (Python:
``text.encode("latin-1").decode("unicode_escape").encode("latin-1")``).
"""

from __future__ import annotations

import codecs
import json
import os
import time
from collections.abc import Callable, Iterable, Iterator
from typing import TextIO

from _tarnwick import Record

STATE_NAMES = {0: "Deleted", 1: "Live", 2: "Unknown"}
FILE_TYPE_NAMES = {1: "Ldb", 2: "Log"}

# Field order of a dumped record, shared by the JSON Lines keys and the CSV
# header: the record's own attributes, the byte strings in both forms.
FIELDS = (
    "key_hex",
    "key_text",
    "user_key_hex",
    "user_key_text",
    "value_hex",
    "value_text",
    "seq",
    "state",
    "file_type",
    "origin_file",
    "offset",
    "was_compressed",
)

# How many bytes of a key or value the text view shows before it shortens.
TEXT_VIEW_LIMIT = 64


# Bytes that stand for themselves in the escaped form: printable ASCII but
# the backslash.
_PLAIN_BYTES = bytes(c for c in range(0x20, 0x7F) if c != 0x5C)
# The codec's encoder itself: looking it up by name on every call costs more
# than the encoding of a short key.
_unicode_escape = codecs.getencoder("unicode_escape")


def escape_bytes(data: bytes) -> str:
    """The escaped, printable ASCII form of ``data``."""
    if not data.translate(None, _PLAIN_BYTES):  # nothing to escape: the common case
        return data.decode("ascii")
    # Latin-1 maps each byte to the code point of the same number, and the
    # unicode_escape codec then writes exactly the escapes described above,
    # in C and without touching quote characters.
    return _unicode_escape(data.decode("latin-1"))[0].decode("ascii")


def _json_text(data: bytes) -> str:
    """The escaped form of ``data`` as a JSON string literal.

    The escaped form is printable ASCII, so a backslash and the double quote
    are all that JSON needs escaped in it."""
    return '"' + escape_bytes(data).replace("\\", "\\\\").replace('"', '\\"') + '"'


def state_name(record: Record) -> str:
    value = int(record.state)
    return STATE_NAMES.get(value, str(value))


def file_type_name(record: Record) -> str:
    value = int(record.file_type)
    return FILE_TYPE_NAMES.get(value, str(value))


# --- JSON Lines --------------------------------------------------------------


def jsonl_lines(records: Iterable[Record]) -> Iterator[str]:
    """One JSON object per record, each on its own line.

    The lines are assembled directly rather than by dumping a dict: hex
    strings, numbers and the fixed names need no JSON escaping, and the
    escaped texts need only two characters escaped. This is several times
    faster, and the tests parse every line back with ``json``.
    """
    last_path = None
    path_json = ""
    for r in records:
        key = r.key
        user_key = r.user_key
        value = r.value
        path = r.origin_file
        if path != last_path:
            last_path, path_json = path, json.dumps(path)
        yield (
            f'{{"key_hex":"{key.hex()}","key_text":{_json_text(key)},'
            f'"user_key_hex":"{user_key.hex()}","user_key_text":{_json_text(user_key)},'
            f'"value_hex":"{value.hex()}","value_text":{_json_text(value)},'
            f'"seq":{r.seq},"state":"{state_name(r)}","file_type":"{file_type_name(r)}",'
            f'"origin_file":{path_json},"offset":{r.offset},'
            f'"was_compressed":{"true" if r.was_compressed else "false"}}}\n'
        )


# --- CSV -----------------------------------------------------------------------

# A spreadsheet reads a cell that starts with one of these as a formula (or,
# for tab and carriage return, mangles it). Such a cell gets a leading single
# quote. A cell that already starts with a quote gets one too, so that the
# rule can be undone without ambiguity: strip one leading quote if present.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r", "'")


def neutralise_cell(text: str) -> str:
    """``text`` made safe as a spreadsheet cell."""
    if text.startswith(_FORMULA_STARTS):
        return "'" + text
    return text


def csv_rows(records: Iterable[Record]) -> Iterator[tuple[str | int, ...]]:
    """The CSV header row, then one row per record, every text cell neutralised."""
    yield FIELDS
    last_path = None
    path_cell = ""
    for r in records:
        key = r.key
        user_key = r.user_key
        value = r.value
        path = r.origin_file
        if path != last_path:
            last_path, path_cell = path, neutralise_cell(path)
        yield (
            key.hex(),
            neutralise_cell(escape_bytes(key)),
            user_key.hex(),
            neutralise_cell(escape_bytes(user_key)),
            value.hex(),
            neutralise_cell(escape_bytes(value)),
            r.seq,
            state_name(r),
            file_type_name(r),
            path_cell,
            r.offset,
            "true" if r.was_compressed else "false",
        )


# --- Text view -----------------------------------------------------------------


def _shown(data: bytes) -> str:
    """A key or value for the text view: quoted, and shortened when long."""
    text = escape_bytes(data[:TEXT_VIEW_LIMIT]).replace('"', '\\"')
    if len(data) > TEXT_VIEW_LIMIT:
        return f'"{text}"... ({len(data)} bytes)'
    return f'"{text}"'


def text_lines(records: Iterable[Record]) -> Iterator[str]:
    """A line per record for people to read.

    The file is shown by its name (the directory is the one given on the
    command line), the key is the user key, and keys and values longer than
    ``TEXT_VIEW_LIMIT`` bytes are cut short with their full length added.
    JSON Lines and CSV carry everything in full.
    """
    last_path = None
    name = ""
    for r in records:
        path = r.origin_file
        if path != last_path:
            last_path, name = path, os.path.basename(path)
        compressed = " compressed" if r.was_compressed else ""
        yield (
            f"{name} offset={r.offset} seq={r.seq} {state_name(r)} {file_type_name(r)}{compressed}"
            f" key={_shown(r.user_key)} value={_shown(r.value)}\n"
        )


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


class Progress:
    """Shows how many records have been written, on a status line.

    Nothing is shown for work that ends within ``delay`` seconds; after that
    the line is refreshed at most every ``interval`` seconds.
    """

    def __init__(
        self,
        status: StatusLine,
        total: int,
        *,
        clock: Callable[[], float] = time.monotonic,
        delay: float = 1.0,
        interval: float = 0.25,
    ) -> None:
        self._status = status
        self._total = total
        self._clock = clock
        self._next = clock() + delay
        self._interval = interval

    def update(self, examined: int, written: int) -> None:
        """Report progress; cheap enough to call every few hundred records."""
        if not self._status.enabled:
            return
        now = self._clock()
        if now < self._next:
            return
        self._next = now + self._interval
        if written == examined:
            text = f"tarnwick: {written:,} of {self._total:,} records written"
        else:
            text = f"tarnwick: {written:,} records written, {examined:,} of {self._total:,} examined"
        self._status.show(text)


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
