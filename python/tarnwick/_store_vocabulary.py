"""What the package calls a data file, a store, a kind of store and an origin,
and how it opens evidence: each rule written once, here, for every command.

Data files. The reader takes a file as a table or a log by its name alone:
a stem of 6 to 16 ASCII digits, a dot, and ``ldb``, ``sst`` or ``log`` in any
case. The rule is the native reader's own, asked through ``tarnwick._scan``
(``data_file_name``), so that what a listing calls a data file is exactly
what the reader decodes; ``000123 (1).ldb`` left by a copy is not one.

Stores. A folder is a store when it holds a data file, or the engine's
``CURRENT`` pointer and a ``MANIFEST-`` file.

Kinds. Chromium (and every Electron app) keeps its stores at fixed places in
a profile, and the place names the kind:

* ``localstorage``: ``<profile>/Local Storage/leveldb``;
* ``sessionstorage``: ``<profile>/Session Storage``;
* ``indexeddb``: ``<profile>/IndexedDB/<origin id>.indexeddb.leveldb``, and the
  bucket form ``<partition>/WebStorage/<bucket id>/IndexedDB/indexeddb.leveldb``;
* ``leveldb``: anything else.

The same words name the kinds in ``find``'s listing, the exported dataset's
``store_kind`` column and ``chromium``'s rows and ``--kind`` option.

Origins. An IndexedDB folder's name starts with the origin's identifier:
scheme, ``_``, host, ``_``, port (``0`` for the scheme's default port; the
colons of an IPv6 host written as ``_``), such as ``https_example.com_0``.

Opening evidence. ``O_NOATIME`` keeps the kernel from updating an access time
when a file or folder is read; it is allowed only to the owner or a privileged
process (EPERM otherwise), and then the open is retried without it, the best
the system allows. ``O_NOFOLLOW`` makes the open fail on a symbolic link
instead of following it anywhere, out of the tree included.
"""

from __future__ import annotations

import errno
import os
from collections.abc import Iterable
from dataclasses import dataclass

from ._scan import data_file_name as _native_data_file_name

__all__ = [
    "CURRENT_FILE", "GENERIC", "INDEXEDDB", "KINDS", "LOCAL_STORAGE", "MANIFEST_PREFIX", "SESSION_STORAGE",
    "StoreKind", "data_file", "file_number", "is_data_file_name", "is_store_listing", "list_names",
    "open_directory", "open_evidence_file", "open_noatime", "origin_from_identifier", "reader_order", "recognise",
]

# --- Data files and stores -------------------------------------------------------------

# Files that make a folder a store even before it holds any data file: the
# pointer to the current manifest, and the manifests themselves.
CURRENT_FILE = "CURRENT"
MANIFEST_PREFIX = "MANIFEST-"


def data_file(name: str | bytes) -> tuple[str, int] | None:
    """``("table" | "log", number)`` for a name the reader takes as a data
    file, None for any other name. The number is the stem read in base 16,
    which keeps the order of the engine's zero-padded decimal names."""
    if "\0" in (name if isinstance(name, str) else name.decode("latin-1")):
        return None  # no file system holds such a name; the native rule is never asked
    return _native_data_file_name(name)


def is_data_file_name(name: str | bytes) -> bool:
    return data_file(name) is not None


def file_number(name: str | bytes) -> int:
    """The number of a data file's name, 0 for any other name."""
    found = data_file(name)
    return found[1] if found is not None else 0


def reader_order(names: Iterable[str]) -> list[str]:
    """Data file names in the reader's order: by number, equal numbers
    (``000005.ldb`` and ``000005.log``) by name."""
    return sorted(names, key=lambda name: (file_number(name), name))


def is_store_listing(names: Iterable[str]) -> bool:
    """Whether a folder holding these names is a store."""
    names = list(names)
    if any(is_data_file_name(name) for name in names):
        return True
    return CURRENT_FILE in names and any(name.startswith(MANIFEST_PREFIX) for name in names)


# --- Kinds and origins -----------------------------------------------------------------

LOCAL_STORAGE = "localstorage"
SESSION_STORAGE = "sessionstorage"
INDEXEDDB = "indexeddb"
GENERIC = "leveldb"
KINDS = (LOCAL_STORAGE, SESSION_STORAGE, INDEXEDDB, GENERIC)
# The kinds a Chromium decoder reads.
CHROMIUM_KINDS = (LOCAL_STORAGE, SESSION_STORAGE, INDEXEDDB)

_LOCAL_STORAGE_PARENT = "Local Storage"
_LOCAL_STORAGE_NAME = "leveldb"
_SESSION_STORAGE_NAME = "Session Storage"
_INDEXEDDB_PARENT = "IndexedDB"
_INDEXEDDB_SUFFIX = ".indexeddb.leveldb"
_BUCKET_INDEXEDDB_NAME = "indexeddb.leveldb"

# The port written for a scheme's default port.
_DEFAULT_PORT = "0"
# Identifiers kept in IndexedDB's own records end with the default bucket's mark.
_BUCKET_MARK = "@1"


@dataclass(frozen=True)
class StoreKind:
    kind: str
    origin: str | None = None


def origin_from_identifier(identifier: str) -> str | None:
    """The origin (``https://example.com``, ``http://localhost:8080``) that a
    Chromium origin identifier names, or None when it is not one."""
    identifier = identifier.removesuffix(_BUCKET_MARK)
    scheme, sep, rest = identifier.partition("_")
    host, sep2, port = rest.rpartition("_")
    if not sep or not sep2 or not scheme or not (port.isascii() and port.isdigit()):
        return None
    if scheme == "file":
        return "file://"
    if host.startswith("[") and host.endswith("]"):
        host = host.replace("_", ":")  # IPv6: its colons were written as '_'
    if not host:
        return None
    return f"{scheme}://{host}" if port == _DEFAULT_PORT else f"{scheme}://{host}:{port}"


def recognise(parts: tuple[str, ...]) -> StoreKind:
    """The kind of the store whose folder has these path components (the last
    is the store's own name), with the origin when the name holds it."""
    if not parts:
        return StoreKind(GENERIC)
    name = parts[-1]
    parent = parts[-2] if len(parts) >= 2 else None
    if name == _LOCAL_STORAGE_NAME and parent == _LOCAL_STORAGE_PARENT:
        return StoreKind(LOCAL_STORAGE)
    if name == _SESSION_STORAGE_NAME:
        return StoreKind(SESSION_STORAGE)
    if name == _BUCKET_INDEXEDDB_NAME and parent == _INDEXEDDB_PARENT:
        return StoreKind(INDEXEDDB)
    if name.endswith(_INDEXEDDB_SUFFIX) and len(name) > len(_INDEXEDDB_SUFFIX):
        return StoreKind(INDEXEDDB, origin_from_identifier(name[: -len(_INDEXEDDB_SUFFIX)]))
    return StoreKind(GENERIC)


def path_parts(path: str) -> tuple[str, ...]:
    """The components of ``path`` made absolute, for ``recognise``."""
    return tuple(part for part in os.path.abspath(path).split(os.sep) if part)


# --- Opening evidence ------------------------------------------------------------------

_NOATIME = getattr(os, "O_NOATIME", 0)
_DIRECTORY_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC
# O_NONBLOCK: a FIFO swapped in for a file must not block the open.
_FILE_FLAGS = os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC | os.O_NONBLOCK


def open_noatime(path: str | bytes, flags: int, *, dir_fd: int | None = None) -> int:
    """``os.open`` with ``O_NOATIME`` where the system grants it."""
    if _NOATIME:
        try:
            return os.open(path, flags | _NOATIME, dir_fd=dir_fd)
        except PermissionError as error:
            if error.errno != errno.EPERM:
                raise
    return os.open(path, flags, dir_fd=dir_fd)


def open_directory(path: str | bytes, *, dir_fd: int | None = None) -> int:
    """A descriptor of the folder at ``path``, which is itself no link."""
    return open_noatime(path, _DIRECTORY_FLAGS, dir_fd=dir_fd)


def open_evidence_file(path: str | bytes, *, dir_fd: int | None = None) -> int:
    """A blocking read-only descriptor of the file at ``path``, which is itself
    no link; a FIFO put in a file's place does not hang the open."""
    fd = open_noatime(path, _FILE_FLAGS, dir_fd=dir_fd)
    os.set_blocking(fd, True)
    return fd


def list_names(path: str) -> list[str]:
    """The names in folder ``path``, listed without changing its access time."""
    fd = open_directory(path)
    try:
        with os.scandir(fd) as entries:
            return [entry.name for entry in entries]
    finally:
        os.close(fd)
