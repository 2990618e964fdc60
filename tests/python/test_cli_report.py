"""Nothing left out silently: what ``summary`` and ``dump`` say about files
that were not read, ``--strict``, the hint for a folder above a store, and the
stores that used to end in a traceback. Run as a subprocess."""

from __future__ import annotations

import json
import os
import resource
import shutil
import subprocess
import sys
from pathlib import Path

import plyvel
import pytest

from craft import TableWriter, block_entry, fixed64, internal_key, restart_array
import tarnwick
from tarnwick import RawLevelDb


def run(*args: str, limits: dict[int, int] | None = None) -> subprocess.CompletedProcess[str]:
    def limit() -> None:
        for which, value in (limits or {}).items():
            resource.setrlimit(which, (value, value))

    return subprocess.run(
        [sys.executable, "-m", "tarnwick", *args],
        capture_output=True,
        text=True,
        encoding="utf-8",
        errors="surrogateescape",
        timeout=300,
        stdin=subprocess.DEVNULL,
        preexec_fn=limit if limits else None,
    )


def make_store(path: Path, count: int = 500) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(count):
        db.put(b"key%05d" % i, b"value %d" % i * 4)
    db.compact_range()
    for i in range(0, count, 4):
        db.delete(b"key%05d" % i)
    db.close()
    return path


def damaged_table(store: Path) -> Path:
    return next(p for p in sorted(store.glob("*.ldb")) if " " not in p.name)


def summary_rows(stdout: str) -> dict[str, list[str]]:
    """The summary's lines by file name: the cells before the status, and the status."""
    rows = {}
    for line in stdout.splitlines()[1:]:
        cells = line.split()
        rows[cells[0]] = cells if cells[0] == "total" else [*cells[:10], " ".join(cells[10:])]
    return rows


@pytest.fixture(scope="module")
def damaged_store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """An engine-written store with one table whose magic number is gone, and
    a copy of a table under a name a file manager gives copies."""
    path = make_store(tmp_path_factory.mktemp("damaged") / "db")
    tables = sorted(path.glob("*.ldb"))
    assert tables
    data = bytearray(tables[0].read_bytes())
    data[-8:] = b"\0" * 8
    tables[0].write_bytes(bytes(data))
    shutil.copy(tables[0], path / (tables[0].stem + " (1).ldb"))
    return path


def test_dump_warns_once_per_file_left_out(damaged_store: Path) -> None:
    bad = damaged_table(damaged_store).name
    result = run("dump", str(damaged_store), "--no-salvage")
    assert result.returncode == 0
    lines = result.stderr.splitlines()
    assert len(lines) == 3, result.stderr
    assert lines[2].endswith("; left out: 2 files")
    assert lines[0].startswith(f"tarnwick: warning: left out {bad!r}: ")
    assert lines[1].startswith(f"tarnwick: warning: not read {bad[:-4] + ' (1).ldb'!r}: ")
    with RawLevelDb(str(damaged_store)) as db:
        assert len(result.stdout.splitlines()) == len(db.iterate_records_raw())
    strict = run("dump", str(damaged_store), "--strict", "--no-salvage")
    assert strict.returncode == 1
    assert strict.stdout == result.stdout and strict.stderr == result.stderr


def test_summary_shows_every_status(damaged_store: Path) -> None:
    bad = damaged_table(damaged_store)
    result = run("summary", str(damaged_store), "--no-salvage")
    assert result.returncode == 0
    rows = summary_rows(result.stdout)
    left_out = rows[bad.name]
    assert left_out[4] == "0" and left_out[10].startswith("left out: ")
    assert "magic" in left_out[10]
    copy = result.stdout.splitlines()[-2]
    assert copy.startswith(bad.stem + " (1).ldb") and "not admitted: " in copy
    read = [r for name, r in rows.items() if name.endswith((".ldb", ".log")) and r[10] == "read"]
    assert read and all(r[9] == "0" for r in read)
    assert run("summary", str(damaged_store), "--strict", "--no-salvage").returncode == 1
    healthy = make_store(damaged_store.parent / "healthy")
    assert run("summary", str(healthy), "--strict").returncode == 0
    assert run("dump", str(healthy), "--strict", "-o", os.devnull).returncode == 0


def test_undecoded_bytes_of_a_damaged_log(tmp_path: Path) -> None:
    store = tmp_path / "db"
    db = plyvel.DB(str(store), create_if_missing=True)
    for i in range(200):
        db.put(b"k%04d" % i, b"v" * 100)
    db.close()  # the records stay in the log: it is small
    log = next(store.glob("*.log"))
    data = bytearray(log.read_bytes())
    data[5000:6000] = b"\xee" * 1000
    log.write_bytes(bytes(data))
    rows = summary_rows(run("summary", str(store)).stdout)
    assert rows[log.name][10] == "read"
    assert int(rows[log.name][9]) >= 1000
    assert int(rows["total"][9]) == int(rows[log.name][9])


def test_a_folder_above_the_store_gets_a_hint(tmp_path: Path) -> None:
    profile = tmp_path / "profile"
    store = make_store(profile / "Default" / "Local Storage" / "leveldb", 10)
    (profile / "Default" / "Cache").mkdir()
    for command in (["summary"], ["dump"]):
        result = run(*command, str(profile))
        assert result.returncode == 0
        lines = result.stderr.splitlines()
        assert len(lines) == (2 if command == ["dump"] else 1) and "no LevelDB file" in lines[0]  # dump adds its closing line
        assert repr(str(store)) in result.stderr
    empty = run("summary", str(profile / "Default" / "Cache"))
    assert empty.returncode == 0 and empty.stderr == f"tarnwick: warning: no LevelDB file in {str(profile / 'Default' / 'Cache')!r}\n"


def test_more_data_files_than_the_descriptor_limit(tmp_path: Path) -> None:
    source = make_store(tmp_path / "source", 20)
    log = next(source.glob("*.log"))
    table = next(source.glob("*.ldb"))
    store = tmp_path / "many"
    store.mkdir()
    for number in range(10, 410):
        shutil.copy(table, store / f"{number:06d}.ldb")
    result = run("dump", str(store), "-o", str(tmp_path / "out.jsonl"), limits={resource.RLIMIT_NOFILE: 64})
    assert (result.returncode, result.stderr.endswith("; nothing left out\n")) == (0, True), result.stderr
    with RawLevelDb(str(source)) as db:
        per_table = sum(1 for r in db.iterate_records_raw() if r.origin_file.endswith(".ldb"))
    assert len((tmp_path / "out.jsonl").read_text().splitlines()) == 400 * per_table
    assert log.exists()


def test_a_table_that_expands_enormously_streams(tmp_path: Path) -> None:
    # One block whose entries repeat a 32 KiB key, each only 12 bytes long in
    # the file: 32,768 records of 32 KiB keys, 1 GiB decoded from 400 KiB.
    key = internal_key(b"p" * 32768, 1)
    entries = block_entry(0, key, b"") + b"".join(
        block_entry(len(key) - 8, fixed64(((n + 2) << 8) | 1), b"") for n in range(32767)
    )
    writer = TableWriter()
    writer.add_block(contents=entries + restart_array([0]))
    (tmp_path / "000001.ldb").write_bytes(writer.finish())
    # AddressSanitizer reserves terabytes of address space for its shadow, so
    # under it the limit is left out; the records are still all counted.
    under_asan = "asan" in os.environ.get("LD_PRELOAD", "")
    result = run("summary", str(tmp_path), limits={} if under_asan else {resource.RLIMIT_AS: 1 << 30})
    assert result.returncode == 0, result.stderr
    assert summary_rows(result.stdout)["000001.ldb"][4:6] == ["32768", "32768"]


def test_paths_that_are_not_utf8(tmp_path: Path) -> None:
    plain = make_store(tmp_path / "plain", 50)
    odd = os.fsencode(tmp_path) + b"/st\xffore"
    shutil.copytree(plain, os.fsdecode(odd))
    result = run("dump", os.fsdecode(odd))
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    assert rows and all(os.fsencode(r["origin_file"]).startswith(odd + b"/") for r in rows)
    plain_rows = [json.loads(line) for line in run("dump", str(plain)).stdout.splitlines()]
    strip = lambda r: {k: v for k, v in r.items() if k != "origin_file"}  # noqa: E731
    assert [strip(r) for r in rows] == [strip(r) for r in plain_rows]
    summary = run("summary", os.fsdecode(odd))
    assert summary.returncode == 0 and summary_rows(summary.stdout)["total"][4] == str(len(rows))
    out = os.fsdecode(os.fsencode(tmp_path) + b"/out\xfe.csv")
    assert run("dump", os.fsdecode(odd), "--format", "csv", "-o", out).returncode == 0
    assert os.path.getsize(out) > 0


def test_summary_as_json_is_the_report_of_inspect(damaged_store: Path) -> None:
    result = run("summary", str(damaged_store), "--format", "json")
    assert result.returncode == 0
    assert json.loads(result.stdout) == json.loads(json.dumps(tarnwick.inspect(damaged_store).to_dict()))


def test_summary_counts_equal_those_of_the_records(damaged_store: Path) -> None:
    rows = summary_rows(run("summary", "--no-salvage", str(damaged_store)).stdout)
    with RawLevelDb(str(damaged_store)) as db:
        records = db.iterate_records_raw()
    for name, row in rows.items():
        if not name.endswith((".ldb", ".log")) or " " in name:
            continue
        mine = [r for r in records if r.origin_file.endswith("/" + name)]
        by_state = [sum(str(r.state).endswith(s) for r in mine) for s in ("Live", "Deleted", "Unknown")]
        assert row[4:9] == [str(len(mine)), *map(str, by_state), str(sum(r.was_compressed for r in mine))]


def overwrite_log_stretch(store: Path) -> str:
    log = max(store.glob("*.log"))
    data = bytearray(log.read_bytes())
    data[40:240] = b"\xee" * 200
    log.write_bytes(bytes(data))
    return log.name


def link_another_stores_log(store: Path) -> str:
    other = make_store(store.parent / (store.name + "-other"), 20)
    (store / "000099.log").symlink_to(next(other.glob("*.log")))
    return "000099.log"


@pytest.mark.parametrize("command", [["summary"], ["dump", "-o", os.devnull]])
@pytest.mark.parametrize("spoil", [overwrite_log_stretch, link_another_stores_log])
def test_an_incomplete_read_warns_and_fails_under_strict(tmp_path: Path, command: list[str], spoil) -> None:  # type: ignore[no-untyped-def]
    store = make_store(tmp_path / "db", 300)
    assert run(*command, str(store), "--strict").returncode == 0
    name = spoil(store)
    loose = run(*command, str(store))
    assert loose.returncode == 0
    assert f"tarnwick: warning: {name!r}" in loose.stderr or f"not read {name!r}" in loose.stderr, loose.stderr
    strict = run(*command, str(store), "--strict")
    assert (strict.returncode, strict.stderr) == (1, loose.stderr)


def test_records_behind_a_link_are_not_dumped(tmp_path: Path) -> None:
    store = make_store(tmp_path / "db", 100)
    before = run("dump", str(store)).stdout
    link_another_stores_log(store)
    result = run("dump", str(store))
    assert result.stdout == before
    assert "a link to" in result.stderr and "not followed" in result.stderr
