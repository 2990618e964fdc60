"""``tarnwick chromium``: the command over the real-browser fixture and over stores
written by the LevelDB engine in the browser's Local Storage format."""

from __future__ import annotations

import csv
import importlib
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import plyvel
import pytest

from tarnwick import chromium

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "tarnwick", "chromium", *map(str, args)],
                          capture_output=True, cwd=cwd, timeout=120)


def jsonl(out: bytes) -> list[dict]:
    return [json.loads(line) for line in out.decode().splitlines()]


def test_default_rows_are_the_newest_version_of_every_data_key() -> None:
    rows = jsonl(run(PROFILE, "-f", "jsonl").stdout)
    assert {r["store_kind"] for r in rows} == {"localstorage", "sessionstorage", "indexeddb"}
    assert {r["record_type"] for r in rows} == {"data"}
    keys = [(r["store_path"], r["object_store"], json.dumps(r["key"])) for r in rows]
    assert len(keys) == len(set(keys))
    deleted = next(r for r in rows if r["store_kind"] == "localstorage" and r["key"] == "to_delete")
    assert (deleted["state"], deleted["version_status"], deleted["value"]) == \
        ("deleted", "deleted", "doomed value")


def test_history_lists_every_version_of_a_deleted_key() -> None:
    rows = [r for r in jsonl(run(PROFILE, "--history", "-f", "jsonl").stdout)
            if r["store_kind"] == "localstorage" and r["key"] == "to_delete"]
    rows.sort(key=lambda r: r["seq"])  # rows come in file order; a key's versions in seq order
    assert [(r["version_status"], r["value"]) for r in rows] == \
        [("last_before_deletion", "doomed value"), ("deleted", None)]
    assert rows[0]["seq"] < rows[1]["seq"] and all(r["file"] and r["offset"] >= 0 for r in rows)


@pytest.mark.parametrize("fmt", ["text", "jsonl", "csv", "parquet"])
def test_every_format_carries_every_row(fmt: str, tmp_path: Path) -> None:
    expected = len(jsonl(run(PROFILE, "--all-records", "--history", "-f", "jsonl").stdout))
    out = tmp_path / f"out.{fmt}"
    result = run(PROFILE, "--all-records", "--history", "-f", fmt, "-o", out)
    assert result.returncode == 0, result.stderr
    if fmt == "parquet":
        import pyarrow.parquet as pq

        table = pq.read_table(out)
        assert table.num_rows == expected
        assert {"store_kind", "origin", "database", "object_store", "key", "value", "state",
                "version_status", "seq", "file", "offset", "raw_value"} <= set(table.column_names)
    elif fmt == "csv":
        csv.field_size_limit(1 << 30)
        rows = list(csv.DictReader(io.StringIO(out.read_text())))
        assert len(rows) == expected
    else:
        assert len(out.read_text().splitlines()) == expected


def test_output_is_never_written_inside_the_store(tmp_path: Path) -> None:
    store = tmp_path / "Local Storage" / "leveldb"
    store.parent.mkdir()
    db = plyvel.DB(str(store), create_if_missing=True)
    db.put(b"VERSION", b"1")
    db.close()
    before = sorted(os.listdir(store))
    result = run(tmp_path, "-o", store / "out.txt")
    assert result.returncode == 2 and b"out.txt" in result.stderr
    assert sorted(os.listdir(store)) == before


def test_a_missing_directory_is_one_line_and_status_2(tmp_path: Path) -> None:
    result = run(tmp_path / "nope")
    assert result.returncode == 2 and result.stderr.count(b"\n") == 1


def _local_storage(path: Path, items: dict[str, str], origin: str = "https://example.com") -> None:
    db = plyvel.DB(str(path), create_if_missing=True, compression="snappy")
    db.put(b"VERSION", b"1")
    for k, v in items.items():
        fmt = b"\x01" if all(ord(c) < 256 for c in k + v) else b"\x00"
        enc = (lambda s: s.encode("latin-1")) if fmt == b"\x01" else (lambda s: s.encode("utf-16-le"))
        db.put(b"_" + origin.encode() + b"\x00" + fmt + enc(k), fmt + enc(v))
    db.close()


def test_stores_found_by_their_keys_and_tables_of_the_engine(tmp_path: Path) -> None:
    # Not named like a browser folder: the kind comes from the keys. The engine
    # compacts the writes into Snappy tables.
    store = tmp_path / "copied-store"
    _local_storage(store, {f"k{i}": f"value {i} ✓" for i in range(3000)})
    db = plyvel.DB(str(store))
    db.delete(b"_https://example.com\x00\x01k7")
    db.compact_range()
    db.close()
    entries = {e.key: e for e in chromium.read(store) if e.record_type == "data"}
    assert len(entries) == 3000
    assert entries["k1"].value == "value 1 ✓" and entries["k1"].version_status == "current"
    assert entries["k7"].state == "deleted"


def test_other_leveldb_folders_of_a_profile_are_left_alone(tmp_path: Path) -> None:
    (tmp_path / "Local Storage").mkdir()
    _local_storage(tmp_path / "Local Storage" / "leveldb", {"a": "b"})
    other = plyvel.DB(str(tmp_path / "Extension State"), create_if_missing=True)
    other.put(b"_not:local storage", b"x")
    other.put(b"\x00\x01\x02\x03\x04\x05", b"y")
    other.close()
    assert [k for k, _ in chromium.find_stores(str(tmp_path))] == ["localstorage"]
    # Given directly, a folder is decoded only if most of its keys are a store's.
    assert list(chromium.read(tmp_path / "Extension State")) == []


def test_parquet_says_where_it_came_from_and_types_its_json(tmp_path: Path) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    out = tmp_path / "rows.parquet"
    assert run(PROFILE, "-f", "parquet", "-o", out).returncode == 0
    schema = pq.read_schema(out)
    if hasattr(pa, "json_"):
        assert all(schema.field(c).type == pa.json_() for c in ("key", "value", "details"))
    meta = pq.read_metadata(out).metadata
    assert json.loads(meta[b"tarnwick.source"]) == os.path.abspath(PROFILE)
    files = {f["path"]: f for f in json.loads(meta[b"tarnwick.source_files"])}
    blob = next(p for p in files if ".indexeddb.blob" in p)  # blob files are custody too
    import hashlib
    for path in (blob, next(p for p in files if p.endswith(".log"))):
        assert files[path]["digests"]["sha256"] == hashlib.sha256(Path(path).read_bytes()).hexdigest()
    assert len(json.loads(meta[b"tarnwick.read_report"])["stores"]) == 4


def test_a_folder_whose_keys_are_no_browsers_says_so(tmp_path: Path) -> None:
    store = tmp_path / "plain"
    db = plyvel.DB(str(store), create_if_missing=True)
    for i in range(50):
        db.put(b"record-%03d" % i, b"x")
    db.close()
    result = run(store)
    assert result.returncode == 0 and result.stdout == b""
    assert result.stderr.decode().splitlines() == [
        f"tarnwick: warning: {str(store)!r}: not a Chromium store (its keys are not Local Storage's, Session "
        "Storage's or IndexedDB's); tarnwick dump gives its records",
        "tarnwick: wrote 0 records to standard output; nothing left out",
    ]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda tmp: chromium.scan(tmp / "absent"), "Not a directory: "),
        (lambda tmp: chromium.scan(PROFILE / "Local Storage" / "leveldb" / "CURRENT"), "Not a directory: "),
        (lambda tmp: chromium.scan(PROFILE, kinds=["cookies"]), "unknown kind 'cookies' (expected one of "),
        (lambda tmp: chromium.read(tmp / "absent"), "Not a directory: "),
    ],
    ids=["scan_absent", "scan_a_file", "scan_unknown_kind", "read_absent"],
)
def test_the_library_refuses_what_it_cannot_read_at_once(tmp_path: Path, call, message: str) -> None:
    # Rows from nowhere would pass for a profile without stores.
    with pytest.raises(ValueError, match="^" + message.replace("(", r"\(")):
        call(tmp_path)


def test_folders_the_scan_could_not_list_are_named(monkeypatch: pytest.MonkeyPatch) -> None:
    scan_module = importlib.import_module("tarnwick.chromium.scan")  # the package's scan() hides the module
    real = scan_module.find_stores

    def refusing(root: str, *, on_error):  # type: ignore[no-untyped-def]
        on_error(os.path.join(root, "Locked"), PermissionError(13, "Permission denied"))
        return real(root, on_error=on_error)

    monkeypatch.setattr(scan_module, "find_stores", refusing)
    rows = chromium.scan(PROFILE)
    assert rows.unlisted == [(os.path.join(str(PROFILE), "Locked"), "Permission denied")]
    assert rows.sources
