"""What a hostile web page can write, and hostile evidence trees, through the
Chromium decoders and ``tarnwick chromium``.

The page of tests/fixtures/chromium/hostile (written by real headless Chromium with
``scripts/make_chromium_fixtures.py --hostile``) stores value bombs, array keys 500 to
2,000 deep, a value 3,000 deep, a 5,001-digit BigInt, a reference bomb, names that
forge report lines and lone surrogates, between canary values. Blob-file trees and the
Session Storage number are built by hand (the browser cannot make them)."""

from __future__ import annotations

import csv
import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import plyvel
import pytest

from tarnwick.chromium import _json, read_store, sessionstorage
from tarnwick.chromium._records import RawRecord

FIXTURES = Path(__file__).resolve().parents[1] / "fixtures" / "chromium"
HOSTILE = FIXTURES / "hostile" / "profile"
ORACLE = json.loads((FIXTURES / "hostile" / "oracle.json").read_text())
OPS = ORACLE["operations"]
IDB_STORE = next((HOSTILE / "IndexedDB").glob("*.indexeddb.leveldb"))
LS_STORE = HOSTILE / "Local Storage" / "leveldb"
# Output may be this many times the size of the store files, in any format.
OUTPUT_MULTIPLE = 4


def run(*args: object) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "tarnwick", "chromium", *map(str, args)],
                          capture_output=True, timeout=300)


def loads(text: str) -> object:
    """json.loads for rows whose keys nest 2,000 deep: the reader of a report may
    need a higher recursion limit than Python's default; the writer does not."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 20_000))
    try:
        return json.loads(text)
    finally:
        sys.setrecursionlimit(limit)


def store_bytes(root: Path) -> int:
    return sum(p.stat().st_size for p in root.rglob("*") if p.is_file() and not p.is_symlink())


def op_id(op: dict) -> str:
    return f"{op['store']}:{op.get('database', '')}:{op.get('key', op.get('key_json'))}"[:60]


@pytest.fixture(scope="module")
def idb_entries() -> list:
    return [e for e in read_store(IDB_STORE) if e.record_type == "data"]


@pytest.mark.parametrize("op", [o for o in OPS if o["store"] == "indexeddb"], ids=op_id)
def test_every_hostile_indexeddb_write_comes_out(op: dict, idb_entries: list) -> None:
    (entry,) = [e for e in idb_entries if e.database == op["database"] and e.object_store == op["object_store"]
                and _json.dumps(e.key) == op["key_json"]]
    if "expect_error" in op:
        assert entry.value is None and op["expect_error"] in entry.error
        assert entry.raw_value  # the raw bytes stay with the error row
    else:
        assert entry.error is None, entry.error
        assert _json.dumps(entry.value) == op["value_json"]


@pytest.mark.parametrize("op", [o for o in OPS if o["store"] == "localstorage"], ids=op_id)
def test_every_hostile_local_storage_write_comes_out(op: dict) -> None:
    entries = [e for e in read_store(LS_STORE) if e.record_type == "data" and e.key == op["key"]]
    assert [e.value for e in entries] == [op["value"]]


def csv_cell_value(cell: str, js_type: str) -> object:
    """A key or value back from chromium's CSV: a string as its plain text (a
    JSON literal when it starts with a quote or holds a lone surrogate), any
    other type as JSON; a leading apostrophe guards against formulas."""
    text = cell[1:] if cell.startswith("'") and cell[1:2] in ("=", "+", "-", "@", "\t", "\r", "'") else cell
    if js_type == "string":
        return loads(text) if text.startswith('"') else text
    return None if text == "" else loads(text)


@pytest.mark.parametrize("fmt", ["text", "jsonl", "csv", "parquet"])
def test_every_format_gives_canaries_within_budget_without_forged_lines(fmt: str, tmp_path: Path) -> None:
    out = tmp_path / f"out.{fmt}"
    result = run(HOSTILE, "-f", fmt, "-o", out)
    assert result.returncode == 0, result.stderr
    assert out.stat().st_size <= OUTPUT_MULTIPLE * store_bytes(HOSTILE)
    # The reference bomb is the one record that cannot be decoded: it is said so.
    assert b"left out: 1 undecoded record" in result.stderr.splitlines()[-1]
    assert run(HOSTILE, "--strict", "-f", fmt, "-o", tmp_path / f"strict.{fmt}").returncode == 1
    rows = len(OPS)
    if fmt == "text":
        lines = out.read_bytes().decode().split("\n")[:-1]
        assert len(lines) == rows
        assert all(line.startswith(("indexeddb ", "localstorage ")) for line in lines)
        assert sum("canary:" in line for line in lines) == 4
        return
    if fmt == "jsonl":
        table = [loads(line) for line in out.read_text().splitlines()]
    elif fmt == "csv":
        table = list(csv.DictReader(io.StringIO(out.read_text(), newline="")))
        for r in table:
            r["key"] = csv_cell_value(r["key"], r["key_type"])
    else:
        import pyarrow.parquet as pq

        table = pq.read_table(out).to_pylist()
        for r in table:
            r["key"] = loads(r["key"])
    assert len(table) == rows
    assert sum(isinstance(r["key"], str) and r["key"].startswith("canary:") for r in table) == 4
    # Keys that differ only in a lone surrogate stay different in every format.
    lone = [r["key"] for r in table if isinstance(r["key"], str) and r["key"].startswith("lone")]
    assert sorted(lone) == sorted(["lone\ud800", "lone\udbff"] * 2)
    if fmt != "jsonl":  # names are cells: lone surrogates as JSON string literals
        names = {r["database"] for r in table}
        assert {json.loads(n) for n in names if n and n.startswith('"')} == {"lone\ud800", "lone\udbff"}


# --- blob files in a hand-made evidence tree --------------------------------------------

MAIN = FIXTURES / "profile"
MAIN_IDB = next((MAIN / "IndexedDB").glob("*.indexeddb.leveldb"))
MAIN_BLOBS = next((MAIN / "IndexedDB").glob("*.indexeddb.blob"))
# In the main fixture, blob 2 holds the whole value of v:large_binary, blob 3 is the
# Blob of v:blob.
VALUE_BLOB, BLOB_BLOB = "1/00/2", "1/00/3"


def _sparse(path: Path) -> None:
    with open(path, "wb") as f:
        f.truncate(4 << 30)


@pytest.mark.parametrize(
    ("blob", "make", "said"),
    [
        (VALUE_BLOB, lambda p: p.symlink_to("/etc/passwd"), "symbolic link to '/etc/passwd'"),
        (VALUE_BLOB, lambda p: p.symlink_to("/dev/zero"), "symbolic link to '/dev/zero'"),
        (VALUE_BLOB, lambda p: os.mkfifo(p), "a FIFO"),
        (VALUE_BLOB, _sparse, "over the 67108864-byte cap"),
        (BLOB_BLOB, lambda p: p.symlink_to("/etc/passwd"), "symbolic link to '/etc/passwd'"),
        (BLOB_BLOB, lambda p: os.mkfifo(p), "a FIFO"),
        (BLOB_BLOB, lambda p: (p.parent.rename(p.parent.with_name("elsewhere")),
                               p.parent.symlink_to(p.parent.with_name("elsewhere"))), "the folder"),
    ],
    ids=["value-link-passwd", "value-link-zero", "value-fifo", "value-4GiB", "blob-link-passwd",
         "blob-fifo", "folder-link"],
)
def test_blob_files_are_evidence_never_followed(blob: str, make, said: str, tmp_path: Path) -> None:
    profile = tmp_path / "profile"
    shutil.copytree(MAIN / "IndexedDB", profile / "IndexedDB")
    target = profile / "IndexedDB" / MAIN_BLOBS.name / blob
    target.unlink()
    make(target)
    result = run(profile, "-f", "jsonl")
    assert result.returncode == 0, result.stderr
    rows = {json.dumps(r["key"]): r for r in map(json.loads, result.stdout.decode().splitlines())}
    assert rows['"v:str"']["value"] == "plain text"  # the rest of the store is there
    passwd = open("/etc/passwd", "rb").read(16).hex()
    assert passwd not in result.stdout.decode()
    assert said in result.stderr.decode()
    if blob == VALUE_BLOB:
        row = rows['"v:large_binary"']
        assert row["value"] is None and said in row["error"] and row["raw_value"]
    else:
        described = rows['"v:blob"']["value"]["$blob"]
        assert "hex" not in described and said in described["file_status"]
    assert run(profile, "--strict", "-f", "jsonl").returncode == 1


# --- Session Storage numbers, folders that cannot be listed -------------------------------

SESSION = "0123456789abcdef0123456789abcdef0123"


@pytest.mark.parametrize(("digits", "decoded"), [(5_000, True), (10_001, False)])
def test_a_huge_map_number_costs_only_its_records(digits: int, decoded: bool, tmp_path: Path) -> None:
    store = tmp_path / "Session Storage"
    number = b"9" * digits
    db = plyvel.DB(str(store), create_if_missing=True)
    db.put(b"version", b"1")
    db.put(b"namespace-" + SESSION.encode() + b"-https://a.example/", number)
    db.put(b"map-" + number + b"-huge", "in the huge map".encode("utf-16-le"))
    db.put(b"namespace-" + SESSION.encode() + b"-https://b.example/", b"0")
    db.put(b"map-0-canary", "canary".encode("utf-16-le"))
    db.close()
    entries = {e.key: e for e in read_store(store) if e.record_type == "data"}
    assert entries["canary"].value == "canary" and entries["canary"].origin == "https://b.example"
    huge = entries.get("huge")
    if decoded:
        assert huge.value == "in the huge map" and huge.origin == "https://a.example"
        assert _json.dumps(huge.details["map"]) == number.decode()
    else:
        (failed,) = [e for e in read_store(store) if e.user_key.startswith(b"map-9")]
        assert "digits" in failed.error


def test_a_folder_that_cannot_be_listed_is_reported(tmp_path: Path, monkeypatch) -> None:
    from tarnwick.chromium import discover

    shutil.copytree(MAIN / "Local Storage", tmp_path / "Local Storage")
    (tmp_path / "locked").mkdir()
    from tarnwick.stores import find

    real = find.open_directory

    def open_directory(path, **kwargs) -> int:
        if os.fsdecode(path).endswith("locked"):
            raise PermissionError(13, "Permission denied", os.fspath(path))
        return real(path, **kwargs)

    monkeypatch.setattr(find, "open_directory", open_directory)
    errors: list[str] = []
    found = list(discover.find_stores(str(tmp_path), on_error=lambda path, error: errors.append(path)))
    assert [kind for kind, _ in found] == ["localstorage"]
    assert errors == [str(tmp_path / "locked")]


def test_a_dir_that_cannot_be_listed_is_an_error(tmp_path: Path) -> None:
    result = run(tmp_path / "missing")
    assert result.returncode == 2 and b"no Chromium store" not in result.stderr


# --- the JSON encoder against json.dumps, on every value of the real fixture -------------

@pytest.mark.parametrize("kind", ["localstorage", "sessionstorage", "indexeddb"])
def test_iterative_json_matches_json_dumps(kind: str) -> None:
    stores = {"localstorage": MAIN / "Local Storage" / "leveldb", "sessionstorage": MAIN / "Session Storage",
              "indexeddb": MAIN_IDB}
    checked = 0
    for e in read_store(stores[kind]):
        for v in (e.key, e.value, e.details):
            assert _json.dumps(v) == json.dumps(v, ensure_ascii=False, separators=(",", ":"))
            checked += 1
    assert checked


def test_session_storage_decoder_keeps_going_after_any_exception() -> None:
    # A record whose value is not even bytes: a fault of the caller, not of the data,
    # and still only that record's error.
    records = [RawRecord(b"map-0-a", "not bytes", 1, "live", "f", 0),  # type: ignore[arg-type]
               RawRecord(b"map-0-b", "b".encode("utf-16-le"), 2, "live", "f", 10)]
    entries = list(sessionstorage.decode(records, "store"))
    assert entries[0].error and entries[1].value == "b"


def test_a_table_the_reader_leaves_out_is_warned_about(tmp_path: Path) -> None:
    store = tmp_path / "Local Storage" / "leveldb"
    store.parent.mkdir()
    db = plyvel.DB(str(store), create_if_missing=True)
    for i in range(11):
        db.put(b"_https://a.example\x00\x01" + b"key%d" % i, b"\x01value")
    db.compact_range()
    db.close()
    (table,) = store.glob("*.ldb")
    data = bytearray(table.read_bytes())
    data[-8:] = b"\x00" * 8  # the table's magic number
    table.write_bytes(bytes(data))
    # By default its blocks are found by their checksums: every key comes back,
    # and the file is still named as not read whole.
    result = run(tmp_path, "-f", "jsonl")
    assert result.returncode == 0
    assert len(result.stdout.splitlines()) == 11
    assert f"salvaged {str(table)!r}".encode() in result.stderr
    assert b"left out: 1 file" in result.stderr.splitlines()[-1]
    assert run(tmp_path, "--strict", "-f", "jsonl").returncode == 1
    result = run(tmp_path, "--no-salvage", "-f", "jsonl")
    assert result.returncode == 0 and result.stdout == b""
    assert f"left out {str(table)!r}".encode() in result.stderr


@pytest.mark.parametrize("profile", [HOSTILE, FIXTURES / "profile"], ids=["hostile", "fixture"])
def test_csv_cells_are_plain_text_and_give_back_every_key_and_value(profile: Path, tmp_path: Path) -> None:
    """A spreadsheet sees strings as their text, not JSON-quoted; with the type
    columns, each cell still gives back exactly the key and value of JSON Lines."""
    run(profile, "--history", "-f", "csv", "-o", tmp_path / "out.csv")
    run(profile, "--history", "-f", "jsonl", "-o", tmp_path / "out.jsonl")
    csv.field_size_limit(1 << 30)
    rows = list(csv.DictReader(io.StringIO((tmp_path / "out.csv").read_text(), newline="")))
    lines = [loads(line) for line in (tmp_path / "out.jsonl").read_text().splitlines()]
    assert len(rows) == len(lines) > 0
    assert any(r["value_type"] == "string" and not r["value"].startswith('"') for r in rows)
    for r, j in zip(rows, lines):
        if r["error"]:
            continue
        assert (r["key_type"], r["value_type"]) == (j["key_type"], j["value_type"])
        # compared as text: the values nest deeper than Python compares recursively
        assert _json.dumps(csv_cell_value(r["key"], r["key_type"])) == _json.dumps(j["key"])
        assert _json.dumps(csv_cell_value(r["value"], r["value_type"])) == _json.dumps(j["value"])
