"""Just enough of the protobuf wire format for the small metadata messages."""

from __future__ import annotations

from ._binary import Cursor, DecodeError

WIRE_VARINT, WIRE_I64, WIRE_LEN, WIRE_I32 = 0, 1, 2, 5


def fields(data: bytes) -> dict[int, int | bytes]:
    """Field number -> value (varints as unsigned ints, length-delimited as bytes);
    a repeated field keeps its last value, as protobuf parsers do."""
    cur = Cursor(data)
    out: dict[int, int | bytes] = {}
    while not cur.at_end():
        key = cur.varint()
        number, wire = key >> 3, key & 7
        if wire == WIRE_VARINT:
            out[number] = cur.varint()
        elif wire == WIRE_LEN:
            out[number] = cur.take(cur.varint())
        elif wire == WIRE_I64:
            out[number] = int.from_bytes(cur.take(8), "little")
        elif wire == WIRE_I32:
            out[number] = int.from_bytes(cur.take(4), "little")
        else:
            raise DecodeError(f"protobuf wire type {wire} not expected")
    return out


def int64(value: int) -> int:
    """A varint field declared int64: two's complement over 64 bits."""
    value &= (1 << 64) - 1
    return value - (1 << 64) if value >> 63 else value
