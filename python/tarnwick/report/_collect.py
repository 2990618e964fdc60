"""The facts of a report, gathered from the evidence.

For every store under the paths given: every file of its directory with its
size, times and digests (one read per file), its status in the read, its
records by state and a map of its bytes (read, skipped, unreadable); the
blob files that hold a browser store's large values, hashed the same way;
and for the run itself the versions, the command line, the start and end
times and the digests of the outputs named by the examiner.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

from .._provenance import FileFacts, file_facts, now_utc, versions, walk_files
from .. import _store_vocabulary as kinds
from ..stores.find import Store, find_stores
from ._read import STATES, StoreRead, read_store

# What a stretch of a file's bytes is in the damage map.
READ = "read"          # records were decoded from it (or it was passed over as framing)
SKIPPED = "skipped"    # nothing decoded; the reader stepped over it and read on
UNREADABLE = "unreadable"  # nothing decoded; the reader stopped there, or refused the file

# Roles of the files of a store.
TABLE, LOG, OTHER, BLOB, LINK = "table", "log", "other", "blob", "link"
_ROLE_OF_KIND = {"Ldb": TABLE, "Log": LOG}



@dataclass(frozen=True)
class Stretch:
    begin: int
    end: int
    kind: str
    reason: str = ""


@dataclass
class FileEntry:
    name: str
    role: str
    facts: FileFacts
    status: str = ""
    reason: str = ""
    states: dict[str, int] = field(default_factory=dict)
    stretches: list[Stretch] = field(default_factory=list)

    @property
    def lost_bytes(self) -> int:
        return sum(s.end - s.begin for s in self.stretches if s.kind != READ)

    def to_dict(self) -> dict[str, Any]:
        return {
            "name": self.name, "role": self.role, **self.facts.to_dict(), "status": self.status,
            "reason": self.reason, "records": dict(self.states),
            "unread": [{"begin": s.begin, "end": s.end, "kind": s.kind, "reason": s.reason}
                       for s in self.stretches if s.kind != READ],
            "map": [{"begin": s.begin, "end": s.end, "kind": s.kind} for s in self.stretches],
        }


@dataclass
class StoreEntry:
    path: str
    kind: str
    origin: str | None
    files: list[FileEntry] = field(default_factory=list)
    error: str = ""

    @property
    def states(self) -> dict[str, int]:
        return {state: sum(f.states.get(state, 0) for f in self.files) for state in STATES}

    @property
    def complete(self) -> bool:
        """Every data file read, nothing lost, every file hashed."""
        return not self.error and all(
            f.lost_bytes == 0 and f.status in ("read", "not_data", "hashed") and not f.facts.error for f in self.files
        )

    def to_dict(self) -> dict[str, Any]:
        return {"path": self.path, "kind": self.kind, "origin": self.origin, "complete": self.complete,
                "error": self.error, "records": self.states, "files": [f.to_dict() for f in self.files]}


@dataclass
class Report:
    versions: dict[str, str]
    command_line: list[str]
    started: str
    ended: str = ""
    paths: list[str] = field(default_factory=list)
    stores: list[StoreEntry] = field(default_factory=list)
    outputs: list[FileFacts] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)  # paths that gave no store, folders not listed

    @property
    def complete(self) -> bool:
        return not self.problems and all(s.complete for s in self.stores)

    def to_dict(self) -> dict[str, Any]:
        return {
            "tool": "tarnwick", "versions": self.versions, "command_line": self.command_line,
            "started": self.started, "ended": self.ended, "paths": self.paths, "complete": self.complete,
            "problems": self.problems, "stores": [s.to_dict() for s in self.stores],
            "outputs": [o.to_dict() for o in self.outputs],
        }


def damage_map(size: int, unread: Sequence[tuple[int, int, str]], refused: bool) -> list[Stretch]:
    """The file's bytes [0, size) cut into stretches: the ranges from which
    nothing was decoded (in order, possibly overlapping or past the end of
    a file that has shrunk) and the read bytes between them. A range that
    runs to the end of the file is where the reader stopped; a refused file
    is unreadable as a whole."""
    if refused:
        return [Stretch(0, size, UNREADABLE, unread[0][2] if unread else "")] if size else []
    stretches: list[Stretch] = []
    at = 0
    for begin, end, reason in sorted(unread):
        begin, end = max(begin, at), min(end, size)
        if begin >= end:
            continue
        if begin > at:
            stretches.append(Stretch(at, begin, READ))
        stretches.append(Stretch(begin, end, UNREADABLE if end == size else SKIPPED, reason))
        at = end
    if at < size:
        stretches.append(Stretch(at, size, READ))
    return stretches


def blob_folder(store_path: str) -> str | None:
    """The folder of an IndexedDB store's blob files, if it is there (and no link)."""
    from ..chromium.indexeddb import blob_dir_for

    folder = blob_dir_for(store_path)
    return folder if os.path.isdir(folder) and not os.path.islink(folder) else None


def _store_entry(store: Store, directory: str, digests: Sequence[str],
                 reader: Callable[[str], StoreRead]) -> StoreEntry:
    entry = StoreEntry(directory, store.kind, store.origin)
    try:
        read = reader(directory)
    except (OSError, ValueError, RuntimeError) as error:
        entry.error = f"cannot read the store: {error}"
        read = None
    listed: set[str] = set()
    if read is not None:
        for f in read.report.files:
            facts = file_facts(f.path, digests)
            refused = f.status == "left_out"
            unread = [(r.begin, r.end, r.reason) for r in f.unread]
            entry.files.append(FileEntry(
                f.name, _ROLE_OF_KIND.get(f.kind, f.kind.lower()), facts, f.status, f.reason,
                read.states_by_file.get(f.path, dict.fromkeys(STATES, 0)),
                damage_map(facts.size if facts.size is not None else f.size, unread, refused),
            ))
            listed.add(f.name)
        for e in read.report.others:
            entry.files.append(FileEntry(e.name, OTHER, file_facts(e.path, digests), e.status, e.reason))
            listed.add(e.name)
    for found in store.files:  # files the read did not list (the store could not be read)
        if found.name not in listed:
            entry.files.append(FileEntry(found.name, OTHER, file_facts(os.path.join(directory, found.name), digests),
                                         "not_read", entry.error))
    for name in store.skipped_links:
        path = os.path.join(directory, name)
        entry.files.append(FileEntry(name, LINK, file_facts(path, digests), "link", "a symbolic link, not followed"))
    folder = blob_folder(directory) if store.kind == kinds.INDEXEDDB else None
    if folder is not None:
        for path in walk_files(folder):
            facts = file_facts(path, digests)
            entry.files.append(FileEntry(os.path.relpath(path, os.path.dirname(directory)), BLOB, facts,
                                         "hashed" if not facts.error else "not_hashed", facts.error))
    return entry


def collect(paths: Sequence[str], digests: Sequence[str], outputs_of: Sequence[str], command_line: list[str],
            reader: Callable[[str], StoreRead] = read_store) -> Report:
    """The report on every store under ``paths``."""
    report = Report(versions(), command_line, now_utc(), paths=[os.path.abspath(p) for p in paths])

    def unlisted(path: str, error: OSError) -> None:
        report.problems.append(f"cannot list {path}: {error.strerror or error}")

    for path in paths:
        if not os.path.isdir(path):
            # One file of any name, read alone (a link given so is reported by
            # the read, never followed).
            single = Store(".", kinds.GENERIC, None, ())
            report.stores.append(_store_entry(single, os.path.abspath(path), digests, reader))
            continue
        root = os.path.realpath(path)
        try:
            stores = find_stores(root, on_error=unlisted)
        except OSError as error:
            report.problems.append(f"cannot list {path}: {error.strerror or error}")
            continue
        if not stores:
            report.problems.append(f"no LevelDB store under {path}")
        for store in stores:
            directory = root if store.path == "." else os.path.join(root, *store.path.split("/"))
            report.stores.append(_store_entry(store, directory, digests, reader))
    report.outputs = [file_facts(os.path.realpath(p) if os.path.islink(p) else p, digests) for p in outputs_of]
    report.ended = now_utc()
    return report
