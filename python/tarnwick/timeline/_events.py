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
"""

from __future__ import annotations

import bisect
import datetime
import json
import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

from .._provenance import walk_files
from .. import _store_vocabulary as kinds
from ..stores.find import find_stores

# What each kind of event's time means (Timesketch's ``timestamp_desc``).
COMMITTED = "Local Storage commit time"
AREA_WRITTEN = "Local Storage last write"
AREA_ACCESSED = "Local Storage last access"
VALUE_DATE = "IndexedDB date value"
KEY_DATE = "IndexedDB date key"
FILE_LAST_MODIFIED = "IndexedDB file last modified"
FILE_MODIFIED = "File modified"

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


def _record_fields(e: Any) -> dict[str, Any]:
    return {"store_kind": e.store_kind, "store_path": e.store_path, "origin": e.origin, "file": e.file,
            "offset": e.offset, "seq": e.seq, "state": e.state, "record_type": e.record_type}


# --- Local Storage -----------------------------------------------------------------


def local_storage_events(entries: list[Any]) -> Iterator[Event]:
    metas: dict[str | None, list[tuple[int, Any]]] = {}
    for e in entries:
        if e.record_type == "meta":
            metas.setdefault(e.storage_key, []).append((e.seq, e))
    for versions in metas.values():
        versions.sort(key=lambda pair: pair[0])
    for e in entries:
        if e.record_type in ("meta", "meta_access"):
            yield from _meta_event(e)
        elif e.record_type == "data":
            versions = metas.get(e.storage_key, [])
            at = bisect.bisect_left(versions, e.seq, key=lambda pair: pair[0])
            if at == len(versions):
                continue
            meta = versions[at][1]
            when = parse_iso((meta.value or {}).get("last_modified"))
            if when is None:
                continue
            what = "deleted" if e.state == "deleted" else f"= {_short(e.value)!s}"
            yield Event(when, COMMITTED, f"Local Storage {e.origin}: {_short(e.key)} {what}",
                        {**_record_fields(e), "key": e.key, "commit_meta_seq": meta.seq})


def _meta_event(e: Any) -> Iterator[Event]:
    value = e.value or {}
    access = e.record_type == "meta_access"
    when = parse_iso(value.get("last_accessed" if access else "last_modified"))
    if when is None:
        return
    desc = AREA_ACCESSED if access else AREA_WRITTEN
    size = "" if access else f" ({value.get('size_bytes')} bytes)"
    yield Event(when, desc, f"Local Storage {e.origin}: area {'accessed' if access else 'written'}{size}",
                _record_fields(e))


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
            children = list(node.items())
        elif isinstance(node, list):
            children = [(str(i), item) for i, item in enumerate(node)]
        else:
            continue
        for name, child in reversed(children):
            stack.append((f"{pointer}/{str(name).replace('~', '~0').replace('/', '~1')}", child))


def indexeddb_events(entries: Iterable[Any]) -> Iterator[Event]:
    for e in entries:
        if e.record_type != "data":
            continue
        where = f"IndexedDB {e.origin} {e.database}/{e.object_store}"
        for part in ("key", "value"):
            for pointer, desc, text in tagged_dates(getattr(e, part)):
                when = parse_iso(text)
                if when is None:
                    continue
                if part == "key":
                    desc = KEY_DATE
                yield Event(when, desc, f"{where}: {part}{pointer or ''} of key {_short(e.key)}",
                            {**_record_fields(e), "key": e.key, "database": e.database,
                             "object_store": e.object_store, "json_pointer": f"{part}{pointer}"})


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


def _seq_bounds(pairs: Iterable[tuple[str, int]]) -> dict[str, tuple[int, int] | None]:
    bounds: dict[str, tuple[int, int] | None] = {}
    for path, seq in pairs:
        low, high = bounds.get(path) or (seq, seq)
        bounds[path] = (min(low, seq), max(high, seq))
    return bounds


# --- Stores ------------------------------------------------------------------------------


def store_events(directory: str, kind: str) -> Iterator[Event]:
    """The events of one store."""
    from .. import records
    from ..chromium import read_store
    from ..report._collect import blob_folder

    chromium_kind = kind if kind in kinds.CHROMIUM_KINDS else None
    with records(directory) as source:
        bounds = _seq_bounds((r.origin_file, r.seq) for r in source)
        # A data file that gave no record was still modified at some time.
        bounds.update({f.path: None for f in source.report.files if f.path not in bounds})
    if chromium_kind is not None:
        entries = list(read_store(directory, chromium_kind))
        if chromium_kind == kinds.LOCAL_STORAGE:
            yield from local_storage_events(entries)
        elif chromium_kind == "indexeddb":
            yield from indexeddb_events(entries)
    for path in sorted(bounds):
        event = _modified(path, "data file", directory, bounds[path])
        if event is not None:
            yield event
    folder = blob_folder(directory) if kind == kinds.INDEXEDDB else None
    for path in walk_files(folder) if folder else ():
        event = _modified(path, "blob file", directory, None)
        if event is not None:
            yield event


def collect_events(paths: Iterable[str], problems: list[str]) -> list[Event]:
    """Every event of every store under ``paths``, in time order."""
    events: list[Event] = []

    def unlisted(path: str, error: OSError) -> None:
        problems.append(f"cannot list {path}: {error.strerror or error}")

    for path in paths:
        root = os.path.realpath(path)
        try:
            stores = find_stores(root, on_error=unlisted)
        except OSError as error:
            problems.append(f"cannot list {path}: {error.strerror or error}")
            continue
        if not stores:
            problems.append(f"no LevelDB store under {path}")
        for store in stores:
            directory = root if store.path == "." else os.path.join(root, *store.path.split("/"))
            try:
                events.extend(store_events(directory, store.kind))
            except (OSError, ValueError, RuntimeError) as error:
                problems.append(f"cannot read {directory}: {error}")
    events.sort(key=lambda ev: (ev.when, ev.desc, str(ev.fields.get("file")), ev.fields.get("seq") or 0))
    return events
