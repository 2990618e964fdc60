"""A damaged index entry costs only its own block.

The engine writes an uncompressed table; then one index entry is damaged so
that its block spans its own block and the next. Every block listed by an
intact entry must still give all its records: the damage may add what the
widened block's bytes decode to, but may hide nothing.
"""

from __future__ import annotations

import shutil
from pathlib import Path

import plyvel
import pytest

import _tarnwick
from engine_db import read_table, read_varint


@pytest.fixture(scope="module")
def engine_table(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("engine") / "db"
    db = plyvel.DB(str(path), create_if_missing=True, compression=None, block_size=1024)
    for i in range(2000):
        db.put(b"key-%05d" % i, b"value-%05d-" % i * 4)
    db.compact_range()
    db.close()
    (log,) = path.glob("*.log")
    log.unlink()  # only the table remains to be read
    (table,) = path.glob("*.ldb")
    assert len(read_table(table).blocks) > 20
    return path


def records_by_key(directory: Path) -> dict[bytes, bytes]:
    with _tarnwick.RawLevelDb(str(directory)) as db:
        return {r.user_key: r.value for r in db.iterate_records_raw()}


def widen_index_entry(table_path: Path, which: int) -> None:
    """Rewrites the size of index entry `which` so that its block reaches over
    the next one (its trailer and contents), keeping the varint's width."""
    table = read_table(table_path)
    entry = table.index.entries[which]
    size_at = read_varint(entry.value, 0)[1]
    old_size = table.blocks[which].size
    new_size = old_size + 5 + table.blocks[which + 1].size
    old, new = _varint(old_size), _varint(new_size)
    assert len(old) == len(new) and entry.value[size_at:] == old
    # Where the entry's value lies in the file: the index block is stored
    # uncompressed, so its contents are the file's bytes at its offset.
    at = table.index.offset + entry.end - len(entry.value) + size_at
    data = bytearray(table.data)
    assert data[at : at + len(old)] == old
    data[at : at + len(new)] = new
    table_path.write_bytes(bytes(data))


def _varint(value: int) -> bytes:
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


@pytest.mark.parametrize("which", [0, 1, 10])
def test_a_widened_index_entry_hides_no_intact_block(engine_table: Path, tmp_path: Path, which: int) -> None:
    sound = records_by_key(engine_table)
    assert len(sound) == 2000
    damaged = tmp_path / "db"
    shutil.copytree(engine_table, damaged)
    (table,) = damaged.glob("*.ldb")
    widen_index_entry(table, which)
    found = records_by_key(damaged)
    assert {k: v for k, v in found.items() if k in sound} == sound
