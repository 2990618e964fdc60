"""Finding Chromium stores in a folder, and telling their kind.

A profile or Electron app-data folder holds ``Local Storage/leveldb``, ``Session
Storage``, ``IndexedDB/<origin id>.indexeddb.leveldb`` and, for partitioned and
non-default buckets, ``WebStorage/<bucket id>/IndexedDB/indexeddb.leveldb``. The
stores are ``find``'s (the same walk, the same kinds; see
``tarnwick._store_vocabulary``), kept when their kind is one of these. A LevelDB
folder given directly whose name does not tell is recognised by its keys.

Newer Chromium can keep IndexedDB in SQLite instead (``IndexedDB/<origin id>/<one
file per database>``). Such databases are not decoded, only recognised, so that
they are reported rather than passed over: ``find_sqlite_indexeddb`` finds the
files below an ``IndexedDB`` folder that begin with SQLite's header. Only their
first bytes are read, through a descriptor opened read-only without following a
link; no SQLite library ever opens them.
"""

from __future__ import annotations

import os
import stat
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


# The first bytes of every SQLite database file.
SQLITE_HEADER = b"SQLite format 3\x00"
INDEXED_DB_FOLDER = "IndexedDB"
# Folders of the LevelDB backend: a store and its blob files, never SQLite.
LEVELDB_BACKEND_SUFFIXES = (".indexeddb.leveldb", ".indexeddb.blob")


def _is_sqlite(name: str, folder_fd: int) -> bool:
    """Whether the regular file ``name`` of the folder begins with SQLite's header."""
    try:
        fd = vocabulary.open_evidence_file(name, dir_fd=folder_fd)
    except OSError:
        return False
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return False
        return os.read(fd, len(SQLITE_HEADER)) == SQLITE_HEADER
    except OSError:
        return False
    finally:
        os.close(fd)


def find_sqlite_indexeddb(root: str, *, on_error: Callable[[str, OSError], None] | None = None) -> list[str]:
    """The IndexedDB databases of the SQLite backend under ``root`` (or ``root``
    itself, a file), in path order: files in or below a folder named ``IndexedDB``
    that begin with SQLite's header. Below ``root`` no link is followed; folders
    that cannot be listed are told to ``on_error(path, error)``."""
    real = os.path.realpath(root)  # as find's walk: the root's own path may pass through links
    if not os.path.isdir(real):
        parent, name = os.path.split(real)
        try:
            folder = vocabulary.open_directory(parent)
        except OSError:
            return []
        try:
            return [root] if _is_sqlite(name, folder) else []
        finally:
            os.close(folder)
    found = []
    # Depth first without recursion: (parts below root, whether an IndexedDB folder is above).
    stack: list[tuple[tuple[str, ...], bool]] = [((), INDEXED_DB_FOLDER in real.split(os.sep))]
    while stack:
        parts, in_indexed_db = stack.pop()
        path = os.path.join(real, *parts)
        try:
            folder = vocabulary.open_directory(path)
        except OSError as error:
            if on_error is not None:
                on_error(os.path.join(root, *parts), error)
            continue
        try:
            with os.scandir(folder) as entries:
                for entry in entries:
                    if entry.is_dir(follow_symlinks=False):
                        if not entry.name.endswith(LEVELDB_BACKEND_SUFFIXES):
                            stack.append(((*parts, entry.name), in_indexed_db or entry.name == INDEXED_DB_FOLDER))
                    elif in_indexed_db and entry.is_file(follow_symlinks=False) and _is_sqlite(entry.name, folder):
                        found.append(os.path.join(root, *parts, entry.name))
        except OSError as error:
            if on_error is not None:
                on_error(os.path.join(root, *parts), error)
        finally:
            os.close(folder)
    return sorted(found)
