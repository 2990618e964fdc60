"""Finding Chromium stores in a folder, and telling their kind.

A profile or Electron app-data folder holds ``Local Storage/leveldb``, ``Session
Storage``, ``IndexedDB/<origin id>.indexeddb.leveldb`` and, for partitioned and
non-default buckets, ``WebStorage/<bucket id>/IndexedDB/indexeddb.leveldb``. A LevelDB
folder found elsewhere is recognised by its keys.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator

from ._records import RawRecord
from .entry import INDEXED_DB, LOCAL_STORAGE, SESSION_STORAGE

LEVELDB_MARKERS = ("CURRENT",)
KIND_SAMPLE = 2000
# An IndexedDB key prefix whose three ids fit one byte each starts with 00 (the
# widths byte); the prefix and a type byte make at least five bytes.
IDB_ONE_BYTE_IDS = 0
IDB_SHORTEST_KEY = 5
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
    """The kind whose keys most of the first records have, if any does."""
    votes = {LOCAL_STORAGE: 0, SESSION_STORAGE: 0, INDEXED_DB: 0}
    sample = records[:KIND_SAMPLE]
    for r in sample:
        k = r.user_key
        if k == b"VERSION" or k.startswith((b"META:", b"METAACCESS:", b"_")):
            votes[LOCAL_STORAGE] += 1
        elif k in (b"version", b"next-map-id") or k.startswith((b"namespace-", b"map-")):
            votes[SESSION_STORAGE] += 1
        elif len(k) >= IDB_SHORTEST_KEY and k[0] == IDB_ONE_BYTE_IDS:
            votes[INDEXED_DB] += 1
    best = max(votes, key=lambda kind: votes[kind])
    return best if votes[best] * 2 > len(sample) else None


def find_stores(root: str, on_error: Callable[[OSError], None] | None = None
                ) -> Iterator[tuple[str | None, str]]:
    """(kind, folder) of every store under ``root``, in path order; links are not
    followed. ``root`` itself may be any LevelDB folder (kind None when its name does
    not tell: the keys will); below it only folders named as the browser names its
    stores count, so a profile's other LevelDB folders (extension state, sync data,
    ...) are left alone."""
    if is_leveldb_dir(root):
        yield kind_from_path(root), root
        return
    yield from sorted(_walk(root, on_error), key=lambda found: found[1])


def _walk(root: str, on_error: Callable[[OSError], None] | None) -> Iterator[tuple[str | None, str]]:
    # on_error hears of every folder that could not be listed.
    for dirpath, dirnames, _ in os.walk(root, onerror=on_error):
        dirnames.sort()
        for name in list(dirnames):
            sub = os.path.join(dirpath, name)
            if os.path.islink(sub):
                dirnames.remove(name)
            elif kind_from_path(sub) is not None and is_leveldb_dir(sub):
                dirnames.remove(name)
                yield kind_from_path(sub), sub
