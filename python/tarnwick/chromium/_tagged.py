"""The tagged-JSON form in which decoded JavaScript values are reported.

JSON has no undefined, NaN, BigInt, Date, Map, binary data or shared references, so
values that JSON cannot hold become one-key objects whose key starts with ``$``:

  {"$undefined": true}            {"$number": "NaN" | "Infinity" | "-Infinity" | "-0"}
  {"$bigint": "123"}  (decimal; "0x..." / "-0x..." hex beyond BIGINT_DECIMAL_BITS)
  {"$date": "2024-01-02T03:04:05.006Z"}  (null: invalid date)
  {"$regexp": "a+b", "flags": "gi"}
  {"$map": [[key, value], ...]}   {"$set": [value, ...]}
  {"$arraybuffer": "00ff"}        {"$typedarray": "Uint8Array", "hex": "0102"}
  {"$typedarray": "Uint16Array", "buffer": {"$ref": "/0"}, "offset": 2, "length": 2}
                                  a further view over a buffer already reported: the
                                  reference points at the buffer or at the first view
                                  over it (whose "buffer" holds the whole buffer when
                                  that view showed only part of it)
  {"$number_object": 5}  {"$string_object": "s"}  {"$boolean_object": false}  {"$bigint_object": "1"}
  {"$error": "TypeError", "message": "...", "stack": "...", "cause": ...}
  {"$hole": true}                 a slot of a dense array that holds nothing
  {"$array": [...], "properties": {...}}     an array with named properties
  {"$sparse_array": length, "items": {"index": value}, "properties": {...}}
                                  an array with holes: its length and the elements it
                                  holds, never a list of its holes
  {"$ref": "/a/0"}                the object already reported at that JSON Pointer ("" = the root)
  {"$blob": {...}}  {"$file": {...}}  {"$filelist": [...]}
  {"$host": "DOMPoint" | "DOMRect" | "DOMMatrix" | "DOMQuad" | ..., "values": [...]}
  {"$host": "DOMException", "name": ..., "message": ...}
  {"$host": "CryptoKey", "key_kind": ..., "algorithm": ..., "usages": [...], "hex": key data}

Object keys that themselves start with ``$`` get one more ``$`` so they cannot be
mistaken for a tag. IndexedDB keys use the same numbers and dates, lists for array keys
and {"$binary": "hex"} for binary keys.
"""

from __future__ import annotations

import decimal
import math

# BigInts up to this many bits are written in decimal; converting to decimal takes
# time growing with the square of the length, so longer ones are written in hex
# (exact either way).
BIGINT_DECIMAL_BITS = 34_000  # about 10,000 digits
# Integers this short convert to text with str() under any digit limit.
_SHORT_INT_BITS = 4_000
# Integers a double holds exactly.
_EXACT_INT = 2**53
# JavaScript time values lie within ±8.64e15 ms of the Unix epoch.
_MAX_TIME_MS = 8.64e15
_MS_PER_DAY = 86_400_000
# Microseconds from 1601-01-01 (the Windows and Chromium base::Time epoch) to 1970-01-01.
WINDOWS_TO_UNIX_US = 11_644_473_600_000_000

# Shared, never changed: one object for every hole and every undefined.
HOLE = {"$hole": True}
UNDEFINED = {"$undefined": True}


def number(x: float) -> object:
    """A double as JSON: integral values as integers, the rest tagged if JSON lacks them."""
    if math.isnan(x):
        return {"$number": "NaN"}
    if math.isinf(x):
        return {"$number": "Infinity" if x > 0 else "-Infinity"}
    if x == 0 and math.copysign(1.0, x) < 0:
        return {"$number": "-0"}
    if x.is_integer() and abs(x) <= _EXACT_INT:
        return int(x)
    return x


def bigint_text(n: int) -> str:
    """An integer of any size as exact text: decimal, or hex beyond
    ``BIGINT_DECIMAL_BITS``. Python's own int-to-text conversion refuses long
    integers (its digit limit), so long ones go through ``decimal``, which has none."""
    if n.bit_length() > BIGINT_DECIMAL_BITS:
        return ("-0x" if n < 0 else "0x") + format(abs(n), "x")
    return int_text(n)


def int_text(n: int) -> str:
    """An integer in decimal, exactly, whatever Python's int-to-text digit limit."""
    if n.bit_length() <= _SHORT_INT_BITS:
        return str(n)
    return format(decimal.Decimal(n), "f")


def escape_key(key: str) -> str:
    return "$" + key if key.startswith("$") else key


def _civil(days: int) -> tuple[int, int, int]:
    """Proleptic Gregorian year, month, day of a day count from 1970-01-01."""
    z = days + 719_468
    era = z // 146_097
    doe = z - era * 146_097
    yoe = (doe - doe // 1460 + doe // 36_524 - doe // 146_096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    day = doy - (153 * mp + 2) // 5 + 1
    month = mp + 3 if mp < 10 else mp - 9
    return yoe + era * 400 + (month <= 2), month, day


def js_iso(ms: float) -> str | None:
    """A JavaScript time value as Date.prototype.toISOString writes it; None if invalid."""
    if not math.isfinite(ms) or abs(ms) > _MAX_TIME_MS:
        return None
    t = int(ms)  # time values are integral; truncate like TimeClip
    days, rem = divmod(t, _MS_PER_DAY)
    year, month, day = _civil(days)
    hh, rem = divmod(rem, 3_600_000)
    mm, rem = divmod(rem, 60_000)
    ss, mss = divmod(rem, 1000)
    y = f"{year:04d}" if 0 <= year <= 9999 else f"{'+' if year > 0 else '-'}{abs(year):06d}"
    return f"{y}-{month:02d}-{day:02d}T{hh:02d}:{mm:02d}:{ss:02d}.{mss:03d}Z"


def windows_us_iso(us: int) -> str | None:
    """Microseconds since 1601-01-01 UTC (Chromium's base::Time) as UTC ISO 8601."""
    unix_us = us - WINDOWS_TO_UNIX_US
    if abs(unix_us) > _MAX_TIME_MS * 1000:
        return None
    ms, sub = divmod(unix_us, 1000)
    text = js_iso(ms)
    if text is None:
        return None
    return text[:-1] + f"{sub:03d}Z" if sub else text
