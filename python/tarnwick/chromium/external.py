"""IndexedDB external objects: the Blobs, Files and file-system handles of a record,
listed in its «db, store, 3, key» entry, and the files that hold their bytes.

A record value that is itself too large is kept in such a Blob (the last entry of the
list) and the record only says ``FF 11 01`` + size + index.
"""

from __future__ import annotations

import errno
import os
import stat
from dataclasses import dataclass
from typing import Any

from .._store_vocabulary import open_directory, open_evidence_file
from ._binary import Cursor, DecodeError
from ._tagged import windows_us_iso
from .idb_key import string_with_length

BLOB, FILE, FILE_SYSTEM_ACCESS_HANDLE = 0, 1, 2
TYPE_NAMES = {BLOB: "blob", FILE: "file", FILE_SYSTEM_ACCESS_HANDLE: "file_system_access_handle"}
# Schema versions up to 3 wrote entries without a type byte, size or date.
LAST_V3_SCHEMA = 3
# Blob file contents up to this size are reported inline (hex) with the value.
INLINE_LIMIT = 1 << 20
# A record value kept in a blob file is read up to this size; the record's budget
# then bounds what it decodes to.
VALUE_FILE_LIMIT = 64 << 20
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
    return os.path.join(blob_dir, *_blob_parts(database_id, blob_number))


def _blob_parts(database_id: int, blob_number: int) -> tuple[str, str, str]:
    return f"{database_id:x}", f"{(blob_number >> 8) & 0xFF:02x}", f"{blob_number:x}"


# What a blob file was found to be, when it was not read.
READ, MISSING, LINK, NOT_REGULAR, OVERSIZE, UNREADABLE = (
    "read", "missing", "symbolic_link", "not_regular", "oversize", "unreadable")
_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


@dataclass(frozen=True)
class BlobFile:
    """A blob file as found: its bytes when it is a regular file within the cap,
    otherwise what it is and why it was not read (``detail``: a link's target, the
    kind of file, the size, the system's error)."""
    path: str
    status: str
    data: bytes | None = None
    detail: str = ""

    def describe(self) -> str:
        return {READ: "read", MISSING: "missing", LINK: f"a symbolic link to {self.detail!r}, not followed",
                NOT_REGULAR: f"{self.detail}, not read", OVERSIZE: f"{self.detail}, not read",
                UNREADABLE: f"unreadable ({self.detail})"}[self.status]


def _what_it_is(mode: int) -> str:
    return next((name for test, name in _KINDS if test(mode)), "not a regular file")


def read_blob(blob_dir: str, database_id: int, blob_number: int, limit: int) -> BlobFile:
    """The blob file of ``blob_number``, read as evidence: every folder from the
    store's blob folder down and the file itself are opened without following links
    (so nothing outside that folder is ever read) and without blocking; only a
    regular file of at most ``limit`` bytes is read. Links, FIFOs, devices and larger
    files are reported as what they are."""
    path = blob_path(blob_dir, database_id, blob_number)
    *folders, name = _blob_parts(database_id, blob_number)
    fds: list[int] = []
    try:
        fds.append(open_directory(blob_dir))
        for folder in folders:
            fds.append(open_directory(folder, dir_fd=fds[-1]))
        st = os.lstat(name, dir_fd=fds[-1])
        if stat.S_ISLNK(st.st_mode):
            return BlobFile(path, LINK, detail=os.readlink(name, dir_fd=fds[-1]))
        if not stat.S_ISREG(st.st_mode):
            return BlobFile(path, NOT_REGULAR, detail=_what_it_is(st.st_mode))
        if st.st_size > limit:
            return BlobFile(path, OVERSIZE, detail=f"{st.st_size} bytes, over the {limit}-byte cap")
        fds.append(open_evidence_file(name, dir_fd=fds[-1]))
        st = os.fstat(fds[-1])  # what was opened, should the name have changed meanwhile
        if not stat.S_ISREG(st.st_mode):
            return BlobFile(path, NOT_REGULAR, detail=_what_it_is(st.st_mode))
        data = _read_at_most(fds[-1], limit + 1)
        if len(data) > limit:
            return BlobFile(path, OVERSIZE, detail=f"over the {limit}-byte cap")
        return BlobFile(path, READ, data)
    except FileNotFoundError:
        return BlobFile(path, MISSING)
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR):
            return _folder_not_followed(blob_dir, folders, path, error)
        return BlobFile(path, UNREADABLE, detail=error.strerror or str(error))
    finally:
        for fd in fds:
            os.close(fd)


def _folder_not_followed(blob_dir: str, folders: list[str], path: str, error: OSError) -> BlobFile:
    """A folder on the way to the file that is a link or no folder at all."""
    at = blob_dir
    for part in ["", *folders]:
        at = os.path.join(at, part) if part else at
        try:
            st = os.lstat(at)
        except OSError:
            break
        if stat.S_ISLNK(st.st_mode):
            try:
                target = os.readlink(at)
            except OSError:
                target = "?"
            return BlobFile(path, LINK, detail=f"{target} (the folder {at})")
        if not stat.S_ISDIR(st.st_mode):
            return BlobFile(path, NOT_REGULAR, detail=f"{_what_it_is(st.st_mode)} where the folder {at} should be")
    return BlobFile(path, UNREADABLE, detail=error.strerror or str(error))


def _read_at_most(fd: int, n: int) -> bytes:
    chunks = []
    left = n
    while left > 0:
        chunk = os.read(fd, min(left, 1 << 20))
        if not chunk:
            break
        chunks.append(chunk)
        left -= len(chunk)
    return b"".join(chunks)
