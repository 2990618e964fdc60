"""IndexedDB databases of Chromium's SQLite backend: recognised and reported, not decoded.

The fixture (tests/fixtures/chromium/sqlite_backend) is the IndexedDB folder of a
profile written by Debian's chromium-headless-shell 156 started with
``--enable-features=IdbSqliteBackingStore``, after the page of
scripts/make_idb_versions_fixture.py ran: one origin folder, one database file.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarnwick.chromium.discover import SQLITE_HEADER, find_sqlite_indexeddb

FIXTURES = Path(__file__).resolve().parents[1] / "fixtures" / "chromium"
ORIGIN_FOLDER = "http_127.0.0.1_58679"
DATABASE = "522OXX6LFUPNXKZNSBDLI5HU22ITANQIH5ZITWDQ4YCXQQ4PR25A"
SOURCE = FIXTURES / "sqlite_backend" / "IndexedDB" / ORIGIN_FOLDER / DATABASE


def run(*args: object) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "tarnwick", "chromium", *map(str, args)],
                          capture_output=True, timeout=120)


@pytest.fixture
def profile(tmp_path: Path) -> Path:
    """A profile whose IndexedDB is in SQLite, beside the LevelDB stores of the
    real-browser fixture profile."""
    root = tmp_path / "Default"
    shutil.copytree(FIXTURES / "profile", root)
    folder = root / "IndexedDB" / ORIGIN_FOLDER
    folder.mkdir(parents=True)
    shutil.copyfile(SOURCE, folder / DATABASE)
    return root


def test_the_fixture_is_a_sqlite_database() -> None:
    assert SOURCE.read_bytes()[:len(SQLITE_HEADER)] == SQLITE_HEADER


@pytest.mark.parametrize("given", ["profile", "IndexedDB", "origin folder", "database"])
def test_found_from_any_folder_above_it_or_as_itself(profile: Path, given: str) -> None:
    database = profile / "IndexedDB" / ORIGIN_FOLDER / DATABASE
    root = {"profile": profile, "IndexedDB": profile / "IndexedDB",
            "origin folder": database.parent, "database": database}[given]
    assert find_sqlite_indexeddb(str(root)) == [str(database) if given != "database" else str(root)]


def _outside_indexeddb(profile: Path) -> None:
    # A profile's other SQLite files (Cookies, History, ...) are not IndexedDB.
    shutil.copyfile(SOURCE, profile / "Cookies")


def _link(profile: Path) -> None:
    (profile / "IndexedDB" / "elsewhere").mkdir()
    os.symlink(SOURCE, profile / "IndexedDB" / "elsewhere" / DATABASE)


def _fifo(profile: Path) -> None:
    (profile / "IndexedDB" / "pipe").mkdir()
    os.mkfifo(profile / "IndexedDB" / "pipe" / DATABASE)


def _leveldb_only(profile: Path) -> None:
    shutil.rmtree(profile / "IndexedDB" / ORIGIN_FOLDER)


def _header_cut_short(profile: Path) -> None:
    (profile / "IndexedDB" / "short").mkdir()
    (profile / "IndexedDB" / "short" / DATABASE).write_bytes(SQLITE_HEADER[:-1])


@pytest.mark.parametrize("change", [_outside_indexeddb, _link, _fifo, _leveldb_only, _header_cut_short],
                         ids=["sqlite-outside-indexeddb", "link", "fifo", "leveldb-only", "header-cut-short"])
def test_only_sqlite_files_below_indexeddb_count(profile: Path, change: object) -> None:
    change(profile)  # type: ignore[operator]
    expected = [] if change is _leveldb_only else [str(profile / "IndexedDB" / ORIGIN_FOLDER / DATABASE)]
    assert find_sqlite_indexeddb(str(profile)) == expected


def test_the_header_is_read_without_changing_access_times(profile: Path) -> None:
    database = profile / "IndexedDB" / ORIGIN_FOLDER / DATABASE
    os.utime(database, ns=(1_000_000_000, 2_000_000_000))
    find_sqlite_indexeddb(str(profile))
    assert database.stat().st_atime_ns == 1_000_000_000


@pytest.mark.parametrize("strict", [False, True], ids=["default", "strict"])
def test_chromium_command_reports_the_database(profile: Path, tmp_path: Path, strict: bool) -> None:
    database = profile / "IndexedDB" / ORIGIN_FOLDER / DATABASE
    out = tmp_path / "out.parquet"
    result = run(profile, "-f", "parquet", "-o", out, *(["--strict"] if strict else []))
    stderr = result.stderr.decode()
    assert f"IndexedDB store in the SQLite backend, not decoded: {str(database)!r}" in stderr
    assert "left out: 1 SQLite IndexedDB store" in stderr
    assert result.returncode == (1 if strict else 0)
    import pyarrow.parquet as pq

    metadata = pq.read_metadata(out).metadata
    report = json.loads(metadata[b"tarnwick.read_report"])
    assert report["not_decoded"] == [{"path": str(database), "kind": "indexeddb", "backend": "sqlite"}]
    assert pq.read_table(out).num_rows > 0  # the LevelDB stores beside it are decoded as before


@pytest.mark.parametrize(("kinds", "reported"), [(["indexeddb"], True), (["localstorage"], False)])
def test_a_profile_of_only_sqlite_indexeddb_is_not_empty(tmp_path: Path, kinds: list[str], reported: bool) -> None:
    folder = tmp_path / "Default" / "IndexedDB" / ORIGIN_FOLDER
    folder.mkdir(parents=True)
    shutil.copyfile(SOURCE, folder / DATABASE)
    result = run(tmp_path / "Default", "-f", "jsonl", *[a for k in kinds for a in ("--kind", k)])
    stderr = result.stderr.decode()
    assert ("SQLite backend, not decoded" in stderr) == reported
    assert ("no Chromium store found" in stderr) != reported
    assert result.stdout == b""
