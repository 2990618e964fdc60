"""The scanner delivers exactly the records of RawLevelDb.iterate_records_raw,
in the same order: on every conformance database the engine wrote, on damaged
copies of engine-written files, forwards and in reverse, on one thread and on
several, and with batches small enough that files are split across them."""

from __future__ import annotations

import random
from pathlib import Path

import pyarrow as pa
import pytest

import _tarnwick
import tarnwick
from test_conformance import ALL, Built, built  # noqa: F401 (the fixture)
from test_damage_sweep import (
    LogLayout,
    TableLayout,
    engine_files,  # noqa: F401 (the fixture)
    log_damages,
    sweep,
    table_damages,
)

# (threads, batch_rows, batch_bytes): the defaults, many threads with tiny
# batches (files split across many batches and units), and one thread.
SETTINGS = [
    pytest.param(2, 65_536, 4 << 20, id="defaults"),
    pytest.param(4, 7, 1 << 20, id="4threads-7rows"),
    pytest.param(1, 1_000, 5_000, id="1thread-5kB"),
]


def name(member: object) -> str:
    """The member name of a KeyState or FileType ("KeyState.Live" -> "Live")."""
    return str(member).rpartition(".")[2]


def expected(path: Path, reverse: bool) -> list[tuple]:
    with _tarnwick.RawLevelDb(str(path)) as db:
        return [
            (r.key, r.user_key, r.value, r.seq, name(r.state), name(r.file_type), r.origin_file, r.offset,
             r.was_compressed)
            for r in db.iterate_records_raw(reverse=reverse)
        ]


def from_arrow(table: pa.Table) -> list[tuple]:
    columns = ["key", "user_key", "value", "seq", "state", "file_type", "file", "offset", "was_compressed"]
    return list(zip(*(table.column(c).to_pylist() for c in columns)))


def from_records(path: Path, reverse: bool, threads: int) -> list[tuple]:
    return [
        (r.key, r.user_key, r.value, r.seq, name(r.state), name(r.file_type), r.origin_file, r.offset,
         r.was_compressed)
        for r in tarnwick.records(path, reverse=reverse, threads=threads, batch_rows=100, salvage=False)
    ]


@pytest.mark.parametrize("built", ALL, indirect=True)
@pytest.mark.parametrize("threads,batch_rows,batch_bytes", SETTINGS)
def test_scan_equals_the_list_on_engine_databases(built: Built, threads: int, batch_rows: int,
                                                   batch_bytes: int) -> None:
    for reverse in (False, True):
        want = expected(built.path, reverse)
        # A table still being written when the engine stopped has no footer yet:
        # the list leaves it out, and so does a scan that does not salvage.
        s = tarnwick.scan(str(built.path), reverse=reverse, threads=threads, batch_rows=batch_rows,
                          batch_bytes=batch_bytes, salvage=False)
        got = from_arrow(pa.table(s))
        assert len(got) == len(want)
        assert got == want
        report = s.report
        assert report is not None and report.finished
        # A snapshot taken while the engine writes may hold a table cut short:
        # the records are still those of the list, but the read is not complete.
        whole = all(f.status == "read" and not f.unread for f in report.files)
        assert report.complete == (whole and not report.not_admitted and not report.links)
        assert report.records == len(want)


@pytest.mark.parametrize("built", ALL[:3], indirect=True)
def test_records_equal_the_list(built: Built) -> None:
    assert from_records(built.path, False, 2) == expected(built.path, False)
    assert from_records(built.path, True, 3) == expected(built.path, True)


def damaged_copies(engine_files, kind: str, tmp_path: Path, every: int):  # noqa: F811
    """(directory, damage name) for every `every`-th damaged copy of each file of a kind."""
    for label, data, path in sweep(engine_files, kind, tmp_path):
        if kind == ".ldb":
            damages = table_damages(data, TableLayout.of(data), random.Random(label))
        else:
            damages = log_damages(data, LogLayout.of(data), random.Random(label))
        for i, damage in enumerate(damages):
            if i % every == 0:
                path.write_bytes(damage.data)
                yield path.parent, f"{label}: {damage.name}"


@pytest.mark.parametrize("kind", [".ldb", ".log"])
def test_scan_equals_the_list_on_damaged_copies(engine_files, kind: str, tmp_path: Path) -> None:  # noqa: F811
    tried = 0
    for directory, name in damaged_copies(engine_files, kind, tmp_path, every=7):
        want = expected(directory, False)
        # The list leaves out a table it cannot open; so does a scan that does not salvage.
        got = from_arrow(pa.table(tarnwick.scan(directory, threads=2, batch_rows=50, salvage=False)))
        assert got == want, name
        # Salvage only adds records.
        salvaged = from_arrow(pa.table(tarnwick.scan(directory, threads=2, batch_rows=50)))
        assert not set(want) - set(salvaged), name
        tried += 1
    assert tried > 50
