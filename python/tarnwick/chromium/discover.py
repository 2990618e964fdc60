"""Finding Chromium stores in a folder, and telling their kind.

A profile or Electron app-data folder holds ``Local Storage/leveldb``, ``Session
Storage``, ``IndexedDB/<origin id>.indexeddb.leveldb`` and, for partitioned and
non-default buckets, ``WebStorage/<bucket id>/IndexedDB/indexeddb.leveldb``. The
stores are ``find``'s (the same walk, the same kinds; see
``tarnwick._store_vocabulary``), kept when their kind is one of these. A LevelDB
folder given directly whose name does not tell is recognised by its keys.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator

from .. import _store_vocabulary as vocabulary
from ._records import RawRecord
from .entry import INDEXED_DB, LOCAL_STORAGE, SESSION_STORAGE

KIND_SAMPLE = 2000
# An IndexedDB key prefix whose three ids fit one byte each starts with 00 (the
# widths byte); the prefix and a type byte make at least five bytes.
IDB_ONE_BYTE_IDS = 0
IDB_SHORTEST_KEY = 5


def kind_from_path(path: str) -> str | None:
    """The Chromium kind that the folder's place names, None for any other folder."""
    kind = vocabulary.recognise(vocabulary.path_parts(path)).kind
    return kind if kind in vocabulary.CHROMIUM_KINDS else None


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


def find_stores(
    root: str, *, on_error: Callable[[str, OSError], None] | None = None
) -> Iterator[tuple[str | None, str]]:
    """(kind, folder) of every store under ``root``, in path order; links are not
    followed and no access time changes. ``root`` itself may be any LevelDB folder
    (kind None when its name does not tell: the keys will); below it only folders
    named as the browser names its stores count, so a profile's other LevelDB folders
    (extension state, sync data, ...) are left alone. Folders below ``root`` that
    cannot be listed are told to ``on_error(path, error)``."""
    from ..stores.find import iter_stores

    for store in iter_stores(root, on_error=on_error):
        if store.path == ".":
            yield (store.kind if store.kind in vocabulary.CHROMIUM_KINDS else None), root
            return
        if store.kind in vocabulary.CHROMIUM_KINDS:
            yield store.kind, os.path.join(root, store.path)
