"""A bounds-checked cursor over bytes, and the integer encodings these stores use.

Every read either returns what it asked for or raises ``DecodeError``; the decoders
catch it at the record boundary, so damaged bytes never escape as another exception.
"""

from __future__ import annotations

import decimal
import struct

_DOUBLE_LE = struct.Struct("<d")
# Decimal numbers (Session Storage map numbers) are read up to this many digits; a
# longer one is a damaged or crafted record, not a number the browser wrote.
MAX_DECIMAL_DIGITS = 10_000
# The longest LEB128 varint accepted: 10 bytes carry 64 bits.
MAX_VARINT_BYTES = 10
UINT64_MASK = (1 << 64) - 1


class DecodeError(ValueError):
    """The bytes do not follow the format; the message says where and why."""


class Cursor:
    __slots__ = ("data", "pos", "end")

    def __init__(self, data: bytes, pos: int = 0, end: int | None = None) -> None:
        self.data = data
        self.pos = pos
        self.end = len(data) if end is None else min(end, len(data))

    def remaining(self) -> int:
        return self.end - self.pos

    def at_end(self) -> bool:
        return self.pos >= self.end

    def byte(self) -> int:
        if self.pos >= self.end:
            raise DecodeError(f"unexpected end of data at byte {self.pos}")
        b = self.data[self.pos]
        self.pos += 1
        return b

    def peek(self) -> int | None:
        return self.data[self.pos] if self.pos < self.end else None

    def take(self, n: int) -> bytes:
        if n < 0 or n > self.end - self.pos:
            raise DecodeError(f"{n} bytes wanted at byte {self.pos}, {self.end - self.pos} left")
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return bytes(out)

    def rest(self) -> bytes:
        return self.take(self.end - self.pos)

    def varint(self) -> int:
        """LEB128: seven bits per byte, least significant group first, at most 64
        bits (of a tenth byte only the lowest bit counts). A failure names the byte
        where the varint starts."""
        start, result = self.pos, 0
        for shift in range(0, 7 * MAX_VARINT_BYTES, 7):
            if self.pos >= self.end:
                raise DecodeError(f"unexpected end of data at byte {start}")
            b = self.data[self.pos]
            self.pos += 1
            result |= (b & 0x7F) << shift
            if not b & 0x80:
                return result & UINT64_MASK
        raise DecodeError(f"varint longer than {MAX_VARINT_BYTES} bytes at byte {start}")

    def zigzag32(self) -> int:
        n = self.varint() & 0xFFFFFFFF
        return (n >> 1) ^ -(n & 1)

    def double_le(self) -> float:
        x: float = _DOUBLE_LE.unpack(self.take(8))[0]
        return x

    def u32_be(self) -> int:
        return int.from_bytes(self.take(4), "big")

    def u64_be(self) -> int:
        return int.from_bytes(self.take(8), "big")


def int_le(data: bytes) -> int:
    """IndexedDB's Int: little-endian, as many bytes as the field has (1 to 8)."""
    if not 1 <= len(data) <= 8:
        raise DecodeError(f"an Int field of {len(data)} bytes (1 to 8 expected)")
    return int.from_bytes(data, "little")


def utf16(data: bytes, byteorder: str) -> str:
    """UTF-16 code units as a str; lone surrogates are kept as they are."""
    if len(data) % 2:
        raise DecodeError(f"UTF-16 text of odd length {len(data)}")
    return data.decode("utf-16-le" if byteorder == "little" else "utf-16-be", "surrogatepass")


def decimal_int(data: bytes) -> int:
    """ASCII decimal digits as an exact integer, with no digit limit below
    ``MAX_DECIMAL_DIGITS`` (Python's int() refuses more than 4,300 digits)."""
    if not data.isdigit() or not data.isascii():
        raise DecodeError(f"decimal number expected, found {data[:20]!r}")
    if len(data) > MAX_DECIMAL_DIGITS:
        raise DecodeError(f"decimal number of {len(data)} digits (at most {MAX_DECIMAL_DIGITS} read)")
    return int(decimal.Decimal(data.decode("ascii")))
