"""Real LevelDB databases for the tests, and what their files hold.

Two halves:

* `EngineDb` writes a database with the LevelDB engine itself (plyvel) and
  keeps an operation log: one `Op` per entry written, with the sequence number
  the engine gives it. The engine's rule: a fresh database gives its first
  entry 1; every entry (put or delete, alone or in a write batch) takes the
  next number; the entries of one batch take consecutive numbers in batch
  order, and an empty batch takes none. The numbers carry on across a close
  and reopen.

* Independent decoders of the engine's files, written for the tests and kept
  strict: `read_table`, `read_log`, `read_manifest`. They assert that a file is
  well formed (the engine never writes anything else) and say where every
  entry lies, so that a test can compare the reader's records with the files
  byte for byte. `expected_records` turns a file into the records a raw reader
  must report for it.
"""

from __future__ import annotations

import contextlib
import dataclasses
import enum
import os
import shutil
import struct
import tempfile
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

import plyvel

# ---------------------------------------------------------------------------
# Writing with the engine
# ---------------------------------------------------------------------------


@contextlib.contextmanager
def scratch_dir() -> Iterator[Path]:
    """A new empty directory, removed afterwards. It lies in memory (/dev/shm)
    where there is one: the engine syncs its table files and MANIFEST, which
    on a busy disk costs more than everything else a test does."""
    shm = "/dev/shm"
    base = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None
    path = Path(tempfile.mkdtemp(prefix="tarnwick-engine-", dir=base))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


class Kind(enum.Enum):
    PUT = "put"
    DELETE = "delete"


@dataclasses.dataclass(frozen=True)
class Op:
    """One entry written to the engine."""

    key: bytes
    seq: int
    kind: Kind
    value: bytes  # b"" for a deletion


# A batch entry as given to `EngineDb.write_batch`: (Kind.PUT, key, value) or
# (Kind.DELETE, key) -- a value given with a deletion is ignored.
BatchEntry = tuple[Any, ...]


class EngineDb:
    """A database written through plyvel, with the log of every entry written.

    Only a fresh directory can be opened (the sequence numbers are counted
    from 1); `reopen` continues an existing one.
    """

    def __init__(self, path: str | os.PathLike[str], **options: Any) -> None:
        self.path = Path(path)
        self.options = options
        self.ops: list[Op] = []
        self.last_seq = 0
        self.batches = 0  # write calls made, single entries included
        self._max_key: bytes | None = None
        self._snapshots: list[Any] = []
        self.db: Any = plyvel.DB(str(self.path), create_if_missing=True, error_if_exists=True, **options)

    # -- writes -------------------------------------------------------------

    def _record(self, kind: Kind, key: bytes, value: bytes) -> None:
        self.last_seq += 1
        self.ops.append(Op(bytes(key), self.last_seq, kind, bytes(value) if kind is Kind.PUT else b""))
        if self._max_key is None or key > self._max_key:
            self._max_key = bytes(key)

    def put(self, key: bytes, value: bytes, *, sync: bool = False) -> None:
        self.db.put(key, value, sync=sync)
        self.batches += 1
        self._record(Kind.PUT, key, value)

    def delete(self, key: bytes, *, sync: bool = False) -> None:
        self.db.delete(key, sync=sync)
        self.batches += 1
        self._record(Kind.DELETE, key, b"")

    def write_batch(self, entries: Iterable[BatchEntry], *, sync: bool = False) -> None:
        """Writes the entries as one batch (an empty batch is written too: the
        engine logs it and gives it no sequence number)."""
        entries = list(entries)
        batch = self.db.write_batch(sync=sync)
        for entry in entries:
            if entry[0] is Kind.PUT:
                batch.put(entry[1], entry[2])
            elif entry[0] is Kind.DELETE:
                batch.delete(entry[1])
            else:
                raise ValueError(f"not a batch entry: {entry!r}")
        batch.write()
        self.batches += 1
        for entry in entries:
            self._record(entry[0], entry[1], entry[2] if entry[0] is Kind.PUT else b"")

    # -- engine housekeeping ---------------------------------------------------

    def flush(self) -> None:
        """Turns the memory table into a table file and starts a new log, and
        compacts nothing: a manual compaction always flushes first, and a range
        just past the largest key written overlaps no table file."""
        beyond = (self._max_key or b"") + b"\x00"
        self.db.compact_range(start=beyond, stop=beyond)

    def compact(self, start: bytes | None = None, stop: bytes | None = None) -> None:
        """Flushes, then compacts the range (all keys written by default)
        through every level that holds it.

        plyvel passes an omitted bound as an empty key, not as "no bound", so
        its compact_range() with no arguments compacts only the empty key: the
        bounds are always given here."""
        self.db.compact_range(
            start=b"" if start is None else start,
            stop=(self._max_key or b"") if stop is None else stop,
        )

    def snapshot(self) -> Any:
        """Holds a snapshot until `close`. One taken before the first write
        keeps the engine's compactions from dropping any entry."""
        snapshot = self.db.snapshot()
        self._snapshots.append(snapshot)
        return snapshot

    def close(self) -> None:
        """Closes the engine. Whatever the memory table holds stays in the
        active log, which the engine replays into a table file when it next
        opens the directory."""
        for snapshot in self._snapshots:
            snapshot.close()
        self._snapshots.clear()
        if self.db is not None:
            self.db.close()
            self.db = None

    def reopen(self, **options: Any) -> None:
        """Opens the closed directory again; the engine turns the active log
        into a table file and starts a new log."""
        self.close()
        if options:
            self.options = options
        self.db = plyvel.DB(str(self.path), **self.options)

    def copy_files(self, dest: str | os.PathLike[str]) -> Path:
        """Copies the directory's files while the engine may hold it open,
        leaving out LOCK. A file that the engine deletes meanwhile is missed."""
        dest = Path(dest)
        dest.mkdir(parents=True)
        for name in sorted(os.listdir(self.path)):
            if name == "LOCK":
                continue
            try:
                shutil.copyfile(self.path / name, dest / name)
            except FileNotFoundError:
                pass
        return dest

    # -- what was written ------------------------------------------------------

    def current(self) -> dict[bytes, bytes]:
        """The contents the engine must return now: the last write of each key."""
        state: dict[bytes, bytes] = {}
        for op in self.ops:
            if op.kind is Kind.PUT:
                state[op.key] = op.value
            else:
                state.pop(op.key, None)
        return state

    def engine_contents(self) -> dict[bytes, bytes]:
        """The contents as the open engine returns them."""
        return dict(self.db.iterator())


# ---------------------------------------------------------------------------
# Decoding the engine's files
# ---------------------------------------------------------------------------

# The format's sizes and magic, as craft.py defines them for every test.
from craft import BATCH_HEADER_SIZE, BLOCK_TRAILER_SIZE, FOOTER_SIZE, LOG_BLOCK_SIZE, LOG_HEADER_SIZE, TABLE_MAGIC  # noqa: E402

# Record state and file type values as the module reports them.
DELETED, LIVE, UNKNOWN = 0, 1, 2
LDB, LOG = 1, 2


def read_varint(data: bytes, pos: int) -> tuple[int, int]:
    """A base-128 varint at `pos`: (value, position after it)."""
    result = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        result |= (byte & 0x7F) << shift
        if byte < 0x80:
            return result, pos
        shift += 7
        assert shift < 70, "varint too long"


def read_length_prefixed(data: bytes, pos: int) -> tuple[bytes, int]:
    length, pos = read_varint(data, pos)
    assert pos + length <= len(data), "length-prefixed bytes run past the end"
    return data[pos : pos + length], pos + length


def snappy_decompress(data: bytes) -> bytes:
    """Raw (unframed) Snappy: the uncompressed length as a varint, then
    literals and back-references."""
    length, pos = read_varint(data, 0)
    out = bytearray()
    while pos < len(data):
        tag = data[pos]
        pos += 1
        kind = tag & 3
        if kind == 0:  # literal
            n = tag >> 2
            if n >= 60:
                extra = n - 59
                n = int.from_bytes(data[pos : pos + extra], "little")
                pos += extra
            n += 1
            assert pos + n <= len(data), "literal runs past the end"
            out += data[pos : pos + n]
            pos += n
            continue
        if kind == 1:
            n = ((tag >> 2) & 7) + 4
            distance = ((tag >> 5) << 8) | data[pos]
            pos += 1
        elif kind == 2:
            n = (tag >> 2) + 1
            distance = int.from_bytes(data[pos : pos + 2], "little")
            pos += 2
        else:
            n = (tag >> 2) + 1
            distance = int.from_bytes(data[pos : pos + 4], "little")
            pos += 4
        assert 0 < distance <= len(out), "back-reference before the start"
        start = len(out) - distance
        if distance >= n:
            out += out[start : start + n]
        else:  # the copy overlaps what it produces: a repeating pattern
            pattern = bytes(out[start:])
            out += (pattern * (n // distance + 1))[:n]
    assert len(out) == length, "uncompressed length differs from the header"
    return bytes(out)


def seq_and_state(internal_key: bytes) -> tuple[int, int]:
    """The sequence number and state a table key's 8-byte trailer gives."""
    if len(internal_key) < 8:
        return 0, UNKNOWN
    trailer = int.from_bytes(internal_key[-8:], "little")
    if len(internal_key) == 8:
        return trailer >> 8, UNKNOWN
    return trailer >> 8, DELETED if trailer & 0xFF == 0 else LIVE


@dataclasses.dataclass(frozen=True)
class BlockEntry:
    pos: int  # position of the entry's first byte in the block contents
    end: int  # position just past its value
    shared: int
    key: bytes  # the full key
    value: bytes


@dataclasses.dataclass(frozen=True)
class TableBlock:
    offset: int  # file offset of the stored contents
    size: int  # stored size, without the 5-byte trailer
    compressed: bool
    contents: bytes  # after decompression
    restarts: tuple[int, ...]
    entries: tuple[BlockEntry, ...]


@dataclasses.dataclass(frozen=True)
class Table:
    path: Path
    data: bytes
    meta_index: TableBlock
    index: TableBlock
    blocks: tuple[TableBlock, ...]  # the data blocks, in index order


def read_table_block(data: bytes, offset: int, size: int) -> TableBlock:
    assert offset + size + BLOCK_TRAILER_SIZE <= len(data), "block runs past the end of the file"
    stored = data[offset : offset + size]
    kind = data[offset + size]
    assert kind in (0, 1), f"compression type {kind}"
    contents = snappy_decompress(stored) if kind == 1 else stored
    (num_restarts,) = struct.unpack_from("<I", contents, len(contents) - 4)
    limit = len(contents) - 4 - 4 * num_restarts
    assert num_restarts >= 1 and limit >= 0
    restarts = struct.unpack_from(f"<{num_restarts}I", contents, limit)
    entries = []
    pos = 0
    key = b""
    while pos < limit:
        shared, p = read_varint(contents, pos)
        non_shared, p = read_varint(contents, p)
        value_length, p = read_varint(contents, p)
        assert shared <= len(key)
        key = key[:shared] + contents[p : p + non_shared]
        p += non_shared
        value = contents[p : p + value_length]
        p += value_length
        assert p <= limit, "entry runs into the restart array"
        entries.append(BlockEntry(pos, p, shared, key, value))
        pos = p
    return TableBlock(offset, size, kind != 0, contents, tuple(restarts), tuple(entries))


def read_table(path: str | os.PathLike[str]) -> Table:
    path = Path(path)
    data = path.read_bytes()
    assert len(data) >= FOOTER_SIZE, f"{path.name}: no room for a footer"
    footer = data[-FOOTER_SIZE:]
    assert int.from_bytes(footer[40:], "little") == TABLE_MAGIC, f"{path.name}: bad magic"
    meta_offset, p = read_varint(footer, 0)
    meta_size, p = read_varint(footer, p)
    index_offset, p = read_varint(footer, p)
    index_size, p = read_varint(footer, p)
    meta_index = read_table_block(data, meta_offset, meta_size)
    index = read_table_block(data, index_offset, index_size)
    blocks = []
    for entry in index.entries:
        offset, p = read_varint(entry.value, 0)
        size, p = read_varint(entry.value, p)
        assert p == len(entry.value)
        blocks.append(read_table_block(data, offset, size))
    return Table(path, data, meta_index, index, tuple(blocks))


@dataclasses.dataclass(frozen=True)
class PhysicalRecord:
    start: int  # file position of the 7-byte header
    end: int  # file position just past the payload
    type: int  # 1 full, 2 first, 3 middle, 4 last


@dataclasses.dataclass(frozen=True)
class LogicalRecord:
    offset: int  # file position just past the physical record holding its start
    payload: bytes
    fragments: tuple[PhysicalRecord, ...]


def read_log_records(data: bytes) -> list[LogicalRecord]:
    """The logical records of a file in log format, as the engine writes them:
    32 KiB blocks of physical records (checksum 4, length 2, type 1, payload),
    a block's last 1 to 6 bytes zero when no header fits, big records cut into
    first, middle and last fragments."""
    records: list[LogicalRecord] = []
    pending: list[tuple[PhysicalRecord, bytes]] = []
    for base in range(0, len(data), LOG_BLOCK_SIZE):
        block = data[base : base + LOG_BLOCK_SIZE]
        p = 0
        while p + LOG_HEADER_SIZE <= len(block):
            length, kind = struct.unpack_from("<HB", block, p + 4)
            assert kind in (1, 2, 3, 4), f"physical record type {kind} at {base + p}"
            assert p + LOG_HEADER_SIZE + length <= len(block), f"record at {base + p} runs past its block"
            payload = block[p + LOG_HEADER_SIZE : p + LOG_HEADER_SIZE + length]
            physical = PhysicalRecord(base + p, base + p + LOG_HEADER_SIZE + length, kind)
            p += LOG_HEADER_SIZE + length
            if kind == 1:
                assert not pending, f"full record at {physical.start} inside a fragmented one"
                records.append(LogicalRecord(physical.end, payload, (physical,)))
            elif kind == 2:
                assert not pending, f"first fragment at {physical.start} inside a fragmented one"
                pending = [(physical, payload)]
            else:
                assert pending, f"fragment of type {kind} at {physical.start} without a first"
                pending.append((physical, payload))
                if kind == 4:
                    fragments = tuple(f for f, _ in pending)
                    records.append(LogicalRecord(fragments[0].end, b"".join(x for _, x in pending), fragments))
                    pending = []
        assert block[p:] == bytes(len(block) - p), f"block at {base} ends in non-zero padding"
    assert not pending, "the file ends inside a fragmented record"
    return records


@dataclasses.dataclass(frozen=True)
class LogEntry:
    pos: int  # position within the batch's entries (after the 12-byte header)
    tag: int  # 0 deletion, 1 value
    key: bytes
    value: bytes


@dataclasses.dataclass(frozen=True)
class LogBatch:
    record: LogicalRecord
    seq: int
    entries: tuple[LogEntry, ...]


def read_log(path: str | os.PathLike[str]) -> list[LogBatch]:
    """Every write batch of a log file, strictly decoded."""
    batches = []
    for record in read_log_records(Path(path).read_bytes()):
        payload = record.payload
        assert len(payload) >= BATCH_HEADER_SIZE
        seq, count = struct.unpack_from("<QI", payload, 0)
        body = payload[BATCH_HEADER_SIZE:]
        entries = []
        q = 0
        while q < len(body):
            tag = body[q]
            assert tag in (0, 1), f"entry tag {tag}"
            key, p = read_length_prefixed(body, q + 1)
            value = b""
            if tag == 1:
                value, p = read_length_prefixed(body, p)
            entries.append(LogEntry(q, tag, key, value))
            q = p
        assert len(entries) == count, "entry count differs from the header"
        batches.append(LogBatch(record, seq, tuple(entries)))
    return batches


@dataclasses.dataclass
class ManifestState:
    """The engine's current version, replayed from its MANIFEST."""

    name: str
    comparator: str | None = None
    log_number: int = 0
    prev_log_number: int = 0
    next_file_number: int = 0
    last_sequence: int = 0
    files: dict[int, int] = dataclasses.field(default_factory=dict)  # table number -> level

    def is_live(self, kind: str, number: int) -> bool:
        """Whether the engine still counts a data file as part of the database."""
        if kind == "table":
            return number in self.files
        return number >= self.log_number or (number != 0 and number == self.prev_log_number)

    def levels(self) -> dict[int, int]:
        """Number of live table files per level."""
        counts: dict[int, int] = {}
        for level in self.files.values():
            counts[level] = counts.get(level, 0) + 1
        return counts


def read_manifest(db_dir: str | os.PathLike[str]) -> ManifestState:
    """The version that CURRENT names: every edit of the MANIFEST applied in turn."""
    db_dir = Path(db_dir)
    name = (db_dir / "CURRENT").read_text().strip()
    state = ManifestState(name)
    for record in read_log_records((db_dir / name).read_bytes()):
        edit = record.payload
        p = 0
        while p < len(edit):
            tag, p = read_varint(edit, p)
            if tag == 1:
                comparator, p = read_length_prefixed(edit, p)
                state.comparator = comparator.decode()
            elif tag == 2:
                state.log_number, p = read_varint(edit, p)
            elif tag == 3:
                state.next_file_number, p = read_varint(edit, p)
            elif tag == 4:
                state.last_sequence, p = read_varint(edit, p)
            elif tag == 5:  # compact pointer: level, internal key
                _, p = read_varint(edit, p)
                _, p = read_length_prefixed(edit, p)
            elif tag == 6:  # deleted file: level, number
                level, p = read_varint(edit, p)
                number, p = read_varint(edit, p)
                assert state.files.get(number) == level, f"deleting table {number} not at level {level}"
                del state.files[number]
            elif tag == 7:  # new file: level, number, size, smallest, largest
                level, p = read_varint(edit, p)
                number, p = read_varint(edit, p)
                _, p = read_varint(edit, p)
                _, p = read_length_prefixed(edit, p)
                _, p = read_length_prefixed(edit, p)
                state.files[number] = level
            elif tag == 9:
                state.prev_log_number, p = read_varint(edit, p)
            else:
                raise AssertionError(f"unknown version edit tag {tag}")
    return state


# ---------------------------------------------------------------------------
# What a raw reader must report
# ---------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class RecordView:
    """The fields of one record, comparable and hashable."""

    key: bytes
    value: bytes
    seq: int
    state: int
    file_type: int
    origin_file: str
    offset: int
    was_compressed: bool

    @property
    def user_key(self) -> bytes:
        return self.key[:-8] if self.file_type == LDB and len(self.key) >= 8 else self.key

    @classmethod
    def of(cls, record: Any) -> RecordView:
        return cls(*record_fields(record))


def record_fields(record: Any, origin_file: Callable[[str], Any] = lambda path: path) -> tuple[Any, ...]:
    """The eight fields of a record, in order, as a tuple. `origin_file` maps
    the path, for comparing reads of the same files in other places."""
    return (
        record.key,
        record.value,
        record.seq,
        int(record.state),
        int(record.file_type),
        origin_file(record.origin_file),
        record.offset,
        record.was_compressed,
    )


def copy_with(table: Table, directory: Path, data: bytes) -> Path:
    """A copy of `table`'s store in the new folder `directory` (its CURRENT
    and manifests) with `data` in place of the table's bytes."""
    directory.mkdir()
    for name in ("CURRENT",) + tuple(p.name for p in table.path.parent.glob("MANIFEST-*")):
        shutil.copy(table.path.parent / name, directory / name)
    (directory / table.path.name).write_bytes(data)
    return directory

def basename_fields(records: Iterable[Any]) -> list[tuple[Any, ...]]:
    """`record_fields` of each record, with its file's name only: reads of
    copies of a store in other folders compare equal."""
    return [record_fields(r, os.path.basename) for r in records]


def records_of_blocks(table: Table, keep: Callable[[TableBlock], bool]) -> list[tuple[Any, ...]]:
    """What an intact read of `table`'s store gives for the data blocks that
    `keep` accepts (`basename_fields`)."""
    import _tarnwick

    with _tarnwick.RawLevelDb(str(table.path.parent)) as db:
        every = basename_fields(db.iterate_records_raw())
    wanted = [(b.offset, b.offset + b.size) for b in table.blocks if keep(b)]
    return [r for r in every if any(begin <= r[6] < end for begin, end in wanted)]

DATA_EXTENSIONS = {"ldb": "table", "sst": "table", "log": "log"}


def data_file_kind(name: str) -> str | None:
    """'table' or 'log' for a name the reader takes as a data file."""
    stem, dot, extension = name.rpartition(".")
    if not dot or len(stem) != 6 or not stem.isascii() or not stem.isdigit():
        return None
    return DATA_EXTENSIONS.get(extension.lower())


def data_files(db_dir: str | os.PathLike[str]) -> list[tuple[int, str, str]]:
    """(number, kind, name) of the directory's data files, by number."""
    found = []
    for name in os.listdir(db_dir):
        kind = data_file_kind(name)
        if kind is not None and os.path.isfile(os.path.join(db_dir, name)):
            found.append((int(name[:6]), kind, name))
    return sorted(found)


def expected_table_records(path: str, table: Table | None = None) -> Iterator[RecordView]:
    table = table or read_table(path)
    for block in table.blocks:
        for entry in block.entries:
            seq, state = seq_and_state(entry.key)
            offset = block.offset if block.compressed else block.offset + entry.pos
            yield RecordView(entry.key, entry.value, seq, state, LDB, path, offset, block.compressed)


def expected_log_records(path: str, batches: list[LogBatch] | None = None) -> Iterator[RecordView]:
    for batch in batches if batches is not None else read_log(path):
        for index, entry in enumerate(batch.entries):
            offset = batch.record.offset + BATCH_HEADER_SIZE + entry.pos
            state = DELETED if entry.tag == 0 else LIVE
            yield RecordView(entry.key, entry.value, batch.seq + index, state, LOG, path, offset, False)


def expected_records(db_dir: str, *, reverse: bool = False) -> list[RecordView]:
    """Every record of the directory's data files, files in order of number."""
    files = data_files(db_dir)
    if reverse:
        files.reverse()
    out: list[RecordView] = []
    for _, kind, name in files:
        path = os.path.join(db_dir, name)
        out.extend(expected_table_records(path) if kind == "table" else expected_log_records(path))
    return out
