"""The read report: for every entry of a store, whether it was read, left out
or not admitted and why (the readers' own reasons), records per file, blocks
read and skipped, and the byte ranges from which nothing was decoded."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import pyarrow as pa
import pytest

import _tarnwick
import craft
import tarnwick
from test_damage_sweep import TableLayout

SAMPLE = Path(__file__).resolve().parent.parent / "fixtures" / "sample_db"


@pytest.fixture
def odd_store(tmp_path: Path) -> Path:
    """The sample store, plus entries of every kind the report tells apart."""
    d = tmp_path / "odd"
    shutil.copytree(SAMPLE, d)
    table = (SAMPLE / "000005.ldb").read_bytes()
    (d / "000123 (1).ldb").write_bytes(table)  # a copy a file manager made
    (d / "f0012345.ldb").write_bytes(table)
    (d / "000009.ldb").mkdir()
    (d / "000010.log").symlink_to(d / "gone")
    (d / "000011.ldb").write_bytes(b"\x01" * 100)  # no table magic
    (d / "000012.ldb").write_bytes(b"short")
    (d / "000013.ldb").symlink_to(d / "000005.ldb")  # a link, even to a data file of the store, is not followed
    (d / "notes.txt").write_text("not part of the store")
    return d


def test_every_entry_is_accounted_for(odd_store: Path) -> None:
    report = tarnwick.inspect(odd_store)
    files = {f.name: f for f in report.files}
    others = {e.name: e for e in report.others}
    assert list(files) == ["000005.ldb", "000006.log", "000007.ldb", "000011.ldb", "000012.ldb"]
    assert {name: e.status for name, e in others.items()} == {
        "000009.ldb": "not_admitted",
        "000010.log": "link",
        "000013.ldb": "link",
        "000123 (1).ldb": "not_admitted",
        "CURRENT": "not_data",
        "LOG": "not_data",
        "MANIFEST-000002": "not_data",
        "f0012345.ldb": "not_admitted",
    }
    assert others["000009.ldb"].reason == "a directory"
    assert (others["000010.log"].target, others["000013.ldb"].target) == (str(odd_store / "gone"), str(odd_store / "000005.ldb"))
    assert report.links == (others["000010.log"], others["000013.ldb"])
    assert "name" in others["000123 (1).ldb"].reason and "name" in others["f0012345.ldb"].reason

    assert files["000011.ldb"].status == "left_out"
    assert files["000011.ldb"].reason == f"Invalid magic number in {odd_store}/000011.ldb"
    assert files["000011.ldb"].unread == (tarnwick.UnreadRange(0, 100, files["000011.ldb"].reason),)
    assert report.left_out == (files["000011.ldb"],)

    short = files["000012.ldb"]
    assert (short.status, short.records) == ("read", 0)
    assert [(r.begin, r.end) for r in short.unread] == [(0, 5)]
    assert "too small" in short.unread[0].reason
    assert not report.complete and report.finished


def test_the_report_agrees_with_the_list(odd_store: Path) -> None:
    with _tarnwick.RawLevelDb(str(odd_store)) as db:
        # RawLevelDb follows a link among the entries; the scanner never does.
        listed = [r for r in db.iterate_records_raw() if not os.path.islink(r.origin_file)]
    report = tarnwick.inspect(odd_store)
    read = {f.path: f.records for f in report.files if f.status == "read"}
    assert {r.origin_file for r in listed} <= set(read)
    assert read == {path: sum(r.origin_file == path for r in listed) for path in read}
    assert report.records == len(listed)


def test_damaged_blocks_and_stretches_make_the_damage_map(tmp_path: Path) -> None:
    entries = [[(craft.internal_key(b"key%03d-%d" % (i, b), i), b"value %d" % i * 20) for i in range(20)]
               for b in range(5)]
    data = bytearray(craft.table_file(entries, compression=1))
    layout = TableLayout.of(bytes(data))
    hit = layout.data_blocks[2]
    data[hit.offset : hit.offset + hit.size] = bytes(hit.size)
    batches = [craft.write_batch(100 + i, [craft.put(b"log%03d" % i, b"x" * 300)]) for i in range(60)]
    log = bytearray(craft.log_file(batches))
    log[5000:6000] = bytes(1000)
    store = craft.write_files(tmp_path / "db", {"000001.ldb": bytes(data), "000002.log": bytes(log)})

    table_report, log_report = tarnwick.inspect(store).files
    assert (table_report.blocks_read, table_report.blocks_skipped) == (4, 1)
    assert table_report.records == 80
    assert [(r.begin, r.end) for r in table_report.unread] == [(hit.offset, hit.end)]
    assert table_report.unread[0].reason
    assert log_report.unread
    assert all(r.begin <= 6000 and r.end >= 5000 for r in log_report.unread)
    assert log_report.records == len(_tarnwick.RawLevelDb(str(store)).iterate_records_raw()) - 80


def test_a_stream_reports_while_and_after_it_runs(tmp_path: Path) -> None:
    files = {f"{n:06d}.log": craft.log_file([craft.write_batch(n, [craft.put(b"k%d" % i, b"v" * 100)
                                                                    for i in range(500)])])
             for n in range(1, 21)}
    store = craft.write_files(tmp_path / "db", files)
    s = tarnwick.scan(store, threads=2, batch_rows=100)
    reader = pa.RecordBatchReader.from_stream(s)
    reader.read_next_batch()
    during = s.report
    assert during is not None and not during.complete
    assert any(f.status == "pending" for f in during.files)
    for _ in reader:
        pass
    after = s.report
    assert after is not None and after.complete
    assert all(f.status == "read" and f.records == 500 for f in after.files)


def test_filters_leave_the_other_files_unread_and_say_so() -> None:
    s = tarnwick.scan(SAMPLE, file_types=["Log"])
    assert pa.table(s).num_rows == 55
    assert [f.status for f in s.report.files] == ["filtered", "read", "filtered"]


def test_the_report_is_plain_data(odd_store: Path) -> None:
    report = tarnwick.inspect(odd_store)
    again = json.loads(json.dumps(report.to_dict()))
    assert again["directory"] == str(odd_store)
    assert tarnwick.ReadReport.from_dict({**again, "files": [{**f, "unread": [tuple(r.values()) for r in f["unread"]]}
                                                             for f in again["files"]]}) == report


def test_inspecting_changes_no_access_time(odd_store: Path) -> None:
    paths = [odd_store, *(p for p in odd_store.iterdir() if p.is_file() and not p.is_symlink())]
    os.utime(odd_store, (1_000_000, 1_000_000))
    for p in paths:
        os.utime(p, (1_000_000, os.stat(p).st_mtime))
    tarnwick.inspect(odd_store)
    pa.table(tarnwick.scan(odd_store))
    assert {p.name: os.stat(p).st_atime for p in paths} == {p.name: 1_000_000 for p in paths}
