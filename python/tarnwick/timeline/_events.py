"""Dated facts of the stores under a path, one event each.

* Every Local Storage record (value or deletion) at the time it was
  committed. The browser keeps an origin's changes in memory and writes them
  as one LevelDB write batch, which also rewrites the origin's ``META:``
  record with the commit time. The records of one batch have consecutive
  sequence numbers, the ``META:`` record among them, so a record's commit
  time is that of the origin's ``META:`` version with the smallest sequence
  number at or above its own. Where compaction has dropped that version, the
  next one that survives is taken: the time is then later than the commit,
  never earlier. A ``META:`` deletion (the origin's area was emptied)
  carries no time, and neither do the records committed with it.
* Each ``META:`` version (last write) and ``METAACCESS:`` version (last access).
* Dates held in IndexedDB keys and values: ``Date`` objects and the
  ``lastModified`` of stored files.
* The modification time of each data file and blob file, with the sequence
  numbers of the records a data file holds: the file was last written at or
  after the newest of them.

The records come decoded from the native row pipeline, every version of
every key (``_rows.py``); a pass over the store's raw records before it gives
each data file's sequence numbers, of every record and of every copy of one
in a second file, and the sequence numbers of the ``META:`` versions. Nothing
grows with the store but the ``META:`` versions and the list of files.
"""

from __future__ import annotations

import bisect
import datetime
import json
import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

from .._provenance import walk_files
from .. import _store_vocabulary as kinds
from ..chromium.localstorage import META_PREFIX

# What each kind of event's time means (Timesketch's ``timestamp_desc``).
COMMITTED = "Local Storage commit time"
AREA_WRITTEN = "Local Storage last write"
AREA_ACCESSED = "Local Storage last access"
VALUE_DATE = "IndexedDB date value"
KEY_DATE = "IndexedDB date key"
FILE_LAST_MODIFIED = "IndexedDB file last modified"
FILE_MODIFIED = "File modified"

# Batches of the pass over a store's records that finds each file's sequence numbers.
RECORD_BATCH_ROWS = 4_096
RECORD_BATCH_BYTES = 1 << 20
# Longest key or value shown in an event's message.
MESSAGE_TEXT_LIMIT = 120


@dataclass
class Event:
    """One dated fact. ``when`` is UTC; ``fields`` are the source fields."""

    when: datetime.datetime
    desc: str
    message: str
    fields: dict[str, Any] = field(default_factory=dict)

    @property
    def timestamp_us(self) -> int:
        delta = self.when - _EPOCH
        return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


_EPOCH = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)


def parse_iso(text: object) -> datetime.datetime | None:
    """An ISO 8601 UTC time as the decoders write it (``...Z``); None for
    anything else, such as an invalid date or a year Python cannot hold."""
    if not isinstance(text, str) or not text.endswith("Z"):
        return None
    try:
        return datetime.datetime.fromisoformat(text[:-1] + "+00:00").astimezone(datetime.timezone.utc)
    except ValueError:
        return None


def from_unix_ns(ns: int) -> datetime.datetime:
    seconds, rest = divmod(ns, 1_000_000_000)
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).replace(microsecond=rest // 1000)


def _short(value: Any) -> str:
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    return text if len(text) <= MESSAGE_TEXT_LIMIT else text[:MESSAGE_TEXT_LIMIT] + "…"


def event_order(event: Event) -> tuple[Any, ...]:
    """The timeline's order: time, then kind, file and sequence number; events
    equal in all four keep the order they were found in."""
    return (event.when, event.desc, str(event.fields.get("file")), event.fields.get("seq") or 0)


def _record_fields(row: dict[str, Any]) -> dict[str, Any]:
    return {"store_kind": row["store_kind"], "store_path": row["store_path"], "origin": row["origin"],
            "file": row["file"], "offset": row["offset"], "seq": row["seq"], "state": row["state"],
            "record_type": row["record_type"]}


# --- Local Storage -----------------------------------------------------------------


class MetaVersions:
    """The sequence numbers of every ``META:`` version of each storage key,
    gathered from the store's records: they name the version whose time a
    record's commit takes. Memory grows with the META versions only."""

    def __init__(self) -> None:
        self._by_key: dict[str | None, list[int]] = {}

    def add(self, user_key: bytes, seq: int) -> None:
        if user_key.startswith(META_PREFIX):
            try:
                storage_key: str | None = user_key[len(META_PREFIX):].decode("utf-8")
            except UnicodeDecodeError:
                storage_key = None  # as the decoders leave a storage key they cannot read
            self._by_key.setdefault(storage_key, []).append(seq)

    def sort(self) -> None:
        for versions in self._by_key.values():
            versions.sort()

    def commit_seq(self, storage_key: str | None, seq: int) -> int | None:
        """The sequence number of the META version that dates a record with
        sequence number ``seq``: the smallest at or above it."""
        versions = self._by_key.get(storage_key, [])
        at = bisect.bisect_left(versions, seq)
        return versions[at] if at < len(versions) else None


def local_storage_events(row: dict[str, Any], metas: MetaVersions) -> Iterator[Event]:
    record_type = row["record_type"]
    if record_type in ("meta", "meta_access"):
        yield from _meta_event(row)
    elif record_type == "data":
        # The commit time the native pass found for the record (the time of
        # the META version at or after it, when that version has a time).
        when = parse_iso((row.get("details") or {}).get("committed"))
        meta_seq = metas.commit_seq(row["storage_key"], row["seq"])
        if when is None or meta_seq is None:
            return
        what = "deleted" if row["state"] == "deleted" else f"= {_short(row['value'])!s}"
        yield Event(when, COMMITTED, f"Local Storage {row['origin']}: {_short(row['key'])} {what}",
                    {**_record_fields(row), "key": row["key"], "commit_meta_seq": meta_seq})


def _meta_event(row: dict[str, Any]) -> Iterator[Event]:
    value = row["value"] if isinstance(row["value"], dict) else {}
    access = row["record_type"] == "meta_access"
    when = parse_iso(value.get("last_accessed" if access else "last_modified"))
    if when is None:
        return
    desc = AREA_ACCESSED if access else AREA_WRITTEN
    size = "" if access else f" ({value.get('size_bytes')} bytes)"
    yield Event(when, desc, f"Local Storage {row['origin']}: area {'accessed' if access else 'written'}{size}",
                _record_fields(row))


# --- IndexedDB -----------------------------------------------------------------------


def tagged_dates(value: Any) -> Iterator[tuple[str, str, str]]:
    """(JSON Pointer, kind, ISO time) of every date in a tagged-JSON value:
    ``{"$date": ...}`` and the ``last_modified`` of each ``{"$file": {...}}``
    and of each file of a ``{"$filelist": [...]}``.
    Walked with a stack, so no depth of nesting costs recursion."""
    stack: list[tuple[str, Any]] = [("", value)]
    while stack:
        pointer, node = stack.pop()
        if isinstance(node, dict):
            if "$date" in node and len(node) == 1:
                if isinstance(node["$date"], str):
                    yield pointer, VALUE_DATE, node["$date"]
                continue
            # A File, alone or in a FileList (whose items are the files' descriptions).
            described = node.get("$file")
            files = [(f"{pointer}/$file", described)] if isinstance(described, dict) else []
            listed = node.get("$filelist")
            if isinstance(listed, list):
                files += [(f"{pointer}/$filelist/{i}", item) for i, item in enumerate(listed) if isinstance(item, dict)]
            for where, item in files:
                if isinstance(item.get("last_modified"), str):
                    yield where, FILE_LAST_MODIFIED, item["last_modified"]
            if files:
                continue
            # Only objects and arrays can hold a date: the rest get no pointer made.
            children = [(name, child) for name, child in node.items() if isinstance(child, (dict, list))]
        elif isinstance(node, list):
            children = [(str(i), item) for i, item in enumerate(node) if isinstance(item, (dict, list))]
        else:
            continue
        for name, child in reversed(children):
            stack.append((f"{pointer}/{str(name).replace('~', '~0').replace('/', '~1')}", child))


def indexeddb_events(row: dict[str, Any]) -> Iterator[Event]:
    if row["record_type"] != "data":
        return
    where = f"IndexedDB {row['origin']} {row['database']}/{row['object_store']}"
    for part in ("key", "value"):
        for pointer, desc, text in tagged_dates(row[part]):
            when = parse_iso(text)
            if when is None:
                continue
            if part == "key":
                desc = KEY_DATE
            yield Event(when, desc, f"{where}: {part}{pointer or ''} of key {_short(row['key'])}",
                        {**_record_fields(row), "key": row["key"], "database": row["database"],
                         "object_store": row["object_store"], "json_pointer": f"{part}{pointer}"})


# --- Files -----------------------------------------------------------------------------


def _modified(path: str, role: str, store: str, bounds: tuple[int, int] | None) -> Event | None:
    try:
        info = os.lstat(path)  # the entry itself: a link is not followed
    except OSError:
        return None
    holds = f", holds records seq {bounds[0]}–{bounds[1]}" if bounds else ""
    fields: dict[str, Any] = {"store_path": store, "file": path, "file_role": role, "size": info.st_size,
                              "inode": info.st_ino}
    if bounds:
        fields["seq_min"], fields["seq_max"] = bounds
    return Event(from_unix_ns(info.st_mtime_ns), FILE_MODIFIED, f"{role} {os.path.basename(path)} modified{holds}", fields)


def _widened(bounds: tuple[int, int] | None, low: int, high: int) -> tuple[int, int]:
    return (low, high) if bounds is None else (min(bounds[0], low), max(bounds[1], high))


# --- Stores ------------------------------------------------------------------------------


def store_events(directory: str, kind: str) -> Iterator[tuple[Event, int]]:
    """The events of one store, each with about the bytes of text it holds."""
    from .. import records
    from ..report._collect import blob_folder
    from ._rows import store_rows

    metas = MetaVersions()
    learn_metas = kind == kinds.LOCAL_STORAGE
    bounds: dict[str, tuple[int, int]] = {}
    # Small batches: only each record's file, sequence number and key are looked at.
    with records(directory, batch_rows=RECORD_BATCH_ROWS, batch_bytes=RECORD_BATCH_BYTES) as source:
        # Every record, copies in two files included, counts for its file's
        # bounds. Records come file by file: the bounds of the file at hand
        # are kept aside and merged when the file changes.
        path, low, high = None, 0, 0
        for r in source:
            seq = r.seq
            if r.origin_file != path:
                if path is not None:
                    bounds[path] = _widened(bounds.get(path), low, high)
                path, low, high = r.origin_file, seq, seq
            elif seq < low:
                low = seq
            elif seq > high:
                high = seq
            if learn_metas:
                metas.add(r.user_key, seq)
        if path is not None:
            bounds[path] = _widened(bounds.get(path), low, high)
        # A data file that gave no record was still modified at some time.
        silent = [f.path for f in source.report.files if f.path not in bounds]
    metas.sort()
    for row, size in store_rows(directory, kind):
        made = local_storage_events(row, metas) if kind == kinds.LOCAL_STORAGE else indexeddb_events(row)
        for found in made:
            yield found, size
    files: dict[str, tuple[int, int] | None] = {**bounds, **{path: None for path in silent}}
    for path in sorted(files):
        event = _modified(path, "data file", directory, files[path])
        if event is not None:
            yield event, 0
    folder = blob_folder(directory) if kind == kinds.INDEXEDDB else None
    for path in walk_files(folder) if folder else ():
        event = _modified(path, "blob file", directory, None)
        if event is not None:
            yield event, 0
