"""What kind of store a directory is, from its path alone.

Chromium (and every Electron app) keeps its LevelDB stores at fixed places in
a profile:

* Local Storage: ``<profile>/Local Storage/leveldb``;
* Session Storage: ``<profile>/Session Storage``;
* IndexedDB, one store per origin: ``<profile>/IndexedDB/<origin id>.indexeddb.leveldb``,
  where the origin id is scheme, ``_``, host, ``_``, port (``0`` for the
  scheme's default port; the colons of an IPv6 host become ``_``), such as
  ``https_example.com_0`` or ``http_localhost_8080``;
* IndexedDB of a storage bucket (third-party and non-default buckets):
  ``<partition>/WebStorage/<bucket id>/IndexedDB/indexeddb.leveldb``; the
  origin is not in the path.

Anything else is a generic LevelDB store. Recognising the records inside is
the Chromium decoders' job; this only names the place.
"""

from __future__ import annotations

from dataclasses import dataclass

GENERIC = "leveldb"
LOCAL_STORAGE = "chromium_local_storage"
SESSION_STORAGE = "chromium_session_storage"
INDEXEDDB = "chromium_indexeddb"

KINDS = (LOCAL_STORAGE, SESSION_STORAGE, INDEXEDDB, GENERIC)

_LOCAL_STORAGE_PARENT = "Local Storage"
_LOCAL_STORAGE_NAME = "leveldb"
_SESSION_STORAGE_NAME = "Session Storage"
_INDEXEDDB_PARENT = "IndexedDB"
_INDEXEDDB_SUFFIX = ".indexeddb.leveldb"
_BUCKET_INDEXEDDB_NAME = "indexeddb.leveldb"

# The port written for a scheme's default port.
_DEFAULT_PORT = "0"


@dataclass(frozen=True)
class StoreKind:
    kind: str
    origin: str | None = None


def origin_from_identifier(identifier: str) -> str | None:
    """The origin (``https://example.com``, ``http://localhost:8080``) that a
    Chromium database identifier names, or None when it is not one."""
    scheme, sep, rest = identifier.partition("_")
    host, sep2, port = rest.rpartition("_")
    if not sep or not sep2 or not scheme or not port.isdigit():
        return None
    if host.startswith("[") and host.endswith("]"):
        host = host.replace("_", ":")  # IPv6: its colons were written as '_'
    if scheme == "file":
        return "file://"
    if not host:
        return None
    return f"{scheme}://{host}" if port == _DEFAULT_PORT else f"{scheme}://{host}:{port}"


def recognise(parts: tuple[str, ...]) -> StoreKind:
    """The kind of the store whose directory has these path components (the
    last is the store's own name)."""
    if not parts:
        return StoreKind(GENERIC)
    name = parts[-1]
    parent = parts[-2] if len(parts) >= 2 else None
    if name == _LOCAL_STORAGE_NAME and parent == _LOCAL_STORAGE_PARENT:
        return StoreKind(LOCAL_STORAGE)
    if name == _SESSION_STORAGE_NAME:
        return StoreKind(SESSION_STORAGE)
    if parent == _INDEXEDDB_PARENT:
        if name == _BUCKET_INDEXEDDB_NAME:
            return StoreKind(INDEXEDDB)
        if name.endswith(_INDEXEDDB_SUFFIX):
            return StoreKind(INDEXEDDB, origin_from_identifier(name[: -len(_INDEXEDDB_SUFFIX)]))
    return StoreKind(GENERIC)
