"""Chromium and Electron web storage decoded: Local Storage, Session Storage and
IndexedDB, every version the files still hold.

    from tarnwick import chromium

    for e in chromium.read("~/.config/google-chrome/Default"):     # a profile, or one store
        print(e.store_kind, e.origin, e.key, e.value, e.state)

    for e in chromium.read(profile, history=True):                # every version, labelled
        print(e.key, e.version_status, e.seq, e.value)

``read`` and ``read_store`` decode in Python, record by record (the reference the
native decoding is tested against); ``scan`` gives the same rows decoded natively and
streamed, as Arrow or JSON Lines, in bounded memory (see ``tarnwick.chromium.scan``):

    table = pyarrow.table(chromium.scan(profile, history=True))

Each result of ``read`` is an ``Entry``: which store and record, the decoded key and value (tagged
JSON, see ``tarnwick.chromium._tagged``), the record's state, sequence number, file and
offset, and for IndexedDB the database, object store and index names. Nothing raises
for damaged records: the entry keeps the raw bytes and says why in ``error``.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

from . import indexeddb, localstorage, sessionstorage
from ._records import iter_records
from .discover import find_stores, kind_from_path, kind_from_records
from .entry import INDEXED_DB, LOCAL_STORAGE, SESSION_STORAGE, Entry
from .history import group_versions, history, latest
from .history import history as _all_versions
from .scan import ChromiumScan
from .scan import scan as scan

__all__ = ["Entry", "read", "read_store", "find_stores", "history", "latest", "group_versions",
           "scan", "ChromiumScan", "LOCAL_STORAGE", "SESSION_STORAGE", "INDEXED_DB"]

_DECODERS = {LOCAL_STORAGE: localstorage.decode, SESSION_STORAGE: sessionstorage.decode,
             INDEXED_DB: indexeddb.decode}


def read_store(store_dir: str | os.PathLike[str], kind: str | None = None,
               reports: list[Any] | None = None, *, salvage: bool = True) -> Iterator[Entry]:
    """Every record of one store, decoded, in file order. ``kind`` is found from the
    path or, failing that, from the keys. The reader's ``ReadReport`` (what it could
    not read) is appended to ``reports`` when given."""
    path = os.fspath(store_dir)
    records = list(iter_records(path, reports, salvage=salvage))
    kind = kind or kind_from_path(path) or kind_from_records(records)
    if kind is None:
        return
    yield from _DECODERS[kind](records, path)


def read(path: str | os.PathLike[str], *, history: bool = False) -> Iterator[Entry]:
    """The stores under ``path`` (a profile, an app-data folder or one store), decoded:
    one entry per key (its newest version), or with ``history`` every version.
    ValueError, at once, for a path that is not a folder."""
    root = os.fspath(path)
    if not os.path.isdir(root):
        raise ValueError(f"Not a directory: {root}")
    return _read(root, history)


def _read(root: str, history: bool) -> Iterator[Entry]:
    for kind, store in find_stores(root):
        entries = read_store(store, kind)
        yield from (_all_versions(entries) if history else latest(entries))
