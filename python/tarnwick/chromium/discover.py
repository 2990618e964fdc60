"""Finding Chromium stores in a folder, and telling their kind.

A profile or Electron app-data folder holds ``Local Storage/leveldb``, ``Session
Storage``, ``IndexedDB/<origin id>.indexeddb.leveldb`` and, for partitioned and
non-default buckets, ``WebStorage/<bucket id>/IndexedDB/indexeddb.leveldb``. A LevelDB
folder found elsewhere is recognised by its keys.
"""

from __future__ import annotations

import os
from collections.abc import Iterator

from ._records import RawRecord
from .entry import INDEXED_DB, LOCAL_STORAGE, SESSION_STORAGE

LEVELDB_MARKERS = ("CURRENT",)
LEVELDB_SUFFIXES = (".log", ".ldb", ".sst")


def is_leveldb_dir(path: str) -> bool:
    try:
        names = os.listdir(path)
    except OSError:
        return False
    return any(n in LEVELDB_MARKERS or n.endswith(LEVELDB_SUFFIXES) for n in names)


def kind_from_path(path: str) -> str | None:
    norm = os.path.normpath(path)
    base = os.path.basename(norm)
    parent = os.path.basename(os.path.dirname(norm))
    if base == "leveldb" and parent == "Local Storage":
        return LOCAL_STORAGE
    if base == "Session Storage":
        return SESSION_STORAGE
    if base.endswith("indexeddb.leveldb"):
        return INDEXED_DB
    return None


def kind_from_records(records: list[RawRecord]) -> str | None:
    """The kind whose keys the records look like most."""
    votes = {LOCAL_STORAGE: 0, SESSION_STORAGE: 0, INDEXED_DB: 0}
    for r in records[:2000]:
        k = r.user_key
        if k == b"VERSION" or k.startswith((b"META:", b"METAACCESS:", b"_")):
            votes[LOCAL_STORAGE] += 1
        elif k in (b"version", b"next-map-id") or k.startswith((b"namespace-", b"map-")):
            votes[SESSION_STORAGE] += 1
        elif k[:1] in (b"\x00",) or (k and k[0] >> 5 < 8 and len(k) >= 4):
            votes[INDEXED_DB] += 1
    best = max(votes, key=lambda kind: votes[kind])
    return best if votes[best] else None


def find_stores(root: str) -> Iterator[tuple[str | None, str]]:
    """(kind or None, folder) of every LevelDB folder under ``root`` (``root`` included),
    in path order; links are not followed."""
    if is_leveldb_dir(root):
        yield kind_from_path(root), root
        return
    yield from sorted(_walk(root), key=lambda found: found[1])


def _walk(root: str) -> Iterator[tuple[str | None, str]]:
    for dirpath, dirnames, _ in os.walk(root):
        dirnames.sort()
        for name in list(dirnames):
            sub = os.path.join(dirpath, name)
            if os.path.islink(sub):
                dirnames.remove(name)
            elif is_leveldb_dir(sub):
                dirnames.remove(name)
                yield kind_from_path(sub), sub
