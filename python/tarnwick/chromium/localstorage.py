"""Local Storage (``<profile>/Local Storage/leveldb``).

Keys: ``VERSION`` (decimal text), ``META:`` and ``METAACCESS:`` + storage key
(protobufs: last write time and area size; last access time), and the data records
``_`` + storage key + ``00`` + script key, whose value is the script value. Script keys
and values start with a format byte: ``00`` UTF-16LE follows, ``01`` Latin-1 follows.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

from . import protobuf
from ._binary import DecodeError, utf16
from ._records import RawRecord
from ._tagged import windows_us_iso
from .entry import LOCAL_STORAGE, Entry, failure_text
from .storage_key import storage_key_text

VERSION_KEY = b"VERSION"
META_PREFIX = b"META:"
META_ACCESS_PREFIX = b"METAACCESS:"
DATA_PREFIX = b"_"
STORAGE_KEY_END = b"\x00"
FORMAT_UTF16 = 0
FORMAT_LATIN1 = 1
# LocalStorageAreaWriteMetaData: 1 last_modified (µs since 1601), 2 size_bytes.
# LocalStorageAreaAccessMetaData: 1 last_accessed.
META_TIME_FIELD, META_SIZE_FIELD = 1, 2


def decode_script_string(data: bytes) -> str:
    """A script key or value: its format byte, then UTF-16LE or Latin-1."""
    if not data:
        return ""  # what Chromium's reader makes of an empty value
    if data[0] == FORMAT_UTF16:
        return utf16(data[1:], "little")
    if data[0] == FORMAT_LATIN1:
        return data[1:].decode("latin-1")
    raise DecodeError(f"unknown string format byte 0x{data[0]:02x}")


def _meta_value(data: bytes, access: bool) -> dict[str, object]:
    f = protobuf.fields(data)
    t = f.get(META_TIME_FIELD)
    if not isinstance(t, int):
        raise DecodeError("metadata without its time field")
    us = protobuf.int64(t)
    if access:
        return {"last_accessed": windows_us_iso(us), "last_accessed_us": us}
    size = f.get(META_SIZE_FIELD)
    return {"last_modified": windows_us_iso(us), "last_modified_us": us,
            "size_bytes": size if isinstance(size, int) else None}


def decode_record(r: RawRecord, store_path: str) -> Entry:
    k = r.user_key
    has_value = r.state != "deleted"
    e = Entry(LOCAL_STORAGE, store_path, "unknown", None, None, None, r.state, r.seq, r.file,
              r.offset, k, r.value)
    try:
        if k == VERSION_KEY:
            e.record_type, e.key = "version", "VERSION"
            if has_value:
                e.value = r.value.decode("ascii")
        elif k.startswith(META_ACCESS_PREFIX) or k.startswith(META_PREFIX):
            access = k.startswith(META_ACCESS_PREFIX)
            prefix = META_ACCESS_PREFIX if access else META_PREFIX
            e.record_type = "meta_access" if access else "meta"
            e.set_storage_key(storage_key_text(k[len(prefix):]))
            e.key = e.storage_key
            if has_value:
                e.value = _meta_value(r.value, access)
        elif k.startswith(DATA_PREFIX):
            e.record_type = "data"
            sk, sep, script_key = k[1:].partition(STORAGE_KEY_END)
            if not sep:
                raise DecodeError("data key without the 00 after its storage key")
            e.set_storage_key(storage_key_text(sk))
            e.decode_key_and_value(
                lambda: decode_script_string(script_key),
                Exception,
                (lambda: decode_script_string(r.value)) if has_value else None,
                Exception,
            )
        else:
            raise DecodeError("key of no known Local Storage kind")
    except Exception as error:  # noqa: BLE001 - one record's failure stays with it
        e.error = failure_text(error)
    return e


def decode(records: Iterable[RawRecord], store_path: str) -> Iterator[Entry]:
    for r in records:
        yield decode_record(r, store_path)
