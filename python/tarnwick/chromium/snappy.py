"""Raw (unframed) Snappy decompression, for IndexedDB values stored compressed.

The project's native decompressor is used when the package exposes it
(``tarnwick._scan.snappy_decompress``); otherwise this careful pure-Python one. Both
refuse data that claims more output than its bytes could ever expand to.
"""

from __future__ import annotations

from collections.abc import Callable

from ._binary import Cursor, DecodeError

# The header: the uncompressed length as a varint of at most 5 bytes, below 2^32.
_HEADER_MAX_BYTES = 5
_HEADER_MAX_LENGTH = 0xFFFFFFFF
# How a damaged block is told: in the words of the native reader (the Snappy
# library's), so that both decoders say the same of the same bytes; every fault
# inside the elements is the library's "corrupt input".
_FAILURE = "Decompression error: "
_LITERAL, _COPY_1, _COPY_2, _COPY_4 = range(4)
# A literal's length-1 fits in the tag up to 59; 60..63 say 1..4 length bytes follow.
_LITERAL_INLINE_MAX = 59


def _native() -> Callable[[bytes], bytes] | None:
    try:
        from tarnwick import _scan  # type: ignore[attr-defined,unused-ignore]
    except ImportError:
        return None
    found: Callable[[bytes], bytes] | None = getattr(_scan, "snappy_decompress", None)
    return found


_NATIVE = _native()


def decompress(data: bytes) -> bytes:
    """The bytes a raw Snappy block holds; ``DecodeError`` if it is damaged."""
    if _NATIVE is not None:
        try:
            return bytes(_NATIVE(data))
        except Exception as error:  # the native module reports damage its own way
            raise DecodeError(f"Snappy: {error}") from None
    return decompress_py(data)


def _header(data: bytes) -> tuple[int, int]:
    """(uncompressed length, header bytes): a varint of at most five bytes that
    fits 32 bits, as the Snappy library reads it."""
    length = 0
    for i in range(_HEADER_MAX_BYTES):
        if i >= len(data):
            break
        b = data[i]
        length |= (b & 0x7F) << (7 * i)
        if not b & 0x80:
            if length > _HEADER_MAX_LENGTH:
                break
            return length, i + 1
    raise DecodeError(f"{_FAILURE}invalid uncompressed length header")


def decompress_py(data: bytes) -> bytes:
    expected, header = _header(data)
    # The same refusal as the native reader: no element expands 3 bytes to more than 64.
    if expected > (len(data) - header) // 3 * 64 + 64:
        raise DecodeError(f"{_FAILURE}uncompressed length {expected} is more than {len(data)} compressed bytes can hold")
    try:
        return _elements(Cursor(data, header), expected)
    except DecodeError:
        raise DecodeError(f"{_FAILURE}corrupt input") from None


def _elements(cur: Cursor, expected: int) -> bytes:
    out = bytearray()
    while not cur.at_end():
        tag = cur.byte()
        kind = tag & 3
        if kind == _LITERAL:
            n = tag >> 2
            if n > _LITERAL_INLINE_MAX:
                n = int.from_bytes(cur.take(n - _LITERAL_INLINE_MAX), "little")
            n += 1
            if len(out) + n > expected:
                raise DecodeError("Snappy literal runs past the declared length")
            out += cur.take(n)
            continue
        if kind == _COPY_1:
            length = 4 + ((tag >> 2) & 7)
            offset = ((tag >> 5) << 8) | cur.byte()
        elif kind == _COPY_2:
            length = 1 + (tag >> 2)
            offset = int.from_bytes(cur.take(2), "little")
        else:
            length = 1 + (tag >> 2)
            offset = int.from_bytes(cur.take(4), "little")
        if offset == 0 or offset > len(out):
            raise DecodeError(f"Snappy copy from offset {offset} with {len(out)} bytes out")
        if len(out) + length > expected:
            raise DecodeError("Snappy copy runs past the declared length")
        start = len(out) - offset
        if offset >= length:
            out += out[start:start + length]
        else:  # the copy overlaps what it writes: the last `offset` bytes repeat
            pattern = bytes(out[start:])
            reps, tail = divmod(length, offset)
            out += pattern * reps + pattern[:tail]
    if len(out) != expected:
        raise DecodeError(f"Snappy data gave {len(out)} bytes, its header says {expected}")
    return bytes(out)
