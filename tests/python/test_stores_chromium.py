"""find and export through the installed command, on the profile real headless Chromium wrote."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
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
