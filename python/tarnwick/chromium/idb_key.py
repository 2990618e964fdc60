"""IndexedDB's key coding: the compact «database, object store, index» id prefix, the
self-delimiting encoded IDB keys, strings and key paths.

Every IndexedDB LevelDB key starts with a prefix whose first byte holds the widths of
the three ids (bits 7-5: database id bytes - 1, bits 4-2: object store id bytes - 1,
bits 1-0: index id bytes - 1), followed by the ids as little-endian integers of those
widths. Strings are UTF-16BE; lengths are LEB128 varints counting code units.
"""

from __future__ import annotations

from typing import Any

from ._binary import Cursor, DecodeError, utf16
from ._tagged import js_iso, number

# Encoded IDB key types.
KEY_NULL, KEY_STRING, KEY_DATE, KEY_NUMBER, KEY_ARRAY, KEY_MIN, KEY_BINARY = range(7)
# Chromium refuses deeper array keys (IndexedDBKey::kMaximumDepth).
MAX_KEY_DEPTH = 2000
# Key path encodings: the two leading zero bytes mark the typed forms.
KEY_PATH_MARK = b"\x00\x00"
KEY_PATH_NULL, KEY_PATH_STRING, KEY_PATH_ARRAY = 0, 1, 2
# One shared object each (never changed): a key of a million one-byte items holds a
# million references, not a million dicts.
NONE_KEY = {"$key": "none"}
MIN_KEY = {"$key": "min"}


def decode_prefix(cur: Cursor) -> tuple[int, int, int]:
    widths = cur.byte()
    db_len = (widths >> 5) + 1
    os_len = ((widths >> 2) & 7) + 1
    idx_len = (widths & 3) + 1
    db = int.from_bytes(cur.take(db_len), "little")
    os_ = int.from_bytes(cur.take(os_len), "little")
    idx = int.from_bytes(cur.take(idx_len), "little")
    return db, os_, idx


def string_with_length(cur: Cursor) -> str:
    """A VarInt count of UTF-16 code units, then the units (big-endian)."""
    units = cur.varint()
    if units > cur.remaining():  # more than the bytes left, even before doubling
        raise DecodeError(f"{units} UTF-16 code units wanted at byte {cur.pos}, {cur.remaining()} bytes left")
    return utf16(cur.take(2 * units), "big")


def _string_key(cur: Cursor) -> str:
    units = cur.varint()
    if units > cur.remaining() // 2:
        raise DecodeError(f"string key of {units} code units in {cur.remaining()} bytes")
    return utf16(cur.take(2 * units), "big")


def _scalar_key(cur: Cursor) -> Any:
    kind = cur.byte()
    if kind == KEY_STRING:
        return _string_key(cur)
    if kind == KEY_NUMBER:
        return number(cur.double_le())
    if kind == KEY_DATE:
        return {"$date": js_iso(cur.double_le())}
    if kind == KEY_BINARY:
        return {"$binary": cur.take(cur.varint()).hex()}
    if kind == KEY_NULL:
        return NONE_KEY
    if kind == KEY_MIN:
        return MIN_KEY
    raise DecodeError(f"unknown IDB key type 0x{kind:02x}")


def decode_whole_key(data: bytes) -> Any:
    cur = Cursor(data)
    key = decode_key(cur)
    if not cur.at_end():
        raise DecodeError(f"{cur.remaining()} bytes after the key")
    return key


def decode_key(cur: Cursor) -> Any:
    """One encoded IDB key as tagged JSON (numbers, strings, dates as {"$date"}, arrays
    as lists, binary as {"$binary": hex})."""
    # Array keys may nest to 2000 levels, deeper than Python's recursion allows:
    # decode them with an explicit stack.
    stack: list[tuple[list[Any], int]] = []
    while True:
        kind = cur.peek()
        if kind == KEY_ARRAY:
            cur.byte()
            count = cur.varint()
            if count > cur.remaining():
                raise DecodeError(f"array key of {count} items in {cur.remaining()} bytes")
            if len(stack) >= MAX_KEY_DEPTH:
                raise DecodeError(f"array key nested deeper than {MAX_KEY_DEPTH}")
            stack.append(([], count))
            value: Any = None
            if count:
                continue
            value = stack.pop()[0]
        else:
            value = _scalar_key(cur)
        while stack:
            items, count = stack[-1]
            items.append(value)
            if len(items) < count:
                break
            value = stack.pop()[0]
        else:
            return value


def decode_key_path(data: bytes) -> Any:
    """A key path: None, a string, or a list of strings."""
    if len(data) < 3 or data[:2] != KEY_PATH_MARK:
        return utf16(data, "big")  # the legacy form: the whole value is the path
    cur = Cursor(data, 3)
    kind = data[2]
    if kind == KEY_PATH_NULL:
        return None
    if kind == KEY_PATH_STRING:
        return string_with_length(cur)
    if kind == KEY_PATH_ARRAY:
        count = cur.varint()
        if count > cur.remaining():
            raise DecodeError(f"key path of {count} parts in {cur.remaining()} bytes")
        return [string_with_length(cur) for _ in range(count)]
    raise DecodeError(f"unknown key path type {kind}")
