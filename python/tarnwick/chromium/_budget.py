"""How much decoded output one record may make.

A web page chooses what its stores hold, and a few bytes of V8 data can claim far
more than they hold: ``new Array(n)`` costs about seven bytes for any length, every
further view over one ArrayBuffer costs about eight. The decoders therefore count
what they build against a budget that grows with the record's bytes and stops at a
hard cap per record. A value that would go over becomes an error on that record (its
raw bytes kept, the reason given) and decoding goes on with the next record.

The unit is roughly one character of the JSON the value becomes, or one byte of the
memory it takes while decoded: a string costs its length, binary data two per byte
(hex), every value ``VALUE_COST`` and every object, array or tagged value (each a
Python dict or list) ``CONTAINER_COST`` more. So a record's decoded value can neither
print nor hold much more than its budget.
"""

from __future__ import annotations

from ._binary import DecodeError

# Units a record may spend per byte it holds (after Snappy or a blob file): enough
# for an empty object (three bytes) to cost its container and its value.
UNITS_PER_BYTE = 24
# Units every record may spend whatever its size, so a small record with ordinary
# escapes and tags never hits the budget.
BASE_UNITS = 1 << 16
# The most any one record may make: about 64 MiB of JSON.
RECORD_CAP_UNITS = 64 << 20
# What one value (number, tag, container) costs besides its text or bytes: about
# the memory of a list slot and a number object.
VALUE_COST = 16
# What a value kept as its own dict or list costs on top: about its size in memory.
# With VALUE_COST, an empty object's three bytes pay exactly for it.
CONTAINER_COST = 56


class OverBudget(DecodeError):
    """The value would expand beyond what its bytes allow."""


def budget_for(input_bytes: int) -> int:
    """The units a record of ``input_bytes`` bytes may spend."""
    return min(BASE_UNITS + UNITS_PER_BYTE * input_bytes, RECORD_CAP_UNITS)


class Budget:
    __slots__ = ("limit", "used", "input_bytes")

    def __init__(self, input_bytes: int) -> None:
        self.input_bytes = input_bytes
        self.limit = budget_for(input_bytes)
        self.used = 0

    def charge(self, units: int, what: str) -> None:
        self.used += units
        if self.used > self.limit:
            raise OverBudget(f"over budget at {what}: the value would expand beyond "
                             f"{self.limit} units for its {self.input_bytes} bytes")
