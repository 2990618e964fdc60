"""What the read report carries beyond read/not read: records by state and by
compression per file, links never followed, what the manifest says is missing
or extra, and when a read counts as complete. Stores written by the engine
(plyvel) unless only hand-made bytes can make the case."""

from __future__ import annotations

import collections
import os
import shutil
from pathlib import Path

import plyvel
import pyarrow as pa
import pytest

import _tarnwick
import tarnwick

SAMPLE = Path(__file__).resolve().parent.parent / "fixtures" / "sample_db"


def engine_store(path: Path, *, count: int = 400, compress: bool = True, compact: bool = True) -> Path:
    """Tables (after a compaction) and a log holding deletions and fresh puts."""
    db = plyvel.DB(str(path), create_if_missing=True, compression="snappy" if compress else None)
    for i in range(count):
        db.put(b"key%05d" % i, b"value %d " % i * 8)
    if compact:
        db.compact_range()
    for i in range(0, count, 3):
        db.delete(b"key%05d" % i)
    db.put(b"late", b"after the compaction")
    db.close()
    return path


@pytest.fixture(scope="module")
def stores(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:
    base = tmp_path_factory.mktemp("stores")
    return {
        "sample": SAMPLE,
        "compressed": engine_store(base / "compressed"),
        "uncompressed": engine_store(base / "uncompressed", compress=False),
        "log only": engine_store(base / "log only", count=50, compact=False),
    }


def counts_from_records(store: Path) -> dict[str, tuple[int, int, int, int, int]]:
    """(records, live, deleted, unknown, compressed) per file name, from RawLevelDb."""
    counts: dict[str, list[int]] = collections.defaultdict(lambda: [0, 0, 0, 0, 0])
    with _tarnwick.RawLevelDb(str(store)) as db:
        for r in db.iterate_records_raw():
            c = counts[os.path.basename(r.origin_file)]
            c[0] += 1
            c[1 + ("Live", "Deleted", "Unknown").index(str(r.state).rpartition(".")[2])] += 1
            c[4] += bool(r.was_compressed)
    return {name: tuple(c) for name, c in counts.items()}  # type: ignore[misc]


@pytest.mark.parametrize("which", ["sample", "compressed", "uncompressed", "log only"])
def test_counts_by_state_and_compression_match_the_records(stores: dict[str, Path], which: str) -> None:
    report = tarnwick.inspect(stores[which])
    expected = counts_from_records(stores[which])
    got = {f.name: (f.records, f.live, f.deleted, f.unknown, f.compressed) for f in report.files if f.records}
    assert got == expected
    assert all(f.live + f.deleted + f.unknown == f.records for f in report.files)
    if which == "compressed":
        assert any(f.compressed for f in report.files)
    if which == "uncompressed":
        assert not any(f.compressed for f in report.files)


def test_bookkeeping_files_are_in_the_report_with_their_sizes(stores: dict[str, Path]) -> None:
    store = stores["compressed"]
    report = tarnwick.inspect(store)
    kept = {e.name: e.size for e in report.bookkeeping}
    assert {"CURRENT", "LOCK", "LOG"} <= set(kept)
    assert any(name.startswith("MANIFEST-") for name in kept)
    assert kept == {name: os.lstat(store / name).st_size for name in kept}


# --- links -------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["000090.log", "000091.ldb", "CURRENT"])
def test_a_link_named_like_a_file_of_the_store_is_reported_never_followed(
    stores: dict[str, Path], tmp_path: Path, name: str
) -> None:
    other = engine_store(tmp_path / "other", count=30, compact=name.endswith(".ldb"))
    store = tmp_path / "store"
    shutil.copytree(stores["compressed"], store)
    (store / name).unlink(missing_ok=True)
    target = next(other.glob("*." + name.rpartition(".")[2])) if "." in name else other / name
    (store / name).symlink_to(target)

    report = tarnwick.inspect(store)
    links = report.links
    assert [(e.name, e.target, e.size) for e in links] == [(name, str(target), len(str(target)))]
    assert name not in {f.name for f in report.files}
    assert not report.complete and report.finished
    scanned = pa.table(tarnwick.scan(store))
    assert not any(path.endswith(name) for path in scanned.column("file").to_pylist())
    if name != "CURRENT":
        # RawLevelDb has always followed such links, and still does.
        with _tarnwick.RawLevelDb(str(store)) as db:
            assert any(r.origin_file.endswith(name) for r in db.iterate_records_raw())


# --- the manifest ------------------------------------------------------------------


def test_a_store_as_the_engine_left_it_agrees_with_its_manifest(stores: dict[str, Path]) -> None:
    manifest = tarnwick.inspect(stores["compressed"]).manifest
    assert manifest is not None and manifest.read
    assert (manifest.missing, manifest.unlisted) == ((), ())


@pytest.mark.parametrize("change", ["table removed", "table added", "manifest is a link", "no manifest"])
def test_the_manifest_against_the_directory(stores: dict[str, Path], tmp_path: Path, change: str) -> None:
    store = tmp_path / "store"
    shutil.copytree(stores["compressed"], store)
    tables = sorted(store.glob("*.ldb"))
    manifest_name = max(p.name for p in store.glob("MANIFEST-*"))
    if change == "table removed":
        tables[0].unlink()
    elif change == "table added":
        shutil.copy(tables[0], store / "000777.ldb")
    elif change == "manifest is a link":
        (store / manifest_name).rename(tmp_path / manifest_name)
        (store / manifest_name).symlink_to(tmp_path / manifest_name)
    else:
        (store / manifest_name).unlink()

    manifest = tarnwick.inspect(store).manifest
    if change == "no manifest":
        assert manifest is None
        return
    assert manifest is not None and manifest.name == manifest_name
    if change == "manifest is a link":
        assert not manifest.read and "link" in manifest.reason
        return
    assert manifest.read
    if change == "table removed":
        assert (manifest.missing, manifest.unlisted) == ((int(tables[0].stem),), ())
    else:
        assert (manifest.missing, manifest.unlisted) == ((), ("000777.ldb",))


# --- complete ----------------------------------------------------------------------


def damage(store: Path, how: str) -> None:
    if how == "a log stretch overwritten":
        log = max(store.glob("*.log"))
        data = bytearray(log.read_bytes())
        data[40:240] = b"\xee" * 200
        log.write_bytes(bytes(data))
    elif how == "a table's magic gone":
        table = min(store.glob("*.ldb"))
        data = bytearray(table.read_bytes())
        data[-8:] = bytes(8)
        table.write_bytes(bytes(data))
    elif how == "a table cut short":
        table = min(store.glob("*.ldb"))
        os.truncate(table, table.stat().st_size // 2)
    elif how == "a copy named by a file manager":
        shutil.copy(min(store.glob("*.ldb")), store / "000005 (1).ldb")


@pytest.mark.parametrize(
    "how", ["a log stretch overwritten", "a table's magic gone", "a table cut short", "a copy named by a file manager"]
)
def test_anything_not_read_whole_makes_the_read_incomplete(stores: dict[str, Path], tmp_path: Path, how: str) -> None:
    store = tmp_path / "store"
    shutil.copytree(stores["compressed"], store)
    assert tarnwick.inspect(store).complete
    damage(store, how)
    report = tarnwick.inspect(store)
    assert report.finished and not report.complete
    assert report.warnings()


def test_a_filter_does_not_make_the_read_incomplete(stores: dict[str, Path]) -> None:
    s = tarnwick.scan(stores["compressed"], file_types=["Log"])
    pa.table(s)
    assert s.report is not None and s.report.complete
    assert {f.status for f in s.report.files} == {"read", "filtered"}


def test_a_part_of_a_store_is_read_in_place(stores: dict[str, Path]) -> None:
    store = stores["compressed"]
    names = sorted(p.name for p in store.iterdir() if p.suffix in (".ldb", ".log"))
    part = names[::2]
    s = tarnwick.scan(store, files=part)
    got = pa.table(s)
    assert s.report is not None and [f.name for f in s.report.files] == part and s.report.complete
    # The manifest is set against the whole folder, not against the part.
    assert s.report.manifest is not None and (s.report.manifest.missing, s.report.manifest.unlisted) == ((), ())
    with _tarnwick.RawLevelDb(str(store)) as db:
        want = [r.key for r in db.iterate_records_raw() if os.path.basename(r.origin_file) in part]
    assert got.column("key").to_pylist() == want
    assert [r.key for r in tarnwick.records(store, files=part)] == want


@pytest.mark.parametrize("which", ["sample", "compressed", "uncompressed"])
def test_file_numbers_are_the_engines_own(stores: dict[str, Path], tmp_path: Path, which: str) -> None:
    store = tmp_path / "store"
    shutil.copytree(stores[which], store)
    table = min(store.glob("*.ldb"))
    os.rename(table, store / "1000010.ldb")  # seven digits, as the engine names files from 1,000,000 on
    report = tarnwick.inspect(store)
    assert [f.number for f in report.files] == [int(f.name.partition(".")[0]) for f in report.files]
    got = pa.table(tarnwick.scan(store))
    numbers = {os.path.basename(f): n for f, n in zip(got.column("file").to_pylist(), got.column("file_number").to_pylist())}
    assert numbers == {name: int(name.partition(".")[0]) for name in numbers}
    assert report.files[-1].name == "1000010.ldb"
    assert report.manifest is not None and report.manifest.missing == (int(table.stem),)
    assert report.manifest.unlisted == ("1000010.ldb",)
