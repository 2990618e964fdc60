"""Hand-built LevelDB files for tests.

The real engine (plyvel) is the preferred source of test databases. This module
covers what the engine never writes: chosen physical-record layouts in a log,
odd tags and type bytes, damaged or boundary-sized blocks, Snappy blocks of our
own, sequence numbers near 2**64, and manifests with chosen version edits.

Everything here produces plain ``bytes``; nothing reads back. The building
blocks compose from small to large:

* integers: :func:`varint`, :func:`fixed32`, :func:`fixed64`, :func:`length_prefixed`;
* write batches: :func:`batch_entry`, :func:`put`, :func:`delete`, :func:`write_batch`;
* log files: :func:`physical_record`, :class:`LogWriter`, :func:`log_file`;
* table blocks: :func:`internal_key`, :func:`block_entry`, :func:`restart_array`,
  :func:`block_contents`, :func:`snappy_literal`, :func:`block_handle`;
* table files: :class:`TableWriter`, :func:`table_file`;
* manifests: :func:`version_edit`, :func:`manifest_file`;
* directories: :func:`write_files`.

Checksums are written as zero bytes unless a caller gives others: the reader
under test never verifies them.

Example, a directory with one log file and one table file::

    write_files(tmp_path, {
        "000003.log": log_file([write_batch(1, [put(b"k", b"v"), delete(b"old")])]),
        "000005.ldb": table_file([[(internal_key(b"a", 7), b"x")]]),
    })
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from enum import IntEnum
from pathlib import Path

__all__ = [
    "BATCH_HEADER_SIZE",
    "BLOCK_TRAILER_SIZE",
    "FOOTER_SIZE",
    "LOG_BLOCK_SIZE",
    "LOG_HEADER_SIZE",
    "TABLE_MAGIC",
    "BlockContents",
    "BuiltBlock",
    "MAX_VARINT32",
    "MAX_VARINT64",
    "LogWriter",
    "RecordType",
    "TableWriter",
    "ValueType",
    "batch_entry",
    "block_contents",
    "block_entry",
    "block_handle",
    "block_trailer",
    "delete",
    "fixed32",
    "fixed64",
    "internal_key",
    "length_prefixed",
    "log_file",
    "manifest_file",
    "physical_record",
    "put",
    "raw_block",
    "restart_array",
    "snappy_literal",
    "table_file",
    "table_footer",
    "varint",
    "version_edit",
    "write_batch",
    "write_files",
]

# --------------------------------------------------------------------------
# Integers
# --------------------------------------------------------------------------


def varint(value: int, width: int | None = None) -> bytes:
    """Little-endian base-128 varint of a non-negative integer (any size).

    With ``width``, padded to that many bytes with continuation bits: an
    over-long encoding that still decodes to ``value``.
    """
    if value < 0:
        raise ValueError("varint of a negative number")
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    if width is not None:
        if len(out) > width:
            raise ValueError(f"{value} needs more than {width} bytes")
        out += b"\x00" * (width - len(out))
        for i in range(len(out) - 1):
            out[i] |= 0x80
    return bytes(out)


MAX_VARINT32 = b"\xff\xff\xff\xff\x7f"
"""The largest value five bytes can say, 2^35 - 1: more than 32 bits."""
MAX_VARINT64 = b"\xff" * 9 + b"\x01"
"""2^64 - 1 in ten bytes."""


def fixed32(value: int) -> bytes:
    """Unsigned 32-bit little-endian; the value is taken modulo 2**32."""
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


def fixed64(value: int) -> bytes:
    """Unsigned 64-bit little-endian; the value is taken modulo 2**64."""
    return (value & 0xFFFFFFFFFFFFFFFF).to_bytes(8, "little")


def length_prefixed(data: bytes) -> bytes:
    """A byte string preceded by its length as a varint."""
    return varint(len(data)) + data


# --------------------------------------------------------------------------
# Write batches (the payload of a log file's logical record)
# --------------------------------------------------------------------------

BATCH_HEADER_SIZE = 12
"""Sequence number (8 bytes) and entry count (4 bytes) in front of the entries."""


class ValueType(IntEnum):
    """Tag of a write-batch entry, and type byte of a table key's trailer."""

    DELETION = 0
    VALUE = 1


def batch_entry(tag: int, key: bytes, value: bytes | None = None) -> bytes:
    """One encoded write-batch entry: tag byte, key, and (unless None) value.

    The engine writes a value for every tag except 0; pass ``value=None`` to
    leave it out, whatever the tag, or a value with tag 0 to add bytes that a
    reader must not take for a value.
    """
    out = bytes([tag]) + length_prefixed(key)
    if value is not None:
        out += length_prefixed(value)
    return out


def put(key: bytes, value: bytes) -> bytes:
    """A value entry (tag 1)."""
    return batch_entry(ValueType.VALUE, key, value)


def delete(key: bytes) -> bytes:
    """A deletion entry (tag 0): the key only."""
    return batch_entry(ValueType.DELETION, key)


def write_batch(seq: int, entries: Sequence[bytes], *, count: int | None = None, tail: bytes = b"") -> bytes:
    """A write batch: header with ``seq`` and ``count`` (default: the number of
    entries), the encoded entries back to back, then ``tail`` (raw bytes, for
    damaged batches). The entry at index i starts at batch offset
    ``BATCH_HEADER_SIZE + sum(len(e) for e in entries[:i])``.
    """
    n = len(entries) if count is None else count
    return fixed64(seq) + fixed32(n) + b"".join(entries) + tail


# --------------------------------------------------------------------------
# Log files: 32 KiB blocks of physical records
# --------------------------------------------------------------------------

LOG_BLOCK_SIZE = 32768
LOG_HEADER_SIZE = 7
"""Checksum (4 bytes), payload length (2 bytes), record type (1 byte)."""


class RecordType(IntEnum):
    """Type byte of a physical log record."""

    ZERO = 0
    FULL = 1
    FIRST = 2
    MIDDLE = 3
    LAST = 4


def physical_record(
    record_type: int, payload: bytes, *, length: int | None = None, checksum: bytes = b"\0\0\0\0"
) -> bytes:
    """One physical record: 7-byte header then payload.

    ``length`` overrides the header's payload length (for lengths that run past
    the block); ``record_type`` may be any byte, valid or not.
    """
    if len(checksum) != 4:
        raise ValueError("a checksum is 4 bytes")
    n = len(payload) if length is None else length
    return checksum + (n & 0xFFFF).to_bytes(2, "little") + bytes([record_type & 0xFF]) + payload


class LogWriter:
    """Builds a log file the way the engine does, with escape hatches.

    :meth:`add_record` cuts a logical record into ``FULL`` or
    ``FIRST``/``MIDDLE``/``LAST`` fragments across 32 KiB blocks, padding a
    block tail of fewer than 7 bytes with zeros, exactly as LevelDB's writer.
    :meth:`add_physical` and :meth:`add_bytes` append raw material anywhere,
    ignoring block boundaries, for damaged or unusual layouts.
    """

    def __init__(self) -> None:
        self._data = bytearray()

    @property
    def position(self) -> int:
        """Current length of the file, i.e. where the next byte goes."""
        return len(self._data)

    @property
    def block_remaining(self) -> int:
        """Bytes left in the current 32 KiB block."""
        return LOG_BLOCK_SIZE - len(self._data) % LOG_BLOCK_SIZE

    def add_record(self, payload: bytes) -> int:
        """Append one logical record, fragmented as the engine would.

        Returns the offset a reader attributes to the logical record: the file
        position just past its first (``FULL`` or ``FIRST``) physical record.
        """
        first_end: int | None = None
        remaining = memoryview(payload)
        begin = True
        while True:
            left_in_block = self.block_remaining
            if left_in_block < LOG_HEADER_SIZE:
                self._data += b"\0" * left_in_block
                left_in_block = LOG_BLOCK_SIZE
            available = left_in_block - LOG_HEADER_SIZE
            fragment = bytes(remaining[:available])
            remaining = remaining[len(fragment) :]
            end = not remaining
            if begin and end:
                record_type = RecordType.FULL
            elif begin:
                record_type = RecordType.FIRST
            elif end:
                record_type = RecordType.LAST
            else:
                record_type = RecordType.MIDDLE
            self._data += physical_record(record_type, fragment)
            if first_end is None:
                first_end = len(self._data)
            begin = False
            if end:
                return first_end

    def add_physical(self, record_type: int, payload: bytes, **kwargs: object) -> int:
        """Append one physical record as is (see :func:`physical_record` for
        the keyword arguments); returns the file position just past it."""
        self._data += physical_record(record_type, payload, **kwargs)  # type: ignore[arg-type]
        return len(self._data)

    def add_bytes(self, data: bytes) -> int:
        """Append raw bytes; returns the new position."""
        self._data += data
        return len(self._data)

    def pad_block(self, fill: int = 0) -> int:
        """Fill the rest of the current block with ``fill`` bytes (nothing if
        the position is already at a block start); returns the new position."""
        if len(self._data) % LOG_BLOCK_SIZE:
            self._data += bytes([fill]) * self.block_remaining
        return len(self._data)

    def getvalue(self) -> bytes:
        return bytes(self._data)


def log_file(payloads: Iterable[bytes]) -> bytes:
    """A log file holding the given logical records (usually write batches)."""
    writer = LogWriter()
    for payload in payloads:
        writer.add_record(payload)
    return writer.getvalue()


# --------------------------------------------------------------------------
# Table blocks
# --------------------------------------------------------------------------

BLOCK_TRAILER_SIZE = 5
"""Compression type (1 byte) and checksum (4 bytes) after each block."""
FOOTER_SIZE = 48
TABLE_MAGIC = 0xDB4775248B80FB57


def internal_key(user_key: bytes, seq: int, value_type: int = ValueType.VALUE) -> bytes:
    """A table key: the user key followed by the 8-byte trailer
    ``seq << 8 | value_type`` (little-endian). ``seq`` is taken modulo 2**56."""
    return user_key + fixed64(((seq & ((1 << 56) - 1)) << 8) | (value_type & 0xFF))


def block_entry(
    shared: int,
    key_delta: bytes,
    value: bytes,
    *,
    non_shared: int | None = None,
    value_length: int | None = None,
) -> bytes:
    """One raw block entry: varints shared, non_shared, value_length, then the
    key delta and the value. The two lengths default to the real ones and can
    be overridden to make entries that run out of bounds."""
    return (
        varint(shared)
        + varint(len(key_delta) if non_shared is None else non_shared)
        + varint(len(value) if value_length is None else value_length)
        + key_delta
        + value
    )


def restart_array(restarts: Sequence[int], *, num_restarts: int | None = None) -> bytes:
    """The end of a block: each restart offset as fixed32, then the count
    (default: the number of offsets; override it for damaged blocks)."""
    count = len(restarts) if num_restarts is None else num_restarts
    return b"".join(fixed32(r) for r in restarts) + fixed32(count)


@dataclass(frozen=True)
class BlockContents:
    """Uncompressed block bytes and where each entry starts within them."""

    data: bytes
    entry_offsets: tuple[int, ...]


def block_contents(
    entries: Sequence[tuple[bytes, bytes]],
    *,
    restart_interval: int = 16,
    prefix_compression: bool = True,
) -> BlockContents:
    """A sound block of (key, value) entries in the given order.

    Keys share their common prefix with the previous key, except at every
    ``restart_interval``-th entry, which starts a restart point (shared 0), as
    the engine writes them. An empty block holds only the restart array [0].
    """
    if restart_interval < 1:
        raise ValueError("restart_interval must be at least 1")
    out = bytearray()
    offsets: list[int] = []
    restarts: list[int] = []
    previous = b""
    for i, (key, value) in enumerate(entries):
        shared = 0
        if i % restart_interval == 0:
            restarts.append(len(out))
        elif prefix_compression:
            limit = min(len(previous), len(key))
            while shared < limit and previous[shared] == key[shared]:
                shared += 1
        offsets.append(len(out))
        out += block_entry(shared, key[shared:], value)
        previous = key
    if not restarts:
        restarts.append(0)
    out += restart_array(restarts)
    return BlockContents(bytes(out), tuple(offsets))


def snappy_literal(data: bytes, *, chunk: int = 65536) -> bytes:
    """A valid raw Snappy stream that stores ``data`` as literals only.

    Format: the uncompressed length as a varint, then literal elements. A
    literal's tag byte has low bits 00; lengths up to 60 go in the tag's upper
    six bits as length − 1, longer ones as 60..63 followed by length − 1 in
    1..4 little-endian bytes.
    """
    out = bytearray(varint(len(data)))
    for start in range(0, len(data), chunk):
        piece = data[start : start + chunk]
        n = len(piece) - 1
        if n < 60:
            out.append(n << 2)
        else:
            size = (n.bit_length() + 7) // 8
            out.append((59 + size) << 2)
            out += n.to_bytes(size, "little")
        out += piece
    return bytes(out)


def block_handle(offset: int, size: int) -> bytes:
    """A block handle: offset and size as two varints."""
    return varint(offset) + varint(size)


def raw_block(entries: bytes, restarts: Sequence[int] = (0,), *, num_restarts: int | None = None) -> bytes:
    """Encoded entries as given, then the restart array: for blocks whose
    entries or restart count are made by hand."""
    return entries + restart_array(restarts, num_restarts=num_restarts)


def block_trailer(compression: int = 0, checksum: bytes = b"\0\0\0\0") -> bytes:
    """The 5 bytes after a block: its compression type and checksum."""
    return bytes([compression & 0xFF]) + checksum


def table_footer(metaindex_handle: bytes, index_handle: bytes, *, magic: int = TABLE_MAGIC) -> bytes:
    """The 48-byte footer: both handles, zero padding to 40 bytes, the magic."""
    return (metaindex_handle + index_handle).ljust(FOOTER_SIZE - 8, b"\0") + fixed64(magic)


# --------------------------------------------------------------------------
# Table files
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class BuiltBlock:
    """Where :meth:`TableWriter.add_block` put a block.

    ``offset``/``size`` form the block's handle (size without the trailer);
    ``entry_offsets`` are the entries' positions within the uncompressed
    contents (empty when raw contents were given); ``compressed`` tells whether
    the trailer's type byte is non-zero.
    """

    offset: int
    size: int
    compressed: bool
    entry_offsets: tuple[int, ...] = ()
    last_key: bytes = b""

    @property
    def handle(self) -> bytes:
        return block_handle(self.offset, self.size)

    def file_offsets(self) -> list[int]:
        """Absolute file offsets of the entries (meaningful for stored blocks)."""
        return [self.offset + o for o in self.entry_offsets]


@dataclass
class TableWriter:
    """Builds a table file block by block.

    Data blocks go from offset 0 (or after whatever :meth:`add_bytes` put
    first), each followed by its 5-byte trailer. :meth:`finish` appends a
    meta-index block (empty), the index block, and the 48-byte footer, then
    returns the file's bytes.
    """

    _data: bytearray = field(default_factory=bytearray)
    blocks: list[BuiltBlock] = field(default_factory=list)

    @property
    def position(self) -> int:
        return len(self._data)

    def add_bytes(self, data: bytes) -> int:
        """Append raw bytes (e.g. filler so that the next block starts at a
        chosen offset); returns the new position."""
        self._data += data
        return len(self._data)

    def add_block(
        self,
        entries: Sequence[tuple[bytes, bytes]] | None = None,
        *,
        contents: bytes | None = None,
        compression: int = 0,
        snappy: bool | None = None,
        restart_interval: int = 16,
        checksum: bytes = b"\0\0\0\0",
        size: int | None = None,
        indexed: bool = True,
    ) -> BuiltBlock:
        """Append one data block and its trailer.

        Give either ``entries`` (built with :func:`block_contents`) or raw
        ``contents``. ``compression`` is the trailer's type byte (0 stored,
        1 Snappy, anything else allowed). The stored bytes are Snappy-encoded
        with :func:`snappy_literal` when ``snappy`` is true (default: when
        ``compression`` is non-zero); pass ``snappy=False`` with a non-zero
        type to store bytes that are not Snappy data. ``size`` overrides the
        size recorded in the handle. Blocks with ``indexed=False`` are written
        but left out of the default index.
        """
        if (entries is None) == (contents is None):
            raise ValueError("give either entries or contents")
        offsets: tuple[int, ...] = ()
        last_key = b""
        if entries is not None:
            built = block_contents(entries, restart_interval=restart_interval)
            contents, offsets = built.data, built.entry_offsets
            last_key = entries[-1][0] if entries else b""
        assert contents is not None
        if snappy is None:
            snappy = compression != 0
        stored = snappy_literal(contents) if snappy else contents
        offset = len(self._data)
        self._data += stored + bytes([compression & 0xFF]) + checksum
        block = BuiltBlock(offset, len(stored) if size is None else size, compression != 0, offsets, last_key)
        if indexed:
            self.blocks.append(block)
        return block

    def finish(
        self,
        *,
        index_entries: Sequence[tuple[bytes, bytes]] | None = None,
        index_compression: int = 0,
        index_contents: bytes | None = None,
        magic: int = TABLE_MAGIC,
        footer: bytes | None = None,
    ) -> bytes:
        """Append meta-index, index and footer; return the whole file.

        ``index_entries`` replaces the default index, which has one entry per
        indexed block: (its last key, or b"k<i>" for raw blocks; its handle).
        Give raw values there (e.g. ``b"\\x80"``) for index damage. The index
        is Snappy-encoded when ``index_compression`` is non-zero, unless
        ``index_contents`` gives the index block's stored bytes as they are
        (trailer type ``index_compression`` all the same). ``footer``
        replaces the whole 48-byte footer.
        """
        meta_offset = len(self._data)
        meta = block_contents([]).data
        self._data += meta + b"\0" * BLOCK_TRAILER_SIZE
        if index_entries is None:
            index_entries = [(b.last_key or b"k%d" % i, b.handle) for i, b in enumerate(self.blocks)]
        if index_contents is not None:
            stored = index_contents
        else:
            index = block_contents(index_entries, restart_interval=1).data
            stored = snappy_literal(index) if index_compression else index
        index_offset = len(self._data)
        self._data += stored + block_trailer(index_compression)
        if footer is None:
            footer = table_footer(block_handle(meta_offset, len(meta)), block_handle(index_offset, len(stored)), magic=magic)
        self._data += footer
        return bytes(self._data)


def table_file(blocks: Iterable[Sequence[tuple[bytes, bytes]]], *, compression: int = 0) -> bytes:
    """A sound table file: one data block per sequence of (key, value)
    entries, all stored with the same trailer type (0 stored, 1 Snappy)."""
    writer = TableWriter()
    for entries in blocks:
        writer.add_block(entries, compression=compression)
    return writer.finish()


# --------------------------------------------------------------------------
# Manifests
# --------------------------------------------------------------------------


def version_edit(
    *,
    comparator: bytes | str | None = None,
    log_number: int | None = None,
    prev_log_number: int | None = None,
    next_file_number: int | None = None,
    last_sequence: int | None = None,
    compact_pointers: Iterable[tuple[int, bytes]] = (),
    deleted_files: Iterable[tuple[int, int]] = (),
    new_files: Iterable[tuple[int, int, int, bytes, bytes]] = (),
    tail: bytes = b"",
) -> bytes:
    """One version edit as (tag, field) pairs, in the engine's order.

    ``new_files`` holds (level, number, file_size, smallest, largest);
    ``deleted_files`` holds (level, number); ``compact_pointers`` holds
    (level, key). ``tail`` is appended raw (unknown tags, cut-off fields).
    """
    out = bytearray()
    if comparator is not None:
        name = comparator.encode() if isinstance(comparator, str) else comparator
        out += varint(1) + length_prefixed(name)
    if log_number is not None:
        out += varint(2) + varint(log_number)
    if prev_log_number is not None:
        out += varint(9) + varint(prev_log_number)
    if next_file_number is not None:
        out += varint(3) + varint(next_file_number)
    if last_sequence is not None:
        out += varint(4) + varint(last_sequence)
    for level, key in compact_pointers:
        out += varint(5) + varint(level) + length_prefixed(key)
    for level, number in deleted_files:
        out += varint(6) + varint(level) + varint(number)
    for level, number, size, smallest, largest in new_files:
        out += varint(7) + varint(level) + varint(number) + varint(size)
        out += length_prefixed(smallest) + length_prefixed(largest)
    return bytes(out) + tail


def manifest_file(edits: Iterable[bytes]) -> bytes:
    """A manifest: the version edits as logical records in the log format."""
    return log_file(edits)


# --------------------------------------------------------------------------
# Directories
# --------------------------------------------------------------------------


def write_files(directory: str | os.PathLike[str], files: Mapping[str, bytes]) -> Path:
    """Create ``directory`` (and parents) if needed and write each named file
    into it; returns the directory as a Path."""
    root = Path(directory)
    root.mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (root / name).write_bytes(data)
    return root
