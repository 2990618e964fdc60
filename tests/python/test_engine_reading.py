"""Reading databases that the real LevelDB engine (plyvel) wrote.

Every write is journalled on the side with the sequence number the engine
gives it (one per entry, counting up from 1 across the database's life), so
each test knows exactly which records each file must hold:

* a log file holds the entries of the write batches since the last flush, in
  write order;
* a table file made by flushing a log holds the same entries as internal keys
  (user key + 8-byte trailer), sorted by user key and then newest first; a
  flush keeps every version and every deletion.

The engine flushes a log into a table file when it reopens the database, so
``close`` then reopen is how these tests turn writes into table files.
"""

from __future__ import annotations

import os
import random
import shutil
from dataclasses import dataclass, field
from pathlib import Path

import plyvel
import pytest

from _tarnwick import FileType, KeyState, RawLevelDb
from craft import internal_key
from engine_db import TableBlock, read_table, read_varint

# --------------------------------------------------------------------------
# Writing through the engine, with a journal of what was written
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class Written:
    key: bytes
    value: bytes
    seq: int
    state: KeyState


@dataclass
class Journal:
    """The engine's writes, one list per session (open to close)."""

    seq: int = 0
    sessions: list[list[Written]] = field(default_factory=list)

    def open(self, path: Path, **options) -> plyvel.DB:
        self.sessions.append([])
        return plyvel.DB(str(path), create_if_missing=True, **options)

    def _note(self, key: bytes, value: bytes | None) -> None:
        self.seq += 1
        state = KeyState.Deleted if value is None else KeyState.Live
        self.sessions[-1].append(Written(key, value or b"", self.seq, state))

    def put(self, db: plyvel.DB, key: bytes, value: bytes) -> None:
        db.put(key, value)
        self._note(key, value)

    def delete(self, db: plyvel.DB, key: bytes) -> None:
        db.delete(key)
        self._note(key, None)

    def batch(self, db: plyvel.DB, ops: list[tuple[bytes, bytes | None]]) -> None:
        """One write batch; an op with value None is a deletion."""
        with db.write_batch() as wb:
            for key, value in ops:
                if value is None:
                    wb.delete(key)
                else:
                    wb.put(key, value)
        for key, value in ops:
            self._note(key, value)


def as_log(written: list[Written]) -> list[tuple]:
    """The records a log file gives for these writes: in write order, the key as written."""
    return [(w.key, w.value, w.seq, w.state) for w in written]


def as_table(written: list[Written]) -> list[tuple]:
    """The records a flushed table gives: internal keys, by user key then newest first."""
    ordered = sorted(written, key=lambda w: (w.key, -w.seq))
    return [(internal_key(w.key, w.seq, int(w.state)), w.value, w.seq, w.state) for w in ordered]


def seen(records) -> list[tuple]:
    return [(r.key, r.value, r.seq, r.state) for r in records]


def read(path: Path, *, reverse: bool = False):
    with RawLevelDb(str(path)) as db:
        return db.iterate_records_raw(reverse=reverse)


def data_files(path: Path) -> list[str]:
    return sorted(n for n in os.listdir(path) if n.endswith((".ldb", ".sst", ".log")))


# --------------------------------------------------------------------------
# An independent look at a table file's layout: footer, index, blocks.
# Used only to check where records say they are.
# --------------------------------------------------------------------------


def check_table_offsets(path: Path, records) -> tuple[TableBlock, ...]:
    """Each record of a stored block must sit at its entry's first byte; each
    record of a compressed block must carry the block's offset. Returns the
    file's blocks."""
    table = read_table(path)
    expected = []
    for block in table.blocks:
        for entry in block.entries:
            offset = block.offset if block.compressed else block.offset + entry.pos
            expected.append((entry.key, entry.value, offset, block.compressed))
    assert [(r.key, r.value, r.offset, r.was_compressed) for r in records] == expected
    # The stored entries, decoded straight from the file at the record's
    # offset: the key's last non_shared bytes and the value follow the varints.
    data = table.data
    for record in records:
        if record.was_compressed:
            continue
        shared, pos = read_varint(data, record.offset)
        non_shared, pos = read_varint(data, pos)
        value_length, pos = read_varint(data, pos)
        assert shared + non_shared == len(record.key)
        assert data[pos : pos + non_shared] == record.key[shared:]
        assert data[pos + non_shared : pos + non_shared + value_length] == record.value
    return table.blocks


# --------------------------------------------------------------------------
# Log files
# --------------------------------------------------------------------------


def test_log_holds_every_put_and_delete(tmp_path):
    rng = random.Random(20240601)
    journal = Journal()
    db = journal.open(tmp_path)
    journal.put(db, b"apple", b"red")
    journal.put(db, b"apple", b"green")  # overwrite
    journal.delete(db, b"apple")
    journal.delete(db, b"never written")
    journal.put(db, b"", b"empty key")
    journal.put(db, b"empty value", b"")
    journal.put(db, b"\x00\xff\x80binary", rng.randbytes(40))
    journal.batch(db, [(b"b1", b"x"), (b"b2", None), (b"b1", b"y"), (b"b3", b"z" * 300)])
    journal.batch(db, [])  # the engine logs an empty batch; it holds no record
    journal.batch(db, [(b"pear", None)])
    journal.put(db, b"last", b"one")
    db.close()

    assert data_files(tmp_path) == ["000003.log"]
    records = read(tmp_path)
    assert seen(records) == as_log(journal.sessions[0])
    assert all(r.file_type == FileType.Log and r.was_compressed is False for r in records)
    assert {r.origin_file for r in records} == {str(tmp_path / "000003.log")}
    assert all(r.user_key == r.key for r in records)
    # The first batch is one full physical record at the start of the file:
    # its records are placed just past it, plus the batch header.
    first_payload = 12 + len(b"\x01\x05apple\x03red")
    assert records[0].offset == 7 + first_payload + 12
    offsets = [r.offset for r in records]
    assert offsets == sorted(set(offsets))


def test_large_values_come_out_whole(tmp_path):
    # Values that end near, at and far beyond the 32 KiB block boundaries,
    # so that batches are cut into first/middle/last fragments.
    rng = random.Random(7)
    sizes = [32768 - 7 - 12 - 3 - 3, 32768, 40000, 100_000, 5, 300_000, 0]
    journal = Journal()
    db = journal.open(tmp_path)
    for i, size in enumerate(sizes):
        journal.put(db, b"k%d" % i, rng.randbytes(size))
    # One batch of many entries, itself larger than two blocks.
    journal.batch(db, [(b"many%03d" % i, rng.randbytes(1500)) for i in range(60)])
    db.close()

    assert data_files(tmp_path) == ["000003.log"]
    records = read(tmp_path)
    assert [len(r.value) for r in records[: len(sizes)]] == sizes
    assert seen(records) == as_log(journal.sessions[0])


# --------------------------------------------------------------------------
# Table files
# --------------------------------------------------------------------------


def write_varied(journal: Journal, db: plyvel.DB, rng: random.Random) -> None:
    """Compressible values, incompressible ones, overwrites and deletions."""
    for i in range(200):
        journal.put(db, b"key%04d" % i, b"value-%04d " % i * 8)
    for i in range(60):
        journal.put(db, b"rnd%03d" % i, rng.randbytes(120))
    for i in range(0, 200, 7):
        journal.put(db, b"key%04d" % i, b"second version %d" % i)
    for i in range(0, 200, 11):
        journal.delete(db, b"key%04d" % i)
    journal.batch(db, [(b"key0001", None), (b"key0002", b"batched"), (b"zzz", b"end")])


@pytest.mark.parametrize(
    "options",
    [
        {"compression": None},
        {"compression": "snappy"},
        {"compression": None, "bloom_filter_bits": 10},  # adds a filter meta block
        {"compression": "snappy", "bloom_filter_bits": 10},
    ],
    ids=["stored", "snappy", "stored-filter", "snappy-filter"],
)
def test_table_file_holds_exactly_what_was_flushed(tmp_path, options):
    options = {**options, "block_size": 1024}
    journal = Journal()
    db = journal.open(tmp_path, **options)
    write_varied(journal, db, random.Random(99))
    db.close()
    db = journal.open(tmp_path, **options)  # recovery flushes the log into a table
    db.close()

    files = data_files(tmp_path)
    assert len(files) == 2 and files[0].endswith(".ldb") and files[1].endswith(".log")
    assert (tmp_path / files[1]).stat().st_size == 0
    records = read(tmp_path)
    assert seen(records) == as_table(journal.sessions[0])
    assert all(r.file_type == FileType.Ldb for r in records)
    assert all(r.user_key == r.key[:-8] for r in records)

    blocks = check_table_offsets(tmp_path / files[0], records)
    assert len(blocks) > 20
    compressed = {r.was_compressed for r in records}
    if options["compression"] is None:
        assert compressed == {False}
    else:
        # Repetitive values compress; random ones do not pay and stay stored.
        assert compressed == {False, True}


# --------------------------------------------------------------------------
# A database of several table files and a log
# --------------------------------------------------------------------------


@dataclass
class SessionsDb:
    path: Path
    journal: Journal
    # File name -> the records it must give, as from seen().
    expected: dict[str, list[tuple]]


@pytest.fixture(scope="module")
def sessions_db(tmp_path_factory) -> SessionsDb:
    """Four sessions: the first three end up flushed into three table files
    (the last one compressed), the fourth stays in the log."""
    path = tmp_path_factory.mktemp("engine") / "db"
    journal = Journal()
    plan = [
        {"compression": None},
        {"compression": None},
        {"compression": "snappy"},
        {"compression": "snappy"},
    ]
    for session, options in enumerate(plan):
        db = journal.open(path, block_size=1024, **options)
        if session == 0:
            for i in range(120):
                journal.put(db, b"user:%03d" % i, b"profile %d " % i * 5)
        elif session == 1:
            for i in range(0, 120, 3):
                journal.put(db, b"user:%03d" % i, b"updated %d" % i)
            for i in range(1, 120, 5):
                journal.delete(db, b"user:%03d" % i)
        elif session == 2:
            journal.batch(db, [(b"user:%03d" % i, None) for i in range(100, 120)])
            for i in range(50):
                journal.put(db, b"order:%03d" % i, b"item %d " % i * 10)
        else:
            journal.put(db, b"user:000", b"in the log")
            journal.delete(db, b"order:000")
            journal.batch(db, [(b"late", b"1"), (b"late", None)])
        db.close()

    files = data_files(path)
    tables = [n for n in files if n.endswith(".ldb")]
    logs = [n for n in files if n.endswith(".log")]
    assert len(tables) == 3 and len(logs) == 1
    expected = {name: as_table(journal.sessions[i]) for i, name in enumerate(tables)}
    expected[logs[0]] = as_log(journal.sessions[3])
    return SessionsDb(path, journal, expected)


def grouped(records) -> list[tuple[str, list[tuple]]]:
    """Records grouped by file name, in the order the files come."""
    groups: list[tuple[str, list[tuple]]] = []
    for record in records:
        name = os.path.basename(record.origin_file)
        if not groups or groups[-1][0] != name:
            groups.append((name, []))
        groups[-1][1].append((record.key, record.value, record.seq, record.state))
    return groups


def file_number(name: str) -> int:
    return int(name.split(".")[0])


def test_every_record_of_every_file_in_file_number_order(sessions_db):
    records = read(sessions_db.path)
    names = sorted(sessions_db.expected, key=file_number)
    assert grouped(records) == [(name, sessions_db.expected[name]) for name in names]
    # Old versions and deletions are all there: nothing was merged away.
    written = sum(len(s) for s in sessions_db.journal.sessions)
    assert len(records) == written
    assert [r.file_type for r in records].count(FileType.Log) == len(sessions_db.journal.sessions[3])


def test_reverse_mirrors_the_file_order_only(sessions_db):
    forward = grouped(read(sessions_db.path))
    backward = grouped(read(sessions_db.path, reverse=True))
    assert backward == forward[::-1]


def test_table_offsets_of_an_engine_database(sessions_db):
    records = read(sessions_db.path)
    for name, _ in grouped(records):
        if name.endswith(".ldb"):
            mine = [r for r in records if r.origin_file.endswith("/" + name)]
            check_table_offsets(sessions_db.path / name, mine)
    assert {r.was_compressed for r in records if r.file_type == FileType.Ldb} == {False, True}


def test_file_order_with_equal_numbers(sessions_db, tmp_path):
    # Copies under chosen names. Numbers are read from the digits as base 16,
    # which keeps the decimal order: 000009 before 000010. Files of equal
    # number keep the order in which the directory is listed (by name here:
    # .ldb before .log), and reverse mirrors that order exactly.
    tables = sorted((n for n in sessions_db.expected if n.endswith(".ldb")), key=file_number)
    log = next(n for n in sessions_db.expected if n.endswith(".log"))
    copies = {
        "000010.ldb": tables[0],
        "000005.log": log,
        "000009.sst": tables[1],
        "000005.ldb": tables[2],
        "000004.log": log,
    }
    for new_name, source in copies.items():
        shutil.copyfile(sessions_db.path / source, tmp_path / new_name)
    order = ["000004.log", "000005.ldb", "000005.log", "000009.sst", "000010.ldb"]
    expected = [(name, sessions_db.expected[copies[name]]) for name in order]

    assert grouped(read(tmp_path)) == expected
    assert grouped(read(tmp_path, reverse=True)) == expected[::-1]
