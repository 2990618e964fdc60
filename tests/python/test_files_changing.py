"""Files that change while a database is open, and directories with more files
than the process may open.

An opened database holds every data file open and mapped, and reads them only
when asked for records. Meanwhile other processes may delete, replace,
truncate or extend those files:

* a file unlinked (or replaced under its name) after the open is still read in
  full, from the file that was opened;
* a file extended after the open is read as far as its length at the open;
* a file truncated after the open is read as far as its new end: its records
  may be fewer (each one still a record of the file as it was), and every
  other file gives exactly what it gave before. Touching a mapped page past
  the end of a file raises SIGBUS, so these run in a child process whose death
  would show.

The scanner never follows a link among a store's entries. It lists the
entries first and opens each file only when its turn comes, so a link (or
anything but a regular file) put under a listed file's name in between is
refused then, and the file is reported as left out, with nothing read from
what stands there now.

When the process may not open any more files, the files it cannot open are
left out and the rest are read; when it cannot even list the directory, the
open fails with the "IO error: " text and nothing else goes wrong.
"""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import plyvel
import pytest

import _tarnwick
import tarnwick
from engine_db import record_fields


def write_database(path: Path) -> None:
    """Two table files (one Snappy-compressed, small blocks) and a log."""
    rng = random.Random(5)
    for compression in (None, "snappy"):
        db = plyvel.DB(str(path), create_if_missing=True, compression=compression, block_size=1024)
        for i in range(300):
            db.put(b"key-%04d-%s" % (i, compression and b"s" or b"n"), bytes(rng.randrange(97, 110) for _ in range(12)) * 5)
        db.compact_range()
        db.close()
    db = plyvel.DB(str(path))
    for i in range(200):
        db.put(b"log-%04d" % i, b"v" * rng.randrange(300))
    db.delete(b"key-0001-n")
    db.close()


@pytest.fixture(scope="module")
def engine_db(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("engine") / "db"
    write_database(path)
    kinds = [p.suffix for p in path.iterdir()]
    assert kinds.count(".ldb") >= 2 and kinds.count(".log") == 1
    return path


@pytest.fixture
def db_copy(engine_db: Path, tmp_path: Path) -> Path:
    copy = tmp_path / "db"
    shutil.copytree(engine_db, copy)
    return copy


def fields(record: _tarnwick.Record) -> tuple:
    return record_fields(record, lambda path: Path(path).name)


def read_all(path: Path) -> list[tuple]:
    with _tarnwick.RawLevelDb(str(path)) as db:
        return [fields(r) for r in db.iterate_records_raw()]


def data_files(path: Path) -> list[Path]:
    return sorted(p for p in path.iterdir() if p.suffix in (".ldb", ".log"))


def test_unlinked_and_replaced_files_are_still_read_in_full(db_copy: Path) -> None:
    expected = read_all(db_copy)
    files = data_files(db_copy)
    with _tarnwick.RawLevelDb(str(db_copy)) as db:
        files[0].unlink()  # gone
        files[1].rename(db_copy / "moved-away")  # renamed
        files[2].unlink()
        files[2].write_bytes(b"\xff" * 4096)  # another file under the old name
        for path in db_copy.iterdir():
            if path.name.startswith("MANIFEST-"):
                path.unlink()
        got = [fields(r) for r in db.iterate_records_raw()]
        again = [fields(r) for r in db.iterate_records_raw()]
    assert got == expected
    assert again == expected


def put_a_link(path: Path, outside: Path) -> None:
    path.symlink_to(outside)


LINK_IN_PLACE = "IO error: a symbolic link has taken the file's place since it was listed; it is not followed (os error 40)"
OTHER_IN_PLACE = "IO error: something other than a regular file has taken the file's place since it was listed (os error 22)"


@pytest.mark.parametrize(("put", "reason"), [
    (put_a_link, LINK_IN_PLACE),
    (lambda path, _: os.mkfifo(path), OTHER_IN_PLACE),
    (lambda path, _: path.mkdir(), OTHER_IN_PLACE),
], ids=["link", "fifo", "directory"])
def test_the_scanner_refuses_what_took_a_listed_files_place(db_copy: Path, tmp_path: Path, put, reason: str) -> None:
    last = data_files(db_copy)[-1]
    outside = tmp_path / "outside.log"
    shutil.copyfile(last, outside)  # the very records the link would lead to
    expected = [r for r in read_all(db_copy) if r[5] != last.name]
    # One worker and one record per batch: the worker waits inside the first
    # file, long before it opens the last one.
    with tarnwick.records(db_copy, threads=1, batch_rows=1) as scan:
        first = next(scan)
        last.unlink()
        put(last, outside)
        rows = [first, *scan]
        report = scan.report
    assert [fields(r) for r in rows] == expected
    assert [(f.name, f.reason) for f in report.left_out] == [(last.name, reason)]


def test_extended_files_are_read_to_their_length_at_open(db_copy: Path) -> None:
    expected = read_all(db_copy)
    with _tarnwick.RawLevelDb(str(db_copy)) as db:
        for path in data_files(db_copy):
            # A log gains a sound batch, a table garbage: neither is seen.
            with path.open("ab") as f:
                f.write(path.read_bytes()[:4096] if path.suffix == ".log" else os.urandom(70000))
        assert [fields(r) for r in db.iterate_records_raw()] == expected


# In a child process: open the directory, cut the named file to each length
# in turn (restoring it in between), and report the records of each reading.
TRUNCATE = textwrap.dedent(
    """
    import json, os, sys
    import _tarnwick

    directory, name, lengths = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    path = os.path.join(directory, name)
    with open(path, "rb") as f:
        original = f.read()

    def fields(r):
        return [r.key.hex(), r.value.hex(), r.seq, int(r.state), int(r.file_type),
                os.path.basename(r.origin_file), r.offset, r.was_compressed]

    results = []
    with _tarnwick.RawLevelDb(directory) as db:
        for length in lengths:
            os.truncate(path, length)
            results.append([fields(r) for r in db.iterate_records_raw()])
            # Back to whole: the same bytes at the same place (the mapping
            # shows the file's page cache, so this undoes the cut).
            with open(path, "r+b") as f:
                f.write(original)
        results.append([fields(r) for r in db.iterate_records_raw()])
    print(json.dumps(results))
    """
)


def cut_points(length: int) -> list[int]:
    points = {0, 1, 47, 48, length // 3, length // 2, length - 48, length - 1, 32768, 32769}
    points |= set(range(0, length, 4096))
    return sorted(p for p in points if 0 <= p < length)


def as_row(record: tuple) -> tuple:
    """A record's fields as the child process reports them."""
    return tuple(field.hex() if isinstance(field, bytes) else field for field in record)


@pytest.mark.parametrize("kind", [".ldb", ".log"])
def test_truncated_after_open(db_copy: Path, kind: str) -> None:
    expected = [as_row(r) for r in read_all(db_copy)]
    for target in [p for p in data_files(db_copy) if p.suffix == kind]:
        lengths = cut_points(target.stat().st_size)
        done = subprocess.run(
            [sys.executable, "-c", TRUNCATE, str(db_copy), target.name, json.dumps(lengths)],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == 0, f"child died ({done.returncode}) on {target.name}: {done.stderr[-2000:]}"
        *cut_readings, restored = [[tuple(r) for r in reading] for reading in json.loads(done.stdout)]
        assert restored == expected
        others = [r for r in expected if r[5] != target.name]
        mine = [r for r in expected if r[5] == target.name]
        for length, reading in zip(lengths, cut_readings):
            assert [r for r in reading if r[5] != target.name] == others, f"cut at {length}"
            from_target = [r for r in reading if r[5] == target.name]
            assert set(from_target) <= set(mine), f"cut at {length}: records the file never held"
            if kind == ".log":
                # A log is read front to back: what remains is a prefix.
                assert from_target == mine[: len(from_target)], f"cut at {length}"
        if kind == ".log":
            assert cut_readings[lengths.index(0)] == others


# In a child process: lower the descriptor limit, then open the directory.
FEW_DESCRIPTORS = textwrap.dedent(
    """
    import json, os, resource, sys
    import _tarnwick

    directory, spare = sys.argv[1], int(sys.argv[2])
    # The limit bounds descriptor numbers, and a new descriptor takes the
    # lowest free number: from the lowest free one, `spare` more fit.
    lowest_free = os.open(os.devnull, os.O_RDONLY)
    os.close(lowest_free)
    resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free + spare, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
    try:
        with _tarnwick.RawLevelDb(directory) as db:
            records = db.iterate_records_raw()
            result = {"names": sorted({os.path.basename(r.origin_file) for r in records}), "records": len(records)}
    except ValueError as error:
        result = {"error": str(error)}
    print(json.dumps(result))
    """
)


def open_with_spare_descriptors(directory: Path, spare: int) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", FEW_DESCRIPTORS, str(directory), str(spare)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)


def test_more_files_than_descriptors(tmp_path: Path, engine_db: Path) -> None:
    # 300 copies of the engine's log, far more than the 40 descriptors allowed.
    log = next(p for p in data_files(engine_db) if p.suffix == ".log")
    directory = tmp_path / "many"
    directory.mkdir()
    for number in range(1, 301):
        shutil.copy(log, directory / f"{number:06d}.log")
    shutil.copy(next(engine_db.glob("MANIFEST-*")), directory)
    single = tmp_path / "single"
    single.mkdir()
    shutil.copy(log, single / log.name)
    per_file = len(read_all(single))

    result = open_with_spare_descriptors(directory, 40)
    assert "error" not in result
    # Some files were left out, and each file that was opened gave all its records.
    assert 0 < len(result["names"]) < 300
    assert result["records"] == per_file * len(result["names"])

    # No descriptor to spare: even the directory cannot be listed, which is
    # one of the two errors that stop an open.
    result = open_with_spare_descriptors(directory, 0)
    assert result["error"].startswith("IO error: ") and "(os error 24)" in result["error"]
