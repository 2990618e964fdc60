"""IndexedDB external objects: the Blobs, Files and file-system handles of a record,
listed in its «db, store, 3, key» entry, and the files that hold their bytes.

A record value that is itself too large is kept in such a Blob (the last entry of the
list) and the record only says ``FF 11 01`` + size + index.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

from .._store_vocabulary import open_evidence_file
from ._binary import Cursor, DecodeError
from ._tagged import windows_us_iso
from .idb_key import string_with_length

BLOB, FILE, FILE_SYSTEM_ACCESS_HANDLE = 0, 1, 2
TYPE_NAMES = {BLOB: "blob", FILE: "file", FILE_SYSTEM_ACCESS_HANDLE: "file_system_access_handle"}
# Schema versions up to 3 wrote entries without a type byte, size or date.
LAST_V3_SCHEMA = 3
# Blob file contents up to this size are reported inline (hex) with the value.
INLINE_LIMIT = 1 << 20
# The number of a blob file inside the blob folder: <db hex>/<byte 1 of number>/<number hex>.
WRAPPER_MIME = "application/vnd.blink-idb-value-wrapper"


@dataclass
class ExternalObject:
    kind: int
    blob_number: int | None = None
    mime: str | None = None
    size: int | None = None
    name: str | None = None
    last_modified_us: int | None = None
    token: bytes | None = None

    def describe(self) -> dict[str, Any]:
        out: dict[str, Any] = {"kind": TYPE_NAMES.get(self.kind, str(self.kind))}
        if self.blob_number is not None:
            out["blob_number"] = self.blob_number
        if self.mime is not None:
            out["type"] = self.mime
        if self.size is not None:
            out["size"] = self.size
        if self.name is not None:
            out["name"] = self.name
        if self.last_modified_us is not None:
            out["last_modified"] = windows_us_iso(self.last_modified_us)
        if self.token is not None:
            out["token"] = self.token.hex()
        return out


def decode_list(data: bytes, schema_version: int | None) -> list[ExternalObject]:
    if schema_version is not None and schema_version <= LAST_V3_SCHEMA:
        return _decode_v3(data)
    cur = Cursor(data)
    out = []
    while not cur.at_end():
        kind = cur.byte()
        if kind in (BLOB, FILE):
            o = ExternalObject(kind, cur.varint(), string_with_length(cur), cur.varint())
            if kind == FILE:
                o.name = string_with_length(cur)
                o.last_modified_us = cur.varint()
        elif kind == FILE_SYSTEM_ACCESS_HANDLE:
            o = ExternalObject(kind, token=cur.take(cur.varint()))
        else:
            raise DecodeError(f"unknown external object type {kind}")
        out.append(o)
    return out


def _decode_v3(data: bytes) -> list[ExternalObject]:
    cur = Cursor(data)
    out = []
    while not cur.at_end():
        is_file = cur.byte() != 0
        o = ExternalObject(FILE if is_file else BLOB, cur.varint(), string_with_length(cur))
        if is_file:
            o.name = string_with_length(cur)
        else:
            o.size = cur.varint()
        out.append(o)
    return out


def blob_path(blob_dir: str, database_id: int, blob_number: int) -> str:
    return os.path.join(blob_dir, f"{database_id:x}", f"{(blob_number >> 8) & 0xFF:02x}",
                        f"{blob_number:x}")


def read_blob(blob_dir: str | None, database_id: int, blob_number: int | None,
              limit: int | None = None) -> tuple[str | None, bytes | None, bool]:
    """(path, bytes, found) of a blob file; bytes None if it is missing or over ``limit``."""
    if blob_dir is None or blob_number is None:
        return None, None, False
    path = blob_path(blob_dir, database_id, blob_number)
    try:
        fd = open_evidence_file(path)
        with os.fdopen(fd, "rb") as f:
            if limit is not None and os.fstat(f.fileno()).st_size > limit:
                return path, None, True
            return path, f.read(), True
    except OSError:
        return path, None, False
