"""Damaged copies of files that the real engine wrote.

Every table file, log file and manifest of two small databases written by
LevelDB (one stored plain, one Snappy-compressed, both with small blocks) is
copied many times over, each copy damaged in one way: cut short at every block
and record boundary, single bytes flipped, stretches zeroed, blocks swapped,
garbage appended. Each copy is opened and read in-process. Nothing may raise,
and whatever comes out must be explainable by the damage:

* A table record must be one of the undamaged file's records unless the damage
  hit that record's own bytes. A record's own bytes are its whole data block
  with the block's trailer (a compressed block is one unit: any byte of it can
  change every record in it) and the bytes that lead the reader to the block:
  the index block and the footer. When the damage left the index and the
  footer alone, every data block it did not touch must also come out whole.
* A log record's own bytes are its logical record: every physical fragment
  from the header of its first to the end of its last. Damage can also
  mislead the reader about where the following records of the same 32 KiB
  block begin, so a record that is not an original must start after the first
  damaged logical record and within the blocks the damage reached; every
  logical record wholly before the damage or wholly in later blocks must come
  out whole. A log cut short gives exactly the records of the logical records
  that end before the cut.
* The manifest plays no part in the records: a damaged one changes nothing.

Run with TARNWICK_DAMAGE_SWEEP=full for every byte flipped in several ways and
every byte as a truncation point (some minutes instead of seconds).
"""

from __future__ import annotations

import os
import random
import shutil
import struct
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

import plyvel
import pytest

import _tarnwick
from craft import BLOCK_TRAILER_SIZE, FOOTER_SIZE, LOG_BLOCK_SIZE, LOG_HEADER_SIZE, TABLE_MAGIC
from engine_db import read_varint, record_fields, snappy_decompress

FULL_SWEEP = os.environ.get("TARNWICK_DAMAGE_SWEEP", "") == "full"


# --------------------------------------------------------------------------
# Where things lie in an undamaged file. These read only the structure that
# the damage is placed on and judged by (block and record boundaries); the
# records themselves always come from the reader under test.


@dataclass(frozen=True)
class BlockSpan:
    offset: int
    size: int
    compressed: bool

    @property
    def end(self) -> int:
        """Just past the trailer."""
        return self.offset + self.size + BLOCK_TRAILER_SIZE

    def holds(self, record_offset: int) -> bool:
        """Whether a record reported at this offset comes from this block: a
        stored block's records lie at their entries, a compressed block's at
        its start (and a damaged type byte may turn one into the other)."""
        return self.offset <= record_offset < self.offset + max(self.size, 1)


def block_values(contents: bytes) -> list[bytes]:
    """The values of a sound block's entries."""
    (count,) = struct.unpack_from("<I", contents, len(contents) - 4)
    end = len(contents) - 4 - 4 * count
    pos, values = 0, []
    while pos < end:
        _, pos = read_varint(contents, pos)
        non_shared, pos = read_varint(contents, pos)
        value_length, pos = read_varint(contents, pos)
        pos += non_shared
        values.append(contents[pos : pos + value_length])
        pos += value_length
    return values


def read_handle(data: bytes, pos: int) -> tuple[int, int, int]:
    offset, pos = read_varint(data, pos)
    size, pos = read_varint(data, pos)
    return offset, size, pos


@dataclass
class TableLayout:
    length: int
    data_blocks: list[BlockSpan]
    index_block: BlockSpan
    meta_blocks: list[BlockSpan]

    @classmethod
    def of(cls, data: bytes) -> TableLayout:
        footer = data[-FOOTER_SIZE:]
        assert struct.unpack_from("<Q", footer, 40)[0] == TABLE_MAGIC
        meta_offset, meta_size, pos = read_handle(footer, 0)
        index_offset, index_size, _ = read_handle(footer, pos)

        def span(offset: int, size: int) -> BlockSpan:
            return BlockSpan(offset, size, data[offset + size] != 0)

        def contents(block: BlockSpan) -> bytes:
            raw = data[block.offset : block.offset + block.size]
            return snappy_decompress(raw) if block.compressed else raw

        index = span(index_offset, index_size)
        blocks = [span(*read_handle(value, 0)[:2]) for value in block_values(contents(index))]
        meta_index = span(meta_offset, meta_size)
        metas = [span(*read_handle(value, 0)[:2]) for value in block_values(contents(meta_index))]
        return cls(len(data), blocks, index, [*metas, meta_index])

    def boundaries(self) -> set[int]:
        points = {0, self.length - FOOTER_SIZE, self.length}
        for block in [*self.data_blocks, *self.meta_blocks, self.index_block]:
            # start, end of contents, after the type byte, end of trailer
            points |= {block.offset, block.offset + block.size, block.offset + block.size + 1, block.end}
        return points


@dataclass(frozen=True)
class LogicalRecord:
    start: int  # the header of its Full or First fragment
    end: int  # just past its Full or Last fragment
    offset: int  # as the reader reports it: just past the Full or First fragment
    entries: int  # the count in its write batch's header


def batch_count(payload: bytes) -> int:
    return struct.unpack_from("<I", payload, 8)[0]


@dataclass
class LogLayout:
    length: int
    physical: list[tuple[int, int]] = field(default_factory=list)  # (start, end)
    logical: list[LogicalRecord] = field(default_factory=list)

    @classmethod
    def of(cls, data: bytes) -> LogLayout:
        """An undamaged log: records back to back, padding at block ends."""
        layout = cls(len(data))
        first: tuple[int, int] | None = None
        gathered = b""
        for base in range(0, len(data), LOG_BLOCK_SIZE):
            block_end = min(base + LOG_BLOCK_SIZE, len(data))
            p = base
            while p + LOG_HEADER_SIZE <= block_end:
                length = int.from_bytes(data[p + 4 : p + 6], "little")
                kind = data[p + 6]
                end = p + LOG_HEADER_SIZE + length
                assert kind <= 4 and end <= block_end
                layout.physical.append((p, end))
                payload = data[p + LOG_HEADER_SIZE : end]
                if kind == 1:
                    layout.logical.append(LogicalRecord(p, end, end, batch_count(payload)))
                elif kind == 2:
                    first, gathered = (p, end), payload
                elif kind == 3:
                    gathered += payload
                elif kind == 4:
                    assert first is not None
                    layout.logical.append(LogicalRecord(first[0], end, first[1], batch_count(gathered + payload)))
                    first = None
                p = end
        return layout

    def boundaries(self) -> set[int]:
        points = {0, self.length}
        for start, end in self.physical:
            points |= {start, start + LOG_HEADER_SIZE, end}
        points |= set(range(0, self.length, LOG_BLOCK_SIZE))
        return points


# --------------------------------------------------------------------------
# Damage


@dataclass
class Damage:
    name: str
    data: bytes
    # Byte ranges of the undamaged file that were changed or removed;
    # appended bytes count as a range past its end.
    ranges: list[tuple[int, int]]
    truncated_at: int | None = None


def with_neighbours(points: set[int], length: int) -> list[int]:
    return sorted({q for p in points for q in (p - 1, p, p + 1) if 0 <= q < length})


def truncations(data: bytes, boundaries: set[int]) -> Iterator[Damage]:
    points = range(len(data)) if FULL_SWEEP else with_neighbours(boundaries, len(data))
    for cut in points:
        yield Damage(f"cut at {cut}", data[:cut], [(cut, len(data))], truncated_at=cut)


def flips(data: bytes, positions: list[int], rng: random.Random) -> Iterator[Damage]:
    masks = (0xFF, 0x01, 0x80, 0x10) if FULL_SWEEP else (None,)
    for pos in positions:
        for mask in masks:
            mask = mask or rng.randrange(1, 256)
            damaged = bytearray(data)
            damaged[pos] ^= mask
            yield Damage(f"byte {pos} ^ {mask:#x}", bytes(damaged), [(pos, pos + 1)])


def zeroed(data: bytes, stretches: list[tuple[int, int]]) -> Iterator[Damage]:
    for begin, end in stretches:
        end = min(end, len(data))
        if begin < end:
            damaged = data[:begin] + bytes(end - begin) + data[end:]
            yield Damage(f"zeros over [{begin}, {end})", damaged, [(begin, end)])


def swapped(data: bytes, first: tuple[int, int], second: tuple[int, int]) -> Damage:
    """The bytes of two ranges (first before second) trade places."""
    (a, b), (c, d) = first, second
    damaged = data[:a] + data[c:d] + data[b:c] + data[a:b] + data[d:]
    return Damage(f"[{a}, {b}) swapped with [{c}, {d})", damaged, [(a, d)])


def appended(data: bytes, rng: random.Random, tail: bytes = b"") -> Iterator[Damage]:
    for n in (1, 6, 7, 48, 333):
        garbage = bytes(rng.randrange(256) for _ in range(n)) + tail
        what = "and a copy of the footer " if tail else ""
        yield Damage(f"{n} bytes {what}appended", data + garbage, [(len(data), len(data) + len(garbage))])


def sample_positions(length: int, wanted: int, rng: random.Random, always: set[int]) -> list[int]:
    if FULL_SWEEP:
        return list(range(length))
    chosen = {p for p in always if 0 <= p < length}
    chosen |= set(rng.sample(range(length), min(length, wanted)))
    return sorted(chosen)


def table_damages(data: bytes, layout: TableLayout, rng: random.Random) -> Iterator[Damage]:
    yield from truncations(data, layout.boundaries())
    always = {p for b in layout.boundaries() for p in (b - 1, b)}
    always |= set(range(layout.length - FOOTER_SIZE, layout.length))
    yield from flips(data, sample_positions(len(data), 400, rng, always), rng)
    stretches = [(b.offset, b.offset + b.size) for b in layout.data_blocks]  # whole contents
    stretches += [(b.offset + b.size, b.end) for b in layout.data_blocks[::3]]  # trailers
    stretches += [(p, p + 16) for p in range(0, len(data), 211)]
    stretches += [(layout.index_block.offset, layout.index_block.end)]
    yield from zeroed(data, stretches)
    blocks = [(b.offset, b.end) for b in layout.data_blocks]
    for first, second in zip(blocks, blocks[1:]):
        yield swapped(data, first, second)
    yield swapped(data, blocks[0], blocks[-1])
    yield swapped(data, blocks[-1], (layout.index_block.offset, layout.index_block.end))
    yield from appended(data, rng)
    yield from appended(data, rng, tail=data[-FOOTER_SIZE:])


def log_damages(data: bytes, layout: LogLayout, rng: random.Random) -> Iterator[Damage]:
    yield from truncations(data, layout.boundaries())
    # The length and type bytes of every other header (the checksum is never read).
    headers = {p for start, _ in layout.physical[::2] for p in range(start + 4, start + LOG_HEADER_SIZE)}
    yield from flips(data, sample_positions(len(data), 300, rng, headers), rng)
    stretches = [(start, start + LOG_HEADER_SIZE) for start, _ in layout.physical[::2]]
    stretches += [(start, end) for start, end in layout.physical[1::5]]
    stretches += [(p, p + 100) for p in range(0, len(data), 1999)]
    stretches += [(base, base + LOG_BLOCK_SIZE) for base in range(0, len(data), LOG_BLOCK_SIZE)]
    yield from zeroed(data, stretches)
    blocks = [(base, min(base + LOG_BLOCK_SIZE, len(data))) for base in range(0, len(data), LOG_BLOCK_SIZE)]
    for first, second in zip(blocks, blocks[1:]):
        yield swapped(data, first, second)
    records = layout.physical
    for i in range(0, len(records) - 1, 7):
        if records[i][1] == records[i + 1][0]:  # neighbours in one block
            yield swapped(data, records[i], records[i + 1])
    yield from appended(data, rng)


# --------------------------------------------------------------------------
# Reading and judging


# Where record_fields puts the offset.
OFFSET = 6


def fields(record: _tarnwick.Record) -> tuple:
    """The record's fields without its path: a damaged copy lies elsewhere."""
    return record_fields(record, lambda path: None)


def read_directory(path: Path) -> list[_tarnwick.Record]:
    with _tarnwick.RawLevelDb(str(path)) as db:
        return db.iterate_records_raw()


def overlaps(a: tuple[int, int], b: tuple[int, int]) -> bool:
    return a[0] < b[1] and b[0] < a[1]


def check_sane(records: list[_tarnwick.Record], data: bytes, path: Path) -> None:
    """What holds for any copy, however damaged."""
    for record in records:
        assert record.origin_file == str(path)
        if record.file_type != _tarnwick.FileType.Ldb:
            continue  # a log record's offset counts within its batch, which may span blocks
        assert 0 <= record.offset < len(data)
        if not record.was_compressed and record.value:
            # A stored block's value is a slice of the file, after its entry's start.
            assert data.find(record.value, record.offset) >= 0


def check_table_copy(
    damage: Damage, layout: TableLayout, originals: list[tuple], records: list[_tarnwick.Record], footer: bytes
) -> None:
    index = (layout.index_block.offset, layout.index_block.end)
    footer_range = (layout.length - FOOTER_SIZE, layout.length)
    locators_intact = damage.data[-FOOTER_SIZE:] == footer and not any(
        overlaps(r, index) or overlaps(r, footer_range) for r in damage.ranges if r[0] < layout.length
    )
    if not locators_intact:
        return  # every record's own bytes were hit; check_sane is all that holds
    hit = [b for b in layout.data_blocks if any(overlaps((b.offset, b.end), r) for r in damage.ranges)]
    known = set(originals)
    got = [fields(r) for r in records]
    for record in got:
        if record not in known:
            assert any(b.holds(record[OFFSET]) for b in hit), f"{damage.name}: stray record {record[:3]} at {record[OFFSET]}"
    present = set(got)
    for original in originals:
        if not any(b.holds(original[OFFSET]) for b in hit):
            assert original in present, f"{damage.name}: lost record at {original[OFFSET]} from an undamaged block"


def check_log_copy(
    damage: Damage, layout: LogLayout, originals: list[tuple], records: list[_tarnwick.Record]
) -> None:
    got = [fields(r) for r in records]
    # The records of a batch that spans blocks have offsets counted within the
    # batch, which may coincide with file positions of later records, so each
    # record is given to its logical record by order and count.
    owners = [lr for lr in layout.logical for _ in range(lr.entries)]
    assert len(owners) == len(originals)
    owner = dict(zip(originals, owners))
    if damage.truncated_at is not None:
        cut = damage.truncated_at
        assert got == [o for o in originals if owner[o].end <= cut], damage.name
        return
    first = min(r[0] for r in damage.ranges)
    last = max(r[1] for r in damage.ranges) - 1
    straddling = [lr.start for lr in layout.logical if lr.start < first < lr.end]
    lowest = min([first, *straddling])  # where the first damaged logical record starts
    reach = (last // LOG_BLOCK_SIZE + 1) * LOG_BLOCK_SIZE  # end of the last block the damage touched
    known = set(originals)
    for record in got:
        if record not in known:
            # Its batch starts after a fragment header at or after `lowest`.
            assert record[OFFSET] >= lowest + LOG_HEADER_SIZE + 12, (
                f"{damage.name}: stray record {record[:3]} at {record[OFFSET]}"
            )
    present = set(got)
    for original in originals:
        lr = owner[original]
        if lr.end <= first or lr.start >= reach:
            assert original in present, f"{damage.name}: lost record at {original[OFFSET]}"


# --------------------------------------------------------------------------
# The databases


def write_database(path: Path, compression: str | None, seed: int) -> None:
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefgh") for _ in range(rng.randint(3, 12))) for _ in range(40)]
    db = plyvel.DB(
        str(path),
        create_if_missing=True,
        compression=compression,
        block_size=256,
        block_restart_interval=4,
        bloom_filter_bits=10,
    )
    # Two rounds of puts, overwrites and deletions, each compacted into table files.
    for round_ in range(2):
        for _ in range(160):
            key = b"key-%04d" % rng.randrange(200)
            if rng.random() < 0.15:
                db.delete(key)
            else:
                db.put(key, b" ".join(rng.choice(words) for _ in range(rng.randint(0, 14))))
        db.compact_range(start=b"key-%04d" % (round_ * 80), stop=b"key-%04d" % (round_ * 80 + 79))
    # What stays in the log: one batch larger than a log block, so that it is
    # cut into First, Middle and Last fragments, and many small batches.
    with db.write_batch() as batch:
        batch.put(b"big", b"x" * 30000 + bytes(rng.randrange(256) for _ in range(20000)))
        batch.delete(b"key-0001")
        batch.put(b"after-big", b"y")
    for i in range(120):
        db.put(b"late-%04d" % i, bytes(rng.randrange(256) for _ in range(rng.randint(0, 200))))
    db.close()


@pytest.fixture(scope="module")
def engine_files(tmp_path_factory: pytest.TempPathFactory) -> list[tuple[str, Path]]:
    """(label, path) of every data file and manifest of the two databases."""
    files = []
    for compression, seed in ((None, 1), ("snappy", 2)):
        directory = tmp_path_factory.mktemp(f"engine-{compression}")
        write_database(directory, compression, seed)
        for path in sorted(directory.iterdir()):
            if path.suffix in (".ldb", ".log") or path.name.startswith("MANIFEST-"):
                files.append((f"{compression}/{path.name}", path))
    assert {p.suffix for _, p in files} >= {".ldb", ".log"}
    return files


def sweep(engine_files, kind: str, tmp_path: Path):
    """(label, undamaged bytes, path in a scratch directory) for files of one kind."""
    for label, source in engine_files:
        if source.suffix == kind or (kind == "MANIFEST" and source.name.startswith("MANIFEST-")):
            scratch = tmp_path / label.replace("/", "-")
            scratch.mkdir()
            yield label, source.read_bytes(), scratch / source.name


def test_damaged_table_files(engine_files, tmp_path: Path) -> None:
    tried = 0
    for label, data, path in sweep(engine_files, ".ldb", tmp_path):
        layout = TableLayout.of(data)
        assert len(layout.data_blocks) >= 4, label
        path.write_bytes(data)
        original_records = read_directory(path.parent)
        originals = [fields(r) for r in original_records]
        assert originals and all(any(b.holds(o[OFFSET]) for b in layout.data_blocks) for o in originals)
        rng = random.Random(label)
        for damage in table_damages(data, layout, rng):
            path.write_bytes(damage.data)
            records = read_directory(path.parent)
            check_sane(records, damage.data, path)
            check_table_copy(damage, layout, originals, records, data[-FOOTER_SIZE:])
            tried += 1
    print(f"\ndamage sweep: {tried} damaged copies of table files read")
    assert tried > 1000


def test_damaged_log_files(engine_files, tmp_path: Path) -> None:
    tried = 0
    for label, data, path in sweep(engine_files, ".log", tmp_path):
        layout = LogLayout.of(data)
        assert len(data) > LOG_BLOCK_SIZE, "the log should span blocks"
        path.write_bytes(data)
        originals = [fields(r) for r in read_directory(path.parent)]
        assert len(originals) > 100
        rng = random.Random(label)
        for damage in log_damages(data, layout, rng):
            path.write_bytes(damage.data)
            records = read_directory(path.parent)
            check_sane(records, damage.data, path)
            check_log_copy(damage, layout, originals, records)
            tried += 1
    print(f"\ndamage sweep: {tried} damaged copies of log files read")
    assert tried > 500


def test_damaged_manifests_change_nothing(engine_files, tmp_path: Path) -> None:
    tried = 0
    for label, data, path in sweep(engine_files, "MANIFEST", tmp_path):
        # Beside the manifest, the database's log, whose records must not move.
        log = next(p for lab, p in engine_files if lab.split("/")[0] == label.split("/")[0] and p.suffix == ".log")
        shutil.copy(log, path.parent / log.name)
        path.write_bytes(data)
        expected = [fields(r) for r in read_directory(path.parent)]
        rng = random.Random(label)
        damages = [
            *truncations(data, set(range(0, len(data), 2))),
            *flips(data, list(range(0, len(data), 3)), rng),
            *appended(data, rng),
            *zeroed(data, [(p, p + 16) for p in range(0, len(data), 8)]),
        ]
        for damage in damages:
            path.write_bytes(damage.data)
            assert [fields(r) for r in read_directory(path.parent)] == expected, damage.name
            tried += 1
    print(f"\ndamage sweep: {tried} damaged copies of manifests read")
    assert tried > 500
