"""Exporting a tree of stores to one Parquet dataset: the records, the manifest,
the same result for every number of jobs, re-runs, interruptions and refusals."""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import shutil
from pathlib import Path

import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq
import pytest

import stores_tree
from tarnwick import cli
from _tarnwick import RawLevelDb
from tarnwick.stores import ExportError, export, find_stores
from tarnwick.stores import _chunks, _plan, _runners, _source

STATE_NAMES = {0: "Deleted", 1: "Live", 2: "Unknown"}
FILE_TYPE_NAMES = {1: "Ldb", 2: "Log"}


@pytest.fixture(scope="module")
def tree(tmp_path_factory: pytest.TempPathFactory) -> Path:
    base = tmp_path_factory.mktemp("export")
    root = base / "tree"
    stores_tree.make_tree(root, base / "outside")
    return root


@pytest.fixture(scope="module")
def dataset(tree: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("datasets") / "one-job"
    export(tree, out, jobs=1)
    return out


def manifest(dataset: Path) -> dict:
    return json.loads((dataset / "_manifest.json").read_text())


def store_table(dataset: Path, entry: dict) -> pa.Table:
    """A store's rows: its parts, in order."""
    partition = dataset / entry["partition"]
    return pa.concat_tables([pq.read_table(partition / part) for part in entry["parts"]])


def reader_rows(directory: Path, store_path: str) -> list[tuple]:
    """What the list reader gives for the store, in the dataset's terms."""
    with RawLevelDb(str(directory)) as db:
        records = db.iterate_records_raw()
    prefix = "" if store_path == "." else store_path + "/"
    return [
        (prefix + os.path.basename(r.origin_file), r.offset, r.seq, STATE_NAMES[int(r.state)],
         FILE_TYPE_NAMES[int(r.file_type)], r.was_compressed, r.key, r.user_key, r.value)
        for r in records
    ]


def dataset_rows(table: pa.Table) -> list[tuple]:
    columns = ["file", "offset", "seq", "state", "file_type", "was_compressed", "key", "user_key", "value"]
    return list(zip(*(table.column(c).to_pylist() for c in columns)))


def files_of(dataset: Path) -> dict[str, bytes]:
    """Every data file of the dataset (not the manifests) with its bytes."""
    found = {}
    for path in sorted(dataset.rglob("*.parquet")):
        found[str(path.relative_to(dataset))] = path.read_bytes()
    return found


def rows_of(dataset: Path) -> dict[str, pa.Table]:
    """Every data file of the dataset with its rows."""
    return {str(path.relative_to(dataset)): pq.read_table(path) for path in sorted(dataset.rglob("*.parquet"))}


def test_every_store_is_a_partition_holding_exactly_the_readers_records(tree, dataset):
    m = manifest(dataset)
    assert [s["path"] for s in m["stores"]] == [s.path for s in find_stores(tree)]
    assert m["failed"] == []
    for entry in m["stores"]:
        table = store_table(dataset, entry)
        if entry["path"] == "apps/chat/leveldb":
            # The link 999999.log points out of the tree: its records are not read.
            scratch = dataset.parent / "chat-without-link"
            shutil.copytree(tree / entry["path"], scratch, symlinks=True)
            (scratch / "999999.log").unlink()
            expected = reader_rows(scratch, entry["path"])
        else:
            expected = reader_rows(tree / entry["path"], entry["path"])
        assert dataset_rows(table) == expected, entry["path"]
        assert entry["records"] == table.num_rows > 0
        assert set(table.column("store_path").to_pylist()) == {entry["path"]}
        assert set(table.column("store_kind").to_pylist()) == {entry["kind"]}
        assert set(table.column("origin").to_pylist()) == {entry["origin"]}


def test_the_manifest_holds_every_files_size_and_hash_and_the_counts(tree, dataset):
    for entry in manifest(dataset)["stores"]:
        directory = tree / entry["path"]
        regular = sorted(p.name for p in directory.iterdir() if not p.is_symlink())
        assert [f["name"] for f in entry["files"]] == regular
        for f in entry["files"]:
            content = (directory / f["name"]).read_bytes()
            assert (f["size"], f["sha256"]) == (len(content), hashlib.sha256(content).hexdigest())
        table = store_table(dataset, entry)
        states = table.column("state").to_pylist()
        assert entry["records_by_state"] == {s: states.count(s) for s in set(states)}
        names = [f.rpartition("/")[2] for f in table.column("file").to_pylist()]
        assert entry["records_by_file"] == {n: names.count(n) for n in set(names)}
        assert entry["read_report"]
        assert entry["changed_while_exported"] == []
        # Each part file says itself where its rows came from.
        partition = dataset / entry["partition"]
        for part in entry["parts"]:
            meta = pq.read_metadata(partition / part).metadata
            recorded = {os.path.basename(f["path"]): f for f in json.loads(meta[b"tarnwick.source_files"])}
            for f in entry["files"]:
                assert recorded[f["name"]]["digests"] == {"sha256": f["sha256"]}
                assert recorded[f["name"]]["size"] == f["size"]
            assert json.loads(meta[b"tarnwick.read_report"])["files"]


def test_hive_readers_see_the_store_column(dataset):
    table = ds.dataset(dataset, format="parquet", partitioning="hive").to_table()
    m = manifest(dataset)
    assert table.num_rows == m["records"] == sum(s["records"] for s in m["stores"])
    assert set(table.column("store").to_pylist()) == {s["id"] for s in m["stores"]}


def test_the_dataset_is_the_same_for_every_number_of_jobs(tree, dataset, tmp_path):
    export(tree, tmp_path / "two", jobs=2)
    export(tree, tmp_path / "three", jobs=3)
    assert files_of(tmp_path / "two") == files_of(dataset)
    assert files_of(tmp_path / "three") == files_of(dataset)


@pytest.mark.parametrize("jobs", [1, 2])
def test_large_stores_split_by_file_give_the_same_rows_in_the_same_order(tree, dataset, tmp_path, monkeypatch, jobs):
    monkeypatch.setattr(_plan, "SPLIT_BYTES", 1)  # every data file its own piece
    out = tmp_path / "split"
    export(tree, out, jobs=jobs)
    whole = {e["path"]: e for e in manifest(dataset)["stores"]}
    for entry in manifest(out)["stores"]:
        data_files = [f for f in entry["files"] if f["data_file"]]
        assert len(entry["parts"]) == len(data_files)
        assert store_table(out, entry).to_pylist() == store_table(dataset, whole[entry["path"]]).to_pylist()
        assert entry["files"] == whole[entry["path"]]["files"]
        assert entry["records_by_file"] == whole[entry["path"]]["records_by_file"]


@pytest.mark.parametrize(("jobs", "split"), [(2, False), (1, True)])
def test_export_writes_nothing_into_the_tree_and_changes_no_access_time(tree, tmp_path, monkeypatch, jobs, split):
    if split:  # pieces are read in place, file by file: those reads must not touch them either
        monkeypatch.setattr(_plan, "SPLIT_BYTES", 1)
    stores_tree.age_access_times(tree)
    before = stores_tree.snapshot(tree)
    export(tree, tmp_path / "out", jobs=jobs)
    assert stores_tree.snapshot(tree) == before


def test_a_tree_that_is_itself_a_store(tree, dataset, tmp_path):
    store = "Profile/Default/Local Storage/leveldb"
    result = export(tree / store, tmp_path / "out")
    assert result.exported == ["."]
    (entry,) = manifest(tmp_path / "out")["stores"]
    (whole,) = [e for e in manifest(dataset)["stores"] if e["path"] == store]
    rows = dataset_rows(store_table(tmp_path / "out", entry))
    assert [(store + "/" + row[0],) + row[1:] for row in rows] == dataset_rows(store_table(dataset, whole))


def test_a_rerun_reads_only_the_stores_that_changed_and_drops_those_gone(tree, tmp_path):
    work = tmp_path / "tree"
    shutil.copytree(tree, work, symlinks=True)
    out = tmp_path / "out"
    first = export(work, out)
    parts = {p: p.stat().st_mtime_ns for p in out.rglob("*.parquet")}

    again = export(work, out)
    assert again.exported == [] and again.unchanged == first.exported
    assert {p: p.stat().st_mtime_ns for p in out.rglob("*.parquet")} == parts

    stores_tree.write_store(work / "apps/chat/leveldb", 50, False, seed=7)
    shutil.rmtree(work / "Profile/Default/Session Storage")
    third = export(work, out)
    assert third.exported == ["apps/chat/leveldb"]
    assert third.removed == ["Profile/Default/Session Storage"]
    fresh = export(work, tmp_path / "fresh")
    assert files_of(out) == files_of(tmp_path / "fresh")
    assert manifest(out)["stores"] == manifest(tmp_path / "fresh")["stores"]
    assert fresh.records == third.records


def test_an_interrupted_run_leaves_no_partition_that_looks_complete(tree, dataset, tmp_path, monkeypatch):
    out = tmp_path / "out"
    real = _runners.run_chunk
    calls = []

    def interrupted(chunk):
        calls.append(chunk)
        if len(calls) == 4:
            # Stop inside a piece, after it wrote part of its file.
            os.makedirs(os.path.dirname(chunk.part_path), exist_ok=True)
            Path(chunk.part_path).write_bytes(b"PAR1 half")
            raise KeyboardInterrupt
        return real(chunk)

    monkeypatch.setattr(_runners, "run_chunk", interrupted)
    with pytest.raises(KeyboardInterrupt):
        export(tree, out)
    partitions = [p for p in out.iterdir() if p.name.startswith("store=")]
    assert len(partitions) == 3
    for partition in partitions:
        assert (partition / "_store.json").is_file()
        for part in partition.glob("*.parquet"):
            pq.read_table(part)  # complete files only
    assert not (out / "_staging").exists() or not any((out / "_staging").rglob("*.parquet"))

    monkeypatch.setattr(_runners, "run_chunk", real)
    result = export(tree, out)
    assert len(result.unchanged) == 3
    # The same rows as an export in one go (the files' times, which other tests
    # of this tree change, are in the parts' source metadata).
    assert rows_of(out) == rows_of(dataset)


def test_a_store_that_cannot_be_read_is_reported_and_the_rest_exported(tree, tmp_path, monkeypatch):
    real = _source.read_store

    def failing(directory, **kwargs):
        if os.fsdecode(directory).endswith("Session Storage"):
            raise OSError(5, "Input/output error")
        return real(directory, **kwargs)

    monkeypatch.setattr(_source, "read_store", failing)
    result = export(tree, tmp_path / "out")
    assert list(result.failed) == ["Profile/Default/Session Storage"]
    assert "Input/output error" in result.failed["Profile/Default/Session Storage"]
    m = manifest(tmp_path / "out")
    assert m["failed"] == [{"path": "Profile/Default/Session Storage", "error": result.failed["Profile/Default/Session Storage"]}]
    assert len(m["stores"]) == len(find_stores(tree)) - 1
    assert not any("Session" in p.name for p in (tmp_path / "out").iterdir())


def _die_on_local_storage(chunk):
    if chunk.store_path.endswith("Local Storage/leveldb"):
        os._exit(9)  # as a worker killed for memory would
    return _chunks.read_chunk(chunk)


def test_a_worker_that_dies_fails_its_store_not_the_export(tree, tmp_path, monkeypatch):
    # The largest store starts first: every other store is still in the pool when it dies.
    monkeypatch.setattr(_plan, "SPLIT_BYTES", 1)
    monkeypatch.setattr(_runners, "run_chunk", _die_on_local_storage)
    result = export(tree, tmp_path / "out", jobs=2)
    assert list(result.failed) == ["Profile/Default/Local Storage/leveldb"]
    assert not any("Local_Storage" in p.name for p in (tmp_path / "out").iterdir())
    assert len(result.exported) == len(find_stores(tree)) - 1
    assert all((tmp_path / "out" / e["partition"] / "_store.json").is_file() for e in manifest(tmp_path / "out")["stores"])


def _refusal(tree: Path, dataset: Path) -> str:
    with pytest.raises(ExportError) as caught:
        export(tree, dataset)
    return str(caught.value)


def test_refuses_a_dataset_inside_the_tree(tree, tmp_path):
    before = stores_tree.snapshot(tree)
    assert "inside the tree" in _refusal(tree, tree / "Profile" / "dataset")
    link = tmp_path / "sneaky"
    link.symlink_to(tree / "apps")
    assert "inside the tree" in _refusal(tree, link / "dataset")
    assert stores_tree.snapshot(tree) == before


def test_refuses_a_tree_inside_the_dataset_and_a_folder_that_is_not_a_dataset(tree, tmp_path):
    assert "inside the dataset" in _refusal(tree, tree.parent)
    other = tmp_path / "photos"
    other.mkdir()
    (other / "holiday.jpg").write_bytes(b"\xff\xd8")
    assert "not a tarnwick dataset" in _refusal(tree, other)
    assert sorted(os.listdir(other)) == ["holiday.jpg"]


def test_one_export_at_a_time_per_dataset(tree, dataset):
    with open(dataset / "_lock") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        assert "another export" in _refusal(tree, dataset)
    assert export(tree, dataset).failed == {}  # free again once released


def _run(*argv: str) -> int:
    return cli.main(list(argv))


def test_command_exports_and_reports(tree, dataset, tmp_path, capsys):
    out = tmp_path / "out"
    assert _run("export", str(tree), "-o", str(out), "--jobs", "2") == 0
    err = capsys.readouterr().err
    assert f"{len(find_stores(tree))} stores exported" in err
    assert files_of(out) == files_of(dataset)
    assert _run("export", str(tree), "-o", str(tree / "x")) == 2
    assert "inside the tree" in capsys.readouterr().err
    for wrong in (["--jobs", "0"], ["--jobs", "2", "--scheduler", "tcp://127.0.0.1:1"]):
        with pytest.raises(SystemExit):
            _run("export", str(tree), "-o", str(out), *wrong)


@pytest.mark.parametrize(("strict", "status"), [(False, 0), (True, 1)])
def test_command_names_a_failed_store_and_strict_fails_on_it(tree, tmp_path, monkeypatch, capsys, strict, status):
    real = _source.read_store

    def failing(directory, **kwargs):
        if os.fsencode(directory).endswith(b"Session Storage"):
            raise OSError(5, "Input/output error")
        return real(directory, **kwargs)

    monkeypatch.setattr(_source, "read_store", failing)
    out = tmp_path / "out"
    assert _run("export", str(tree), "-o", str(out), *(["--strict"] if strict else [])) == status
    lines = capsys.readouterr().err.splitlines()
    assert lines[0].startswith("tarnwick: warning: failed 'Profile/Default/Session Storage': ")
    assert lines[-1].endswith(f"records to {str(out)!r}; left out: 1 store")
    assert len(lines) == 2
