"""Salvage of tables whose end or index is lost.

The engine writes one table, Snappy-compressed or not; copies of it are cut
short at many points, or have their index or footer damaged. The scanner must
give back every record of every data block lying wholly before the damage,
exactly as an intact read would give them, and report the file `salvaged`
with the byte ranges it carved. RawLevelDb, and a scan with salvage=False,
still leave such a table out.
"""

from __future__ import annotations

import random
import subprocess
import sys
from pathlib import Path

import plyvel
import pytest

import _tarnwick
import craft
import tarnwick
from engine_db import Table, basename_fields, copy_with, read_table, records_of_blocks

TRAILER = 5
CUTS = (0.05, 0.2, 0.37, 0.5, 0.7, 0.83, 0.95, 0.999)


def _write_table(path: Path, compression: str | None) -> Path:
    db = plyvel.DB(str(path), create_if_missing=True, compression=compression, block_size=1024,
                   bloom_filter_bits=10)
    rng = random.Random(5)
    for i in range(3000):
        # Half text, half random bytes: blocks of both kinds compress unevenly.
        value = b"value-%05d-" % i * rng.randint(1, 6) + rng.randbytes(rng.randint(0, 40))
        db.put(b"key-%05d" % i, value)
        if i % 7 == 0:
            db.delete(b"key-%05d" % (i // 2))
    db.compact_range()
    db.close()
    for log in path.glob("*.log"):
        log.unlink()  # only the table remains to be read
    (table,) = path.glob("*.ldb")
    return table


@pytest.fixture(scope="module", params=["snappy", None], ids=["snappy", "raw"])
def engine_table(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Table:
    table = read_table(_write_table(tmp_path_factory.mktemp("engine") / "db", request.param))
    assert len(table.blocks) > 40
    assert all(b.compressed for b in table.blocks) == (request.param == "snappy")
    return table


def _scan(directory: Path, **options: object) -> tuple[list[tuple[object, ...]], tarnwick.FileReport]:
    records = tarnwick.records(directory, **options)  # type: ignore[arg-type]
    got = basename_fields(records)
    (report,) = records.report.files
    return got, report


@pytest.mark.parametrize("fraction", CUTS)
def test_a_cut_table_gives_every_block_before_the_cut(engine_table: Table, tmp_path: Path, fraction: float) -> None:
    cut = int(len(engine_table.data) * fraction)
    directory = copy_with(engine_table, tmp_path / "db", engine_table.data[:cut])
    expected = records_of_blocks(engine_table, lambda b: b.offset + b.size + TRAILER <= cut)
    assert expected, "the cut leaves at least one whole block"

    got, report = _scan(directory)
    assert got == expected
    assert report.status == "salvaged" and report.reason
    whole = [b for b in engine_table.blocks if b.offset + b.size + TRAILER <= cut]
    assert report.carved == ((0, whole[-1].offset + whole[-1].size + TRAILER),)
    assert report.unread[-1].end == cut

    # Neither the module nor a scan that does not salvage reads it.
    with _tarnwick.RawLevelDb(str(directory)) as db:
        assert list(db.iterate_records_raw()) == []
    got, report = _scan(directory, salvage=False)
    assert got == [] and report.status == "left_out"
    assert tarnwick.inspect(directory, salvage=False).files[0].status == "left_out"


def _damage_index_entry(table: Table, which: int) -> bytes:
    """The table with a new, uncompressed index in place of its footer, whose
    entry `which` points past the end of the file, and a footer naming it."""
    entries = [(e.key, e.value) for e in table.index.entries]
    entries[which] = (entries[which][0], craft.block_handle(len(table.data) * 2, 100))
    index = craft.block_contents(entries).data
    start = len(table.data) - craft.FOOTER_SIZE
    return (table.data[:start] + index + craft.block_trailer(0)
            + craft.table_footer(craft.block_handle(table.meta_index.offset, table.meta_index.size),
                                 craft.block_handle(start, len(index))))


def _damage_magic(table: Table) -> bytes:
    return table.data[:-1] + bytes([table.data[-1] ^ 0xFF])


DAMAGE = {
    "first_index_entry": lambda t: (_damage_index_entry(t, 0), {0}),
    "middle_index_entry": lambda t: (_damage_index_entry(t, 20), {20}),
    "last_index_entry": lambda t: (_damage_index_entry(t, len(t.blocks) - 1), {len(t.blocks) - 1}),
    "magic": lambda t: (_damage_magic(t), set(range(len(t.blocks)))),
}


@pytest.mark.parametrize("damage", DAMAGE)
def test_blocks_the_index_lost_are_carved(engine_table: Table, tmp_path: Path, damage: str) -> None:
    data, carved_blocks = DAMAGE[damage](engine_table)
    directory = copy_with(engine_table, tmp_path / "db", data)
    expected = records_of_blocks(engine_table, lambda b: True)

    got, report = _scan(directory)
    assert sorted(got, key=lambda r: r[6]) == expected
    assert report.status == "salvaged"
    ranges = sorted((b.offset, b.offset + b.size + TRAILER) for i, b in enumerate(engine_table.blocks)
                    if i in carved_blocks)
    merged: list[tuple[int, int]] = []
    for begin, end in ranges:
        if merged and merged[-1][1] == begin:
            merged[-1] = (merged[-1][0], end)
        else:
            merged.append((begin, end))
    assert report.carved == tuple(merged)

    got, report = _scan(directory, salvage=False)
    assert len(got) < len(expected)


def _flip(data: bytes, at: int) -> bytes:
    return data[:at] + bytes([data[at] ^ 0x40]) + data[at + 1:]


# The part of a table read without its footer that gets a byte changed
# besides, and the parts where what is then reported unread (the footer apart)
# begins and ends. A damaged meta-index no longer vouches for the filter.
META_DAMAGE = {
    "none": (None, None, None),
    "data_block": ("block", "block", "block_end"),
    "filter": ("filter", "filter", "meta_index"),
    "meta_index": ("meta_index", "filter", "index"),
}


@pytest.mark.parametrize("damage", META_DAMAGE)
def test_the_filter_and_meta_index_are_not_reported_lost(engine_table: Table, tmp_path: Path, damage: str) -> None:
    """A table read without its footer: the filter block and the meta-index
    that lists it lie between the last data block and the index, where
    carving finds no block of entries; whole by their checksums, they are the
    table's, not lost bytes. Damaged, they are reported like any other."""
    data = engine_table.data
    middle = engine_table.blocks[len(engine_table.blocks) // 2]
    last = engine_table.blocks[-1]
    starts = {
        "block": middle.offset, "block_end": middle.offset + middle.size + TRAILER,
        "filter": last.offset + last.size + TRAILER,
        "meta_index": engine_table.meta_index.offset, "index": engine_table.index.offset,
    }
    assert starts["filter"] < starts["meta_index"], "the engine wrote a filter block"
    data = _damage_magic(engine_table)
    flipped, begin, end = META_DAMAGE[damage]
    if flipped is not None:
        data = _flip(data, starts[flipped] + 1)
    directory = copy_with(engine_table, tmp_path / "db", data)

    got, report = _scan(directory)
    assert report.status == "salvaged"
    footer = (len(data) - craft.FOOTER_SIZE, len(data))
    lost = [] if begin is None else [(starts[begin], starts[end])]
    assert [(r.begin, r.end) for r in report.unread] == [*lost, footer]
    assert sorted(got, key=lambda r: r[6]) == records_of_blocks(engine_table, lambda b: b is not middle or flipped != "block")


def test_an_intact_table_is_read_not_salvaged(engine_table: Table) -> None:
    report = tarnwick.inspect(engine_table.path.parent)
    assert [f.status for f in report.files] == ["read"]
    assert report.files[0].carved == ()


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_bytes_give_nothing(tmp_path: Path, seed: int) -> None:
    rng = random.Random(seed)
    directory = tmp_path / "db"
    directory.mkdir()
    (directory / "000005.ldb").write_bytes(rng.randbytes(300_000))
    got, report = _scan(directory)
    assert got == []
    assert report.status == "left_out" and report.carved == ()
    assert [(r.begin, r.end, r.reason) for r in report.unread] == [(0, 300_000, report.reason)]


@pytest.mark.parametrize("options", [(), ("--no-salvage",)], ids=["salvage", "no_salvage"])
def test_summary_shows_a_salvaged_table(engine_table: Table, tmp_path: Path, options: tuple[str, ...]) -> None:
    directory = copy_with(engine_table, tmp_path / "db", _damage_magic(engine_table))
    result = subprocess.run([sys.executable, "-m", "tarnwick", "summary", str(directory), *options],
                            capture_output=True, text=True, check=True)
    (row,) = [line for line in result.stdout.splitlines() if line.startswith(engine_table.path.name)]
    if options:
        assert "left out" in row
    else:
        assert "salvaged" in row and str(sum(len(b.entries) for b in engine_table.blocks)) in row.split()
