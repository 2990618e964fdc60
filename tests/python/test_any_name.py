"""Files read whatever their names: copies and carved pieces of an engine's
store, given one by one or dropped together into a folder read with
any_name. A file under an odd name must give exactly the records it gives
under its own name in the store."""

from __future__ import annotations

import json
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tarnwick
from engine_db import EngineDb, data_files


@pytest.fixture(scope="module")
def store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A Snappy table, an uncompressed table and the log left open, all
    written by the engine."""
    path = tmp_path_factory.mktemp("any_name") / "store"
    db = EngineDb(path, block_size=1024)
    for i in range(200):
        db.put(b"snappy:%03d" % i, b"compressible value %d " % i * 6)
    for i in range(0, 200, 13):
        db.delete(b"snappy:%03d" % i)
    db.flush()
    db.reopen(block_size=1024, compression=None)
    for i in range(150):
        db.put(b"plain:%03d" % i, b"plain %d" % i * (i % 5))
    db.flush()
    for i in range(30):
        db.put(b"log:%02d" % i, b"in the log")
    db.delete(b"plain:007")
    db.close()
    return path


@pytest.fixture(scope="module")
def sources(store: Path) -> dict[str, str]:
    """The store's data files by what they hold: snappy, plain, log."""
    tables = [name for _, kind, name in data_files(store) if kind == "table"]
    logs = [name for _, kind, name in data_files(store) if kind == "log"]
    by_compression = {}
    for name in tables:
        compressed = any(r.was_compressed for r in tarnwick.records(store / name))
        by_compression["snappy" if compressed else "plain"] = name
    assert set(by_compression) == {"snappy", "plain"}
    return {**by_compression, "log": logs[-1]}


def fields(record: tarnwick.ScanRecord) -> tuple[object, ...]:
    """Everything a record says but where its file lies and the number its
    name gives it."""
    return (record.key, record.user_key, record.value, record.seq, record.offset, record.was_compressed,
            record.state, record.file_type)


def in_store(store: Path, name: str) -> list[tuple[object, ...]]:
    path = str(store / name)
    got = [fields(r) for r in tarnwick.records(store) if r.origin_file == path]
    assert got, name
    return got


def noise(size: int, seed: int) -> bytes:
    data = random.Random(seed).randbytes(size)
    assert data[6] not in (1, 2, 3, 4)  # no first log record header by chance
    return data


ODD_NAMES = ["000005 (1).ldb", "carved_0001.bin", "x.dat", "no extension", "LOG"]


@pytest.mark.parametrize("name", ODD_NAMES)
@pytest.mark.parametrize("source", ["snappy", "plain", "log"])
def test_a_file_under_any_name_gives_the_records_of_its_own_name(store, sources, tmp_path, source, name):
    copy = tmp_path / name
    shutil.copyfile(store / sources[source], copy)
    got = list(tarnwick.records(copy))
    assert [fields(r) for r in got] == in_store(store, sources[source])
    assert {r.origin_file for r in got} == {str(copy)}  # the path as given
    assert {r.file_number for r in got} == {0}
    report = tarnwick.inspect(copy)
    assert report.complete and report.directory == str(copy)
    (only,) = report.files
    assert (only.name, only.path, only.kind, only.number) == (
        name, str(copy), "Log" if source == "log" else "Ldb", 0)


def test_a_data_file_given_alone_keeps_its_number(store, sources):
    path = store / sources["plain"]
    got = list(tarnwick.records(path))
    assert [fields(r) for r in got] == in_store(store, sources["plain"])
    assert {r.file_number for r in got} == {int(sources["plain"][:6])}


# (what the file holds, the name it gets, as_kind, the kind read, whether it
# gives the records of its source)
FORCING = [
    ("log", "x.dat", None, "Log", True),
    ("snappy", "x.dat", None, "Ldb", True),
    ("snappy", "000009.log", None, "Log", False),  # a data file name decides before the content
    ("snappy", "000009.log", "table", "Ldb", True),
    ("log", "000009.ldb", "log", "Log", True),
    ("log", "x.dat", "table", "Ldb", False),
    ("plain", "carved.bin", "log", "Log", False),
]


@pytest.mark.parametrize(("source", "name", "as_kind", "kind", "same"), FORCING)
def test_as_kind_forces_the_kind_of_one_file(store, sources, tmp_path, source, name, as_kind, kind, same):
    copy = tmp_path / name
    shutil.copyfile(store / sources[source], copy)
    report = tarnwick.inspect(copy, as_kind=as_kind)
    assert report.files[0].kind == kind
    got = [fields(r) for r in tarnwick.records(copy, as_kind=as_kind)]
    if same:
        assert got == in_store(store, sources[source])
        assert report.complete
    else:
        # Read as what it is not: the report says so, never silently.
        assert not report.complete
        assert report.files[0].status == "left_out" or report.files[0].unread


def test_as_kind_with_a_directory_and_unknown_kinds_are_refused(store, tmp_path):
    with pytest.raises(ValueError, match="is a directory"):
        tarnwick.scan(store, as_kind="table")
    with pytest.raises(ValueError, match="as_kind"):
        tarnwick.inspect(store / "CURRENT", as_kind="ldb")
    with pytest.raises(ValueError, match="Not a directory"):
        tarnwick.scan(tmp_path / "missing.bin")


def test_a_link_given_as_the_file_is_reported_not_followed(store, sources, tmp_path):
    link = tmp_path / "carved.bin"
    link.symlink_to(store / sources["snappy"])
    assert list(tarnwick.records(link)) == []
    report = tarnwick.inspect(link)
    assert report.files == () and not report.complete
    (entry,) = report.links
    assert entry.target == str(store / sources["snappy"])


@pytest.fixture
def carved(store: Path, sources: dict[str, str], tmp_path: Path) -> Path:
    """The store's data files under carved names, with pieces that are
    neither tables nor logs among them."""
    folder = tmp_path / "carved"
    folder.mkdir()
    for i, source in enumerate(("snappy", "plain", "log")):
        shutil.copyfile(store / sources[source], folder / f"carved_{i:04d}.bin")
    (folder / "noise.bin").write_bytes(noise(6000, 11))
    (folder / "zeros").write_bytes(bytes(4096))
    (folder / "notes.txt").write_text("found next to the carved files\n")
    (folder / "empty").write_bytes(b"")
    shutil.copyfile(store / "CURRENT", folder / "CURRENT")
    return folder


NOT_ADMITTED = ["empty", "noise.bin", "notes.txt", "zeros"]


def test_any_name_reads_a_folder_of_carved_files(store, carved):
    report = tarnwick.inspect(carved, any_name=True)
    assert [(f.name, f.kind, f.status) for f in report.files] == [
        ("carved_0000.bin", "Ldb", "read"), ("carved_0001.bin", "Ldb", "read"), ("carved_0002.bin", "Log", "read")]
    assert [e.name for e in report.not_admitted] == NOT_ADMITTED
    assert all("neither a table" in e.reason for e in report.not_admitted)
    assert [e.name for e in report.bookkeeping] == ["CURRENT"]
    assert not report.complete  # the pieces not admitted are named, so the read is not whole
    got = sorted(fields(r) for r in tarnwick.records(carved, any_name=True))
    assert got == sorted(fields(r) for r in tarnwick.records(store))


def test_without_any_name_carved_files_are_not_read(carved):
    report = tarnwick.inspect(carved)
    assert report.files == () and report.not_admitted == ()
    assert list(tarnwick.records(carved)) == []


# --- the command line -----------------------------------------------------------------


def run(*args: str | Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tarnwick", *map(str, args)], capture_output=True, text=True,
                          timeout=300, stdin=subprocess.DEVNULL)


@pytest.mark.parametrize(("source", "name", "as_kind"),
                         [("snappy", "carved_0001.bin", None), ("log", "x.dat", None), ("log", "000003.ldb", "log")])
def test_dump_reads_one_file_of_any_name(store, sources, tmp_path, source, name, as_kind):
    copy = tmp_path / name
    shutil.copyfile(store / sources[source], copy)
    done = run("dump", copy, *(["--as", as_kind] if as_kind else []))
    assert done.returncode == 0, done.stderr
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(lines) == len(in_store(store, sources[source]))
    assert {line["origin_file"] for line in lines} == {str(copy)}


def test_summary_with_any_name_names_what_it_did_not_admit(carved):
    done = run("summary", carved, "--any-name", "--format", "json")
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert [f["name"] for f in report["files"]] == ["carved_0000.bin", "carved_0001.bin", "carved_0002.bin"]
    assert sorted(e["name"] for e in report["others"] if e["status"] == "not_admitted") == NOT_ADMITTED
    table = run("summary", carved, "--any-name", "--strict")
    assert table.returncode != 0
    assert "not read 'noise.bin': its content is neither a table" in table.stderr
    row = next(line for line in table.stdout.splitlines() if line.startswith("carved_0000.bin"))
    assert row.split()[1:3] == ["ldb", "-"]  # a name that gives no number


@pytest.mark.parametrize(("args", "message"), [
    (["dump", "{store}", "--as", "table"], "--as reads one file"),
    (["summary", "{store}", "--as", "log"], "--as reads one file"),
    (["dump", "{missing}"], "no such file or directory"),
    (["summary", "{store}/x", "--as", "sst"], "invalid choice"),
])
def test_refusals(store, tmp_path, args, message):
    done = run(*(a.format(store=store, missing=tmp_path / "missing.bin") for a in args))
    assert done.returncode == 2
    assert message in done.stderr


@pytest.mark.parametrize("fmt", ["json", "html", "md"])
def test_report_takes_files_of_any_name_beside_stores(store, sources, tmp_path, fmt):
    copy = tmp_path / "evidence" / "carved_0001.bin"
    copy.parent.mkdir()
    shutil.copyfile(store / sources["snappy"], copy)
    out = tmp_path / f"report.{fmt}"
    done = run("report", copy, store, "-o", out, "--format", fmt)
    assert done.returncode == 0, done.stderr
    text = out.read_text()
    assert "carved_0001.bin" in text
    if fmt == "json":
        single, whole = json.loads(text)["stores"]
        expected = tarnwick.inspect(copy).files[0]
        assert single["path"] == str(copy) and single["complete"]
        assert single["records"] == {"Live": expected.live, "Deleted": expected.deleted, "Unknown": expected.unknown}
        assert [(f["name"], f["role"], f["status"]) for f in single["files"]] == [("carved_0001.bin", "table", "read")]
        assert whole["path"] == str(store)
