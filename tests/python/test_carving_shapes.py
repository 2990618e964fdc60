"""Carving tables of every block shape the engine can be made to write.

A raw block's end is a candidate only where its last bytes hold a restart
array that begins with 0 and fits in the block, so the tables here are made
with the restart layouts at the edges of that test: one entry per block, one
restart for many entries, a restart at every entry, restart arrays of
hundreds of entries, and values that hold bytes of another table (zero runs,
restart arrays and trailers with true checksums inside a block). Each table,
raw and Snappy, loses its footer or is cut short; the salvaging scan must give
exactly what an intact read gives for every data block before the damage.
"""

from __future__ import annotations

import random
from pathlib import Path

import plyvel
import pytest

import tarnwick
from engine_db import Table, basename_fields, copy_with, read_table, records_of_blocks

TRAILER = 5
# A file shorter than a table's footer has no footer to read, but may still
# hold a whole small block.
FOOTER = 48


def _inner_table(directory: Path) -> bytes:
    """The bytes of a small raw table: what the values of `table_in_values` hold."""
    db = plyvel.DB(str(directory), create_if_missing=True, compression=None, block_size=128)
    for i in range(200):
        db.put(b"inner-%04d" % i, b"\x00\x01" * (i % 5) + b"v%d" % i)
    db.compact_range()
    db.close()
    (table,) = directory.glob("*.ldb")
    return table.read_bytes()


# name: (plyvel options, how many records, value of record i)
SHAPES = {
    # Every block holds one entry and one restart (the engine makes blocks of
    # at least 1 KiB: the values are that long).
    "one_entry_blocks": ({"block_size": 1024}, 400, lambda i, rng, inner: rng.randbytes(1024)),
    # A table of one tiny block.
    "tiny_block": ({}, 1, lambda i, rng, inner: b""),
    # One restart for hundreds of entries.
    "one_restart": ({"block_size": 16384, "block_restart_interval": 100_000}, 3000,
                    lambda i, rng, inner: rng.randbytes(rng.randint(0, 12))),
    # A restart at every entry: restart arrays of about a hundred entries.
    "restart_every_entry": ({"block_size": 4096, "block_restart_interval": 1}, 3000,
                            lambda i, rng, inner: b"\x00" * rng.randint(0, 8)),
    # Thousands of restarts in one block: the count's second byte is set.
    "many_restarts": ({"block_size": 65536, "block_restart_interval": 1}, 12000,
                      lambda i, rng, inner: b""),
    # Values cut from a raw table: its trailers, zero runs and restart arrays
    # lie inside the blocks carved.
    "table_in_values": ({"block_size": 2048}, 400,
                        lambda i, rng, inner: inner[rng.randrange(len(inner)):][:rng.randint(1, 700)]),
}


def _write(directory: Path, shape: str, compression: str | None, inner: bytes) -> Table:
    options, count, value_of = SHAPES[shape]
    db = plyvel.DB(str(directory), create_if_missing=True, compression=compression, **options)
    rng = random.Random(shape)
    for i in range(count):
        db.put(b"key-%06d" % i, value_of(i, rng, inner))
    db.compact_range()
    db.close()
    for log in directory.glob("*.log"):
        log.unlink()  # only the table remains to be read
    (path,) = directory.glob("*.ldb")
    return read_table(path)


@pytest.fixture(scope="module")
def inner(tmp_path_factory: pytest.TempPathFactory) -> bytes:
    return _inner_table(tmp_path_factory.mktemp("inner") / "db")


@pytest.fixture(scope="module", params=[(s, c) for s in SHAPES for c in (None, "snappy")],
                ids=[f"{s}-{c or 'raw'}" for s in SHAPES for c in (None, "snappy")])
def shaped(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory,
           inner: bytes) -> tuple[str, Table]:
    shape, compression = request.param
    return shape, _write(tmp_path_factory.mktemp(shape) / "db", shape, compression, inner)


def test_the_shapes_are_what_they_claim(shaped: tuple[str, Table]) -> None:
    """Each table has the restart layout its shape names, or the cases below
    would test nothing new."""
    shape, table = shaped
    restarts = [len(b.restarts) for b in table.blocks]
    entries = [len(b.entries) for b in table.blocks]
    if shape == "tiny_block":
        assert entries == [1] and table.blocks[0].size < 32
    elif shape == "one_entry_blocks":
        assert set(entries) == {1} and set(restarts) == {1}
    elif shape == "one_restart":
        assert set(restarts) == {1} and max(entries) > 100
    elif shape == "restart_every_entry":
        assert restarts == entries and max(restarts) > 50
    elif shape == "many_restarts":
        assert max(restarts) >= 256
    else:
        assert any(b"\x00\x00\x00\x00" in e.value for b in table.blocks for e in b.entries)




# How the table is damaged: the footer's magic number lost, the file cut
# right after its first block (for a tiny block, shorter than a footer), or
# cut at a fraction of its length.
DAMAGE = ["magic", "first_block", 0.3, 0.77, 0.999]


@pytest.mark.parametrize("damage", DAMAGE, ids=str)
def test_carving_gives_every_block_before_the_damage(shaped: tuple[str, Table], tmp_path: Path,
                                                     damage: str | float) -> None:
    shape, table = shaped
    if damage == "magic":
        data = table.data[:-1] + bytes([table.data[-1] ^ 0xFF])
        end = len(data)
    elif damage == "first_block":
        end = table.blocks[0].offset + table.blocks[0].size + TRAILER
        data = table.data[:end]
    else:
        end = int(len(table.data) * float(damage))
        data = table.data[:end]
    expected = records_of_blocks(table, lambda b: b.offset + b.size + TRAILER <= end)

    records = tarnwick.records(copy_with(table, tmp_path / "db", data))
    got = basename_fields(records)
    (report,) = records.report.files
    assert sorted(got, key=lambda r: r[6]) == expected
    if expected:
        assert report.status == "salvaged"
    else:
        # Nothing carved: a file too short for a footer is read as one
        # without blocks, a longer one is left out; both say why.
        assert report.status == ("read" if end < FOOTER else "left_out") and report.unread
