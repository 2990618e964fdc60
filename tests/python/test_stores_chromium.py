"""find and export through the installed command, on the profile real headless Chromium wrote."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import tarnwick

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"

EXPECTED = [
    ("IndexedDB/http_127.0.0.1_60503.indexeddb.leveldb", "indexeddb", "http://127.0.0.1:60503"),
    ("Local Storage/leveldb", "localstorage", None),
    ("Session Storage", "sessionstorage", None),
    ("WebStorage/1/IndexedDB/indexeddb.leveldb", "indexeddb", None),
]


def tarnwick_command(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tarnwick", *args], capture_output=True, text=True, timeout=300)


def test_find_names_every_store_of_a_real_profile():
    done = tarnwick_command("find", str(PROFILE), "--format", "jsonl")
    assert done.returncode == 0, done.stderr
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert [(r["path"], r["kind"], r["origin"]) for r in rows] == EXPECTED


def test_export_of_a_real_profile_holds_every_record_and_the_scanners_report(tmp_path):
    done = tarnwick_command("export", str(PROFILE), "-o", str(tmp_path / "ds"), "--jobs", "2")
    assert done.returncode == 0, done.stderr
    manifest = json.loads((tmp_path / "ds" / "_manifest.json").read_text())
    assert [(s["path"], s["kind"], s["origin"]) for s in manifest["stores"]] == EXPECTED
    for entry in manifest["stores"]:
        scanned = pa.table(tarnwick.scan(PROFILE / entry["path"]))
        assert entry["records"] == scanned.num_rows > 0
        (report,) = entry["read_report"]
        assert [f["status"] for f in report["files"]] == ["read"] * len(report["files"])
        assert {f["name"]: f["records"] for f in report["files"] if f["records"]} == entry["records_by_file"]


def test_find_into_a_pipe_closed_early_ends_quietly(tmp_path):
    # More lines than a pipe holds, so that writing meets the closed pipe.
    for n in range(3000):
        (tmp_path / f"store-{n:04d}").mkdir()
        (tmp_path / f"store-{n:04d}" / "000001.log").write_bytes(b"")
    done = subprocess.run(
        f"{sys.executable} -m tarnwick find '{tmp_path}' | head -n 1", shell=True, capture_output=True, text=True, timeout=300
    )
    assert done.stdout.count("\n") == 1 and done.stderr == ""


def test_export_decode_adds_each_browser_stores_decoded_rows_beside_its_records(tmp_path):
    from tarnwick import chromium

    dataset = tmp_path / "ds"
    # Exported first without decoding: the re-run with --decode must not keep
    # those partitions as unchanged, since they lack the decoded rows.
    assert tarnwick_command("export", str(PROFILE), "-o", str(dataset)).returncode == 0
    done = tarnwick_command("export", str(PROFILE), "-o", str(dataset), "--decode", "--jobs", "2")
    assert done.returncode == 0, done.stderr
    manifest = json.loads((dataset / "_manifest.json").read_text())
    for entry in manifest["stores"]:
        expected = pa.table(chromium.scan(PROFILE / entry["path"], history=True, all_records=True))
        assert entry["decoded"]["rows"] == expected.num_rows > 0
        part = pq.read_table(dataset / entry["partition"] / entry["decoded"]["part"])
        assert part.column("seq").to_pylist() == expected.column("seq").to_pylist()
        assert set(part.column("file").to_pylist()) <= {f"{entry['path']}/{f['name']}" for f in entry["files"]}
        assert set(part.column("store_path").to_pylist()) == {entry["path"]}
    # Readers of the records do not meet the decoded rows: their folder is hidden.
    import pyarrow.dataset as ds

    records = ds.dataset(dataset, format="parquet", partitioning="hive").to_table()
    assert records.num_rows == sum(e["records"] for e in manifest["stores"])


def test_export_decode_queried_with_duckdb_as_the_readme_shows(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    import re

    dataset = tmp_path / "ds"
    assert tarnwick_command("export", str(PROFILE), "-o", str(dataset), "--decode").returncode == 0
    text = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    section = text[text.index("### Decoded rows in the dataset"):]
    queries = re.findall(r"```sql\n(.*?)```", section[: section.index("\n## ", 1)], re.S)
    assert queries
    for query in queries:
        rows = duckdb.sql(query.replace("/cases/17/dataset", str(dataset))).fetchall()
        assert rows, query
