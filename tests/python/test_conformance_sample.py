"""The bundled sample database (tests/fixtures/sample_db) reads as written.

tests/fixtures/make_sample_db.py wrote it with the LevelDB engine; the counts
below follow from what that script writes, step by step.
"""

from __future__ import annotations

import collections
import dataclasses
import importlib.util
import os
from pathlib import Path
from types import ModuleType

import pytest
from _tarnwick import RawLevelDb
from engine_db import DELETED, LDB, LIVE, LOG, UNKNOWN, Kind, RecordView, expected_records, scratch_dir

FIXTURES = Path(__file__).resolve().parent.parent / "fixtures"
SAMPLE = FIXTURES / "sample_db"


def load_maker() -> ModuleType:
    spec = importlib.util.spec_from_file_location("make_sample_db", FIXTURES / "make_sample_db.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def read(path: Path) -> list[RecordView]:
    with RawLevelDb(str(path)) as db:
        return [RecordView.of(r) for r in db.iterate_records_raw()]


@pytest.fixture(scope="module")
def records() -> list[RecordView]:
    return read(SAMPLE)


def test_directory_holds_the_engine_files_but_no_lock() -> None:
    assert sorted(os.listdir(SAMPLE)) == ["000005.ldb", "000006.log", "000007.ldb", "CURRENT", "LOG", "MANIFEST-000002"]


def test_counts_by_file_and_state(records: list[RecordView]) -> None:
    counts = collections.Counter((os.path.basename(r.origin_file), r.file_type, r.state) for r in records)
    assert counts == {
        # Step 1, compacted: 160 users and 20 config keys.
        ("000005.ldb", LDB, LIVE): 180,
        # Step 3, the active log. Its number is below the second table's: the
        # engine starts a new log before it writes the flushed table.
        ("000006.log", LOG, LIVE): 40,
        ("000006.log", LOG, DELETED): 15,
        # Step 2, flushed: 60 overwrites and the zero-byte key; 30 deletions;
        # the empty key, whose 8-byte stored key says nothing of its state.
        ("000007.ldb", LDB, LIVE): 61,
        ("000007.ldb", LDB, DELETED): 30,
        ("000007.ldb", LDB, UNKNOWN): 1,
    }
    by_type = collections.Counter((r.file_type, r.state) for r in records)
    assert by_type == {(LDB, LIVE): 241, (LDB, DELETED): 30, (LDB, UNKNOWN): 1, (LOG, LIVE): 40, (LOG, DELETED): 15}


def test_tables_are_compressed_and_the_log_is_not(records: list[RecordView]) -> None:
    assert {r.was_compressed for r in records if r.file_type == LDB} == {True}
    assert {r.was_compressed for r in records if r.file_type == LOG} == {False}


def test_records_are_what_the_files_hold(records: list[RecordView]) -> None:
    assert records == expected_records(str(SAMPLE))


def test_every_write_is_there_once_and_the_newest_wins(records: list[RecordView]) -> None:
    with scratch_dir() as scratch:
        ops = load_maker().write_sample(scratch / "db")
    assert len(ops) == len(records) == 327
    assert {(r.user_key, r.seq) for r in records} == {(op.key, op.seq) for op in ops}
    by_id = {(r.user_key, r.seq): r for r in records}
    for op in ops:
        r = by_id[(op.key, op.seq)]
        assert r.value == op.value
        if op.key == b"":
            assert r.state == UNKNOWN
        else:
            assert r.state == (LIVE if op.kind is Kind.PUT else DELETED)
    # Newest version of each key, as the engine would answer.
    newest: dict[bytes, RecordView] = {}
    for r in records:
        if r.user_key not in newest or r.seq > newest[r.user_key].seq:
            newest[r.user_key] = r
    assert newest[b"user:005"].value.startswith(b'{"name": "user 005", "version": 3')
    assert newest[b"user:045"].value.startswith(b'{"name": "user 045", "version": 2')
    assert newest[b"user:065"].state == DELETED and newest[b"user:065"].file_type == LOG
    assert newest[b"user:115"].state == DELETED and newest[b"user:115"].file_type == LDB
    assert newest[b"config:002"].state == DELETED
    assert newest[b"bin\x00key"].value == b"a key with a zero byte"


def test_the_script_writes_the_same_records(records: list[RecordView]) -> None:
    """The committed copy is what make_sample_db.py writes (byte offsets in
    compressed tables depend on the compressor and are left out)."""
    with scratch_dir() as scratch:
        load_maker().make(scratch / "sample")
        fresh = read(scratch / "sample")

    def content(rs: list[RecordView]) -> list[tuple[object, ...]]:
        return [
            (os.path.basename(r.origin_file),) + dataclasses.astuple(dataclasses.replace(r, origin_file="", offset=0))
            for r in rs
        ]

    assert content(fresh) == content(records)
