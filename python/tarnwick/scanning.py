"""Streaming scans of a store: Arrow batches, light records, text, and a report
of what was and was not read.

The work is done by the ``tarnwick._scan`` extension module: the store's files
are decoded on worker threads without the interpreter lock, and batches come
out in file order with memory bounded by the batch size and the number of
threads, whatever the store's size. The batches are exported through the Arrow
PyCapsule interface, so pyarrow, polars and DuckDB read them without any record
becoming a Python object; no Arrow library is needed to use the rest.
"""

from __future__ import annotations

import collections
import dataclasses
import os
import threading
from collections.abc import Collection, Iterator
from typing import Any, Literal, Union

from _tarnwick import FileType, KeyState

from . import _scan
from ._names import FILE_TYPE_NAMES, FILE_TYPES, KEY_STATE_NAMES, KEY_STATES

__all__ = [
    "Scan",
    "Records",
    "TextScan",
    "ScanRecord",
    "ReadReport",
    "FileReport",
    "EntryReport",
    "ManifestReport",
    "UnreadRange",
    "scan",
    "records",
    "scan_text",
    "inspect",
]

ScanRecord = _scan.ScanRecord

# Batches close at whichever bound they reach first. The bytes bound keeps a
# batch of huge records, or of records that a table's shared key prefixes
# expand, from growing with them.
DEFAULT_BATCH_ROWS = 65_536
DEFAULT_BATCH_BYTES = 4 << 20
DEFAULT_CHUNK_BYTES = 1 << 20

# The filter masks: bit 1 << value of each KeyState and each file kind
# (FileType's value minus one).
_STATE_BITS = {name: 1 << i for i, name in enumerate(KEY_STATE_NAMES)}
_FILE_TYPE_BITS = {name: 1 << i for i, name in enumerate(FILE_TYPE_NAMES)}
_ALL_STATES = (1 << len(KEY_STATE_NAMES)) - 1
_ALL_FILE_TYPES = (1 << len(FILE_TYPE_NAMES)) - 1

# What the records of records() hold in `state` and `file_type`, indexed as the
# batches' dictionaries are.
_STATE_MEMBERS = KEY_STATES
_FILE_TYPE_MEMBERS = FILE_TYPES

_TEXT_FORMATS = {"jsonl": 0, "csv": 1, "text": 2}

# A single file's kind, forced whatever its name and content (the scanner's
# as_kind values; None takes it from the name, else the content).
_AS_KINDS = {None: 0, "table": 1, "log": 2}

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
StateName = Union[KeyState, Literal["Deleted", "Live", "Unknown"]]
FileTypeName = Union[FileType, Literal["Ldb", "Log"]]


def _mask(values: Collection[Any] | None, bits: dict[str, int], everything: int, what: str) -> int:
    if values is None:
        return everything
    if isinstance(values, (str, bytes)):
        values = [values]
    lower = {name.lower(): bit for name, bit in bits.items()}
    mask = 0
    for value in values:
        # KeyState and FileType members print as "KeyState.Live" and the like.
        name = str(value).rpartition(".")[2] if isinstance(value, (KeyState, FileType)) else value
        if not isinstance(name, str) or name.lower() not in lower:
            raise ValueError(f"unknown {what}: {value!r} (expected one of {', '.join(bits)})")
        mask |= lower[name.lower()]
    return mask


def _threads(threads: int | None) -> int:
    if threads is None:
        return os.cpu_count() or 1
    if not isinstance(threads, int) or isinstance(threads, bool) or threads < 1:
        raise ValueError(f"threads must be a positive int, not {threads!r}")
    return threads


def _positive(name: str, value: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < 1:
        raise ValueError(f"{name} must be a positive int, not {value!r}")
    return value


def _prefix(key_prefix: bytes | None) -> bytes:
    if key_prefix is None:
        return b""
    if not isinstance(key_prefix, (bytes, bytearray, memoryview)):
        raise TypeError(f"key_prefix must be bytes or None, not {type(key_prefix).__name__}")
    return bytes(key_prefix)


def _file_names(files: Collection[str | bytes] | None) -> tuple[str | bytes, ...] | None:
    if files is None:
        return None
    if isinstance(files, (str, bytes)):
        raise TypeError("files must be a collection of names, not one name")
    names = tuple(files)
    if not names:
        raise ValueError("files must name at least one file (None reads them all)")
    return names


def _listing(path: str | bytes, any_name: bool, as_kind: str | None) -> tuple[bool, int]:
    """The scanner's any_name and as_kind arguments. ``as_kind`` forces the
    kind of one file given by its path, so a directory refuses it."""
    if as_kind not in _AS_KINDS:
        raise ValueError(f"as_kind must be 'table', 'log' or None, not {as_kind!r}")
    if as_kind is not None and os.path.isdir(path):
        raise ValueError(f"as_kind reads one file, and {os.fsdecode(path)!r} is a directory")
    return bool(any_name), _AS_KINDS[as_kind]


def _common(path: PathLike, reverse: bool, threads: int | None, key_prefix: bytes | None,
            states: Collection[StateName] | None, file_types: Collection[FileTypeName] | None,
            salvage: bool = True, any_name: bool = False,
            as_kind: str | None = None) -> tuple[str | bytes, bool, int, bytes, int, int, bool, bool, int]:
    path = os.fspath(path)
    return (
        path,
        bool(reverse),
        _threads(threads),
        _prefix(key_prefix),
        _mask(states, _STATE_BITS, _ALL_STATES, "state"),
        _mask(file_types, _FILE_TYPE_BITS, _ALL_FILE_TYPES, "file type"),
        bool(salvage),
        *_listing(path, any_name, as_kind),
    )


# ---------------------------------------------------------------------------
# The report


@dataclasses.dataclass(frozen=True)
class UnreadRange:
    """Bytes [begin, end) of a file from which nothing was decoded, and why."""

    begin: int
    end: int
    reason: str


@dataclasses.dataclass(frozen=True)
class FileReport:
    """One data file: whether it was read, and what it gave.

    ``status`` is ``read``, ``salvaged`` (records came from blocks found by
    their checksums, at the byte ranges ``carved``; ``reason`` says why the
    index could not be used, when it could not), ``left_out`` (its reader
    refused it: ``reason`` says why), ``filtered`` (the scan asked only for the other kind of file)
    or ``pending`` (not read yet). ``records`` counts every record decoded,
    before any filter, and ``live``, ``deleted`` and ``unknown`` the same
    records by state; ``compressed`` those that came from a compressed block;
    ``blocks_read`` and ``blocks_skipped`` count a table's data blocks;
    ``unread`` is the damage map."""

    name: str
    path: str
    kind: str
    number: int
    size: int
    status: str
    reason: str
    records: int
    live: int
    deleted: int
    unknown: int
    compressed: int
    blocks_read: int
    blocks_skipped: int
    unread: tuple[UnreadRange, ...]
    carved: tuple[tuple[int, int], ...] = ()

    @property
    def undecoded(self) -> int:
        """Bytes of the file from which nothing was decoded."""
        return sum(r.end - r.begin for r in self.unread)


@dataclasses.dataclass(frozen=True)
class EntryReport:
    """A directory entry of the store that is not read as a data file:
    ``not_admitted`` (its name or kind says data file, but it is not one that
    is read), ``link`` (a symbolic link named like a file of the store: never
    followed; ``target`` is where it points) or ``not_data`` (CURRENT, LOCK,
    LOG, a manifest). ``size`` is the entry's own size."""

    name: str
    path: str
    status: str
    reason: str
    size: int
    target: str


@dataclasses.dataclass(frozen=True)
class ManifestReport:
    """What the store's manifest says of its table files: ``missing`` are the
    file numbers of tables it lists that the directory does not hold,
    ``unlisted`` the names of table files there that it does not list.
    ``read`` is false (and ``reason`` says why) when it could not be read."""

    name: str
    read: bool
    reason: str
    missing: tuple[int, ...]
    unlisted: tuple[str, ...]


@dataclasses.dataclass(frozen=True)
class ReadReport:
    """What a scan read and what it could not, for every entry of the store.

    ``finished`` says the scan ran to its end; ``complete`` that, besides,
    every data file was read whole and nothing named like one was passed over
    (left out, a link, not admitted, cut short or holding bytes from which
    nothing was decoded)."""

    directory: str
    finished: bool
    complete: bool
    files: tuple[FileReport, ...]
    others: tuple[EntryReport, ...]
    manifest: ManifestReport | None

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> ReadReport:
        files = tuple(
            FileReport(**{**f, "unread": tuple(UnreadRange(*r) for r in f["unread"]),
                          "carved": tuple(tuple(r) for r in f.get("carved", ()))}) for f in data["files"]
        )
        others = tuple(EntryReport(**e) for e in data["others"])
        manifest = data["manifest"]
        if manifest is not None:
            manifest = ManifestReport(**{**manifest, "missing": tuple(manifest["missing"]),
                                         "unlisted": tuple(manifest["unlisted"])})
        return cls(data["directory"], data["finished"], data["complete"], files, others, manifest)

    def to_dict(self) -> dict[str, Any]:
        """Plain values only, ready for json.dumps."""
        return dataclasses.asdict(self)

    @property
    def records(self) -> int:
        return sum(f.records for f in self.files)

    @property
    def left_out(self) -> tuple[FileReport, ...]:
        return tuple(f for f in self.files if f.status == "left_out")

    @property
    def not_admitted(self) -> tuple[EntryReport, ...]:
        return tuple(e for e in self.others if e.status == "not_admitted")

    @property
    def links(self) -> tuple[EntryReport, ...]:
        return tuple(e for e in self.others if e.status == "link")

    @property
    def bookkeeping(self) -> tuple[EntryReport, ...]:
        """CURRENT, LOCK, LOG, LOG.old and the manifests."""
        return tuple(e for e in self.others if e.status == "not_data")

    def warnings(self) -> list[str]:
        """One line for each thing that keeps the read from being complete,
        and for what the manifest says is missing or extra."""
        lines = [f"left out {f.name!r}: {f.reason}" for f in self.left_out]
        lines += [f"not read {e.name!r}: {e.reason}" for e in self.not_admitted]
        lines += [f"not read {e.name!r}: a link to {e.target!r}, not followed" for e in self.links]
        lines += [
            f"{f.name!r}: {f.undecoded} bytes not decoded ({f.unread[0].reason})"
            for f in self.files
            if f.status == "read" and f.unread
        ]
        lines += [
            f"salvaged {f.name!r}: records of {len(f.carved)} block(s) found by their checksums ({f.reason})"
            for f in self.files
            if f.status == "salvaged"
        ]
        if not self.finished:
            lines.append("the read ended before every file was read")
        if self.manifest is not None and self.manifest.read:
            if self.manifest.missing:
                shown = ", ".join(f"{n:06d}.ldb" for n in self.manifest.missing[:5])
                more = " …" if len(self.manifest.missing) > 5 else ""
                lines.append(f"{self.manifest.name} lists {len(self.manifest.missing)} table(s) that are not here: {shown}{more}")
            if self.manifest.unlisted:
                shown = ", ".join(repr(n) for n in self.manifest.unlisted[:5])
                more = " …" if len(self.manifest.unlisted) > 5 else ""
                lines.append(f"{self.manifest.name} does not list {len(self.manifest.unlisted)} table(s) here: {shown}{more}")
        return lines


# ---------------------------------------------------------------------------
# Scans


class Scan:
    """A store's records as a stream of Arrow record batches.

    Each Arrow consumer that asks for the stream (``__arrow_c_stream__``)
    starts a fresh pass over the store. ``report`` tells what the latest pass
    has read so far. Dropping the consumer's reader stops the pass."""

    def __init__(self, path: PathLike, *, reverse: bool = False, threads: int | None = None,
                 batch_rows: int = DEFAULT_BATCH_ROWS, batch_bytes: int = DEFAULT_BATCH_BYTES,
                 key_prefix: bytes | None = None, states: Collection[StateName] | None = None,
                 file_types: Collection[FileTypeName] | None = None,
                 files: Collection[str | bytes] | None = None, salvage: bool = True, any_name: bool = False,
                 as_kind: str | None = None) -> None:
        self._arguments = (
            *_common(path, reverse, threads, key_prefix, states, file_types, salvage, any_name, as_kind),
            _positive("batch_rows", batch_rows),
            _positive("batch_bytes", batch_bytes),
            _file_names(files),
        )
        if not os.path.lexists(self._arguments[0]):
            raise ValueError(f"Not a directory: {os.fsdecode(self._arguments[0])}")
        self._latest: _scan.ArrowScan | None = None

    def __arrow_c_schema__(self) -> Any:
        return _scan.schema_capsule()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        # The batches have one schema; a consumer that asks for another casts.
        self._latest = _scan.ArrowScan(*self._arguments)
        return self._latest.stream_capsule()

    @property
    def report(self) -> ReadReport | None:
        """What the latest pass has read so far; None before any pass."""
        return None if self._latest is None else ReadReport.from_dict(self._latest.report())

    def __repr__(self) -> str:
        return f"tarnwick.Scan({self._arguments[0]!r})"


class Records:
    """A store's records as light ScanRecord objects (the attributes of
    ``_tarnwick.Record``, plus ``file_number``), one batch in memory at a time.

    One iterator may be shared by threads: each record goes to exactly one of
    them. Taking a record from the batch at hand is one atomic step; fetching
    the next batch is done by one thread at a time while the others wait."""

    def __init__(self, native: _scan.ArrowScan) -> None:
        self._native = native
        self._batch: collections.deque[ScanRecord] = collections.deque()
        self._fetching = threading.Lock()
        self._ended = False

    def __iter__(self) -> Records:
        return self

    def __next__(self) -> ScanRecord:
        while True:
            try:
                return self._batch.popleft()
            except IndexError:
                pass
            with self._fetching:
                if self._batch:
                    continue  # another thread fetched meanwhile
                if self._ended:
                    raise StopIteration
                batch = self._native.next_records(_STATE_MEMBERS, _FILE_TYPE_MEMBERS)
                if batch is None:
                    self._ended = True
                    raise StopIteration
                self._batch.extend(batch)

    @property
    def report(self) -> ReadReport:
        return ReadReport.from_dict(self._native.report())

    def close(self) -> None:
        """Stops the workers and closes every file."""
        self._native.cancel()
        self._batch.clear()

    def __enter__(self) -> Records:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


class TextScan:
    """A store's records encoded as text, an iterator of bytes chunks in
    record order (the format's header first)."""

    def __init__(self, native: _scan.TextScan) -> None:
        self._native = native
        self._taking = threading.Lock()  # threads sharing the iterator take chunks in turn

    def __iter__(self) -> TextScan:
        return self

    def __next__(self) -> bytes:
        with self._taking:
            return next(self._native)

    @property
    def report(self) -> ReadReport:
        return ReadReport.from_dict(self._native.report())

    def close(self) -> None:
        self._native.cancel()

    def __enter__(self) -> TextScan:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


def scan(path: PathLike, *, reverse: bool = False, threads: int | None = None,
         batch_rows: int = DEFAULT_BATCH_ROWS, batch_bytes: int = DEFAULT_BATCH_BYTES,
         key_prefix: bytes | None = None, states: Collection[StateName] | None = None,
         file_types: Collection[FileTypeName] | None = None,
         files: Collection[str | bytes] | None = None, salvage: bool = True, any_name: bool = False,
         as_kind: str | None = None) -> Scan:
    """Every record of a store, as Arrow record batches (see Scan), in the
    order of ``RawLevelDb(path).iterate_records_raw(reverse=reverse)``.

    ``threads`` decode files in parallel (default: the machine's cores).
    ``key_prefix`` keeps records whose user key starts with it; ``states``
    and ``file_types`` keep records of those KeyState and FileType members
    (or their names). ``files`` reads only the data files of those names, a
    part of a store as if it were the whole (the others are not in the
    report). A table whose footer or index cannot be used is read by finding
    its blocks by their checksums, and so are blocks a damaged index lost (the
    report says ``salvaged``); ``salvage=False`` leaves such a table out
    instead, as RawLevelDb does.

    ``path`` may also name one file, read whatever its name: its kind comes
    from a data file name (``000005.ldb``) when it has one, else from its
    content (a table when its last 8 bytes are the table magic number, a log
    otherwise); ``as_kind="table"`` or ``"log"`` forces it. In a directory,
    ``any_name=True`` also reads every regular file whose content is a table
    or starts with a log record header (type 1 to 4, the record within the
    first 32 KiB block): carved pieces dropped into a folder. Files it does
    not admit are in the report's ``not_admitted`` with the reason."""
    return Scan(path, reverse=reverse, threads=threads, batch_rows=batch_rows, batch_bytes=batch_bytes,
                key_prefix=key_prefix, states=states, file_types=file_types, files=files, salvage=salvage,
                any_name=any_name, as_kind=as_kind)


def records(path: PathLike, *, reverse: bool = False, threads: int | None = None,
            batch_rows: int = DEFAULT_BATCH_ROWS, batch_bytes: int = DEFAULT_BATCH_BYTES,
            key_prefix: bytes | None = None, states: Collection[StateName] | None = None,
            file_types: Collection[FileTypeName] | None = None, files: Collection[str | bytes] | None = None,
            salvage: bool = True, any_name: bool = False, as_kind: str | None = None) -> Records:
    """The records of scan(), one light object each, without Arrow."""
    arguments = _common(path, reverse, threads, key_prefix, states, file_types, salvage, any_name, as_kind)
    native = _scan.ArrowScan(*arguments, _positive("batch_rows", batch_rows), _positive("batch_bytes", batch_bytes),
                             _file_names(files))
    return Records(native)


def scan_text(path: PathLike, format: str = "jsonl", *, reverse: bool = False,
              threads: int | None = None, chunk_bytes: int = DEFAULT_CHUNK_BYTES,
              key_prefix: bytes | None = None, states: Collection[StateName] | None = None,
              file_types: Collection[FileTypeName] | None = None, salvage: bool = True, any_name: bool = False,
              as_kind: str | None = None) -> TextScan:
    """The records of scan() encoded as JSON Lines, CSV or text by the worker
    threads: an iterator of bytes chunks of about ``chunk_bytes`` each."""
    if format not in _TEXT_FORMATS:
        raise ValueError(f"unknown format {format!r} (expected one of {', '.join(_TEXT_FORMATS)})")
    arguments = _common(path, reverse, threads, key_prefix, states, file_types, salvage, any_name, as_kind)
    return TextScan(_scan.TextScan(*arguments, _TEXT_FORMATS[format], _positive("chunk_bytes", chunk_bytes)))


def inspect(path: PathLike, *, threads: int | None = None, salvage: bool = True, any_name: bool = False,
            as_kind: str | None = None) -> ReadReport:
    """Reads every file of a store and reports, for every entry that belongs to
    it, whether it was read or why not, its records, its blocks read and
    skipped, and the byte ranges from which nothing was decoded. ``path``,
    ``salvage``, ``any_name`` and ``as_kind`` are taken as scan() takes them."""
    path = os.fspath(path)
    return ReadReport.from_dict(_scan.inspect(path, _threads(threads), bool(salvage), *_listing(path, any_name, as_kind)))
