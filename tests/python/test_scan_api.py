"""The scanner's Python surface: the Arrow consumers it is made for (pyarrow,
polars, DuckDB), its columns, its filters, light records and text."""

from __future__ import annotations

import json
import os
from pathlib import Path

import duckdb
import polars as pl
import pyarrow as pa
import pytest

import _tarnwick
import tarnwick
from _tarnwick import FileType, KeyState

SAMPLE = Path(__file__).resolve().parent.parent / "fixtures" / "sample_db"


def name(member: object) -> str:
    return str(member).rpartition(".")[2]


@pytest.fixture(scope="module")
def listed() -> list[_tarnwick.Record]:
    with _tarnwick.RawLevelDb(str(SAMPLE)) as db:
        return db.iterate_records_raw()


def test_schema_has_the_documented_columns_and_types() -> None:
    schema = pa.schema(tarnwick.scan(SAMPLE))
    words = pa.dictionary(pa.int8(), pa.string())
    assert schema == pa.schema(
        [
            pa.field("key", pa.large_binary(), nullable=False),
            pa.field("user_key", pa.large_binary(), nullable=False),
            pa.field("value", pa.large_binary(), nullable=False),
            pa.field("seq", pa.uint64(), nullable=False),
            pa.field("state", words, nullable=False),
            pa.field("file_type", words, nullable=False),
            pa.field("file", pa.dictionary(pa.int32(), pa.string()), nullable=False),
            pa.field("file_number", pa.uint64(), nullable=False),
            pa.field("offset", pa.uint64(), nullable=False),
            pa.field("was_compressed", pa.bool_(), nullable=False),
        ]
    )
    table = pa.table(tarnwick.scan(SAMPLE))
    assert table.schema == schema
    table.validate(full=True)


def test_every_consumer_sees_the_same_records(listed: list[_tarnwick.Record]) -> None:
    keys = [r.key for r in listed]
    assert pa.table(tarnwick.scan(SAMPLE)).column("key").to_pylist() == keys
    reader = pa.RecordBatchReader.from_stream(tarnwick.scan(SAMPLE, batch_rows=10))
    batches = list(reader)
    assert len(batches) > 10 and all(b.num_rows <= 10 for b in batches)
    assert [k for b in batches for k in b.column("key").to_pylist()] == keys
    assert pl.DataFrame(tarnwick.scan(SAMPLE))["key"].to_list() == keys
    s = tarnwick.scan(SAMPLE)
    assert [row[0] for row in duckdb.sql("select key from s").fetchall()] == keys


def test_columns_hold_the_record_fields(listed: list[_tarnwick.Record]) -> None:
    rows = pa.table(tarnwick.scan(SAMPLE)).to_pylist()
    for row, r in zip(rows, listed, strict=True):
        assert row == {
            "key": r.key,
            "user_key": r.user_key,
            "value": r.value,
            "seq": r.seq,
            "state": name(r.state),
            "file_type": name(r.file_type),
            "file": r.origin_file,
            "file_number": int(os.path.basename(r.origin_file).split(".")[0]),
            "offset": r.offset,
            "was_compressed": r.was_compressed,
        }


@pytest.mark.parametrize(
    "options,keep",
    [
        ({"states": ["Deleted"]}, lambda r: r.state == KeyState.Deleted),
        ({"states": [KeyState.Live, "unknown"]}, lambda r: r.state != KeyState.Deleted),
        ({"file_types": ["Log"]}, lambda r: r.file_type == FileType.Log),
        ({"file_types": [FileType.Ldb]}, lambda r: r.file_type == FileType.Ldb),
        ({"key_prefix": b"user:1"}, lambda r: r.user_key.startswith(b"user:1")),
        ({"key_prefix": b""}, lambda r: True),
        (
            {"key_prefix": b"config", "states": ["Live"], "file_types": ["Ldb"]},
            lambda r: r.user_key.startswith(b"config") and r.state == KeyState.Live and r.file_type == FileType.Ldb,
        ),
        ({"states": []}, lambda r: False),
    ],
)
def test_filters_keep_what_they_say(listed: list[_tarnwick.Record], options: dict, keep) -> None:
    want = [(r.key, r.seq, r.offset) for r in listed if keep(r)]
    table = pa.table(tarnwick.scan(SAMPLE, **options))
    assert list(zip(*(table.column(c).to_pylist() for c in ("key", "seq", "offset")))) == want
    assert [(r.key, r.seq, r.offset) for r in tarnwick.records(SAMPLE, **options)] == want


@pytest.mark.parametrize(
    "options,error",
    [
        ({"states": ["Gone"]}, ValueError),
        ({"file_types": ["sst"]}, ValueError),
        ({"key_prefix": "user"}, TypeError),
        ({"threads": 0}, ValueError),
        ({"batch_rows": 0}, ValueError),
        ({"batch_bytes": -1}, ValueError),
    ],
)
def test_bad_options_are_refused(options: dict, error: type) -> None:
    with pytest.raises(error):
        tarnwick.scan(SAMPLE, **options)


def test_a_path_that_is_not_a_directory_is_refused(tmp_path: Path) -> None:
    with pytest.raises(ValueError, match="Not a directory"):
        tarnwick.scan(tmp_path / "missing")
    with pytest.raises(ValueError, match="Not a directory"):
        list(tarnwick.records(tmp_path / "missing"))
    with pytest.raises(ValueError, match="Not a directory"):
        tarnwick.inspect(tmp_path / "missing")


def test_records_have_the_record_attributes(listed: list[_tarnwick.Record]) -> None:
    got = list(tarnwick.records(SAMPLE, batch_rows=16))
    assert len(got) == len(listed)
    for mine, theirs in zip(got, listed):
        for attribute in ("key", "value", "seq", "offset", "was_compressed", "user_key", "origin_file"):
            assert getattr(mine, attribute) == getattr(theirs, attribute)
        assert mine.state == theirs.state and mine.file_type == theirs.file_type


def test_records_stop_and_report() -> None:
    with tarnwick.records(SAMPLE, batch_rows=5, threads=2) as it:
        first = [next(it) for _ in range(3)]
    assert len(first) == 3
    assert list(it) == []  # closed: nothing more


def test_each_arrow_consumer_starts_a_fresh_pass() -> None:
    s = tarnwick.scan(SAMPLE)
    assert s.report is None
    first = pa.table(s)
    second = pa.table(s)
    assert first.equals(second)
    assert s.report is not None and s.report.complete


def test_text_chunks_come_in_record_order(listed: list[_tarnwick.Record]) -> None:
    one = b"".join(tarnwick.scan_text(SAMPLE, "jsonl", threads=1))
    many_chunks = list(tarnwick.scan_text(SAMPLE, "jsonl", threads=4, chunk_bytes=100))
    assert b"".join(many_chunks) == one
    assert len(many_chunks) > 10
    assert one.count(b"\n") == len(listed)
    lines = [json.loads(line) for line in one.splitlines()]
    assert [(x["seq"], x["offset"], x["origin_file"], bytes.fromhex(x["key_hex"])) for x in lines] == [
        (r.seq, r.offset, r.origin_file, r.key) for r in listed
    ]
    reverse = b"".join(tarnwick.scan_text(SAMPLE, "jsonl", reverse=True))
    assert sorted(reverse.splitlines()) == sorted(one.splitlines()) and reverse != one
    csv = b"".join(tarnwick.scan_text(SAMPLE, "csv", states=["Deleted"]))
    deleted = sum(r.state == KeyState.Deleted for r in listed)
    assert csv.count(b"\n") == deleted + 1  # the header row first
    with pytest.raises(ValueError):
        tarnwick.scan_text(SAMPLE, "xml")  # type: ignore[arg-type]


def test_inspect_reports_every_entry_of_the_sample(listed: list[_tarnwick.Record]) -> None:
    report = tarnwick.inspect(SAMPLE)
    assert report.complete
    assert [f.name for f in report.files] == ["000005.ldb", "000006.log", "000007.ldb"]
    assert all(f.status == "read" and not f.unread for f in report.files)
    assert report.records == len(listed)
    by_file = {f.path: f.records for f in report.files}
    assert by_file == {p: sum(r.origin_file == p for r in listed) for p in by_file}
    tables = [f for f in report.files if f.kind == "Ldb"]
    assert all(f.blocks_read > 0 and f.blocks_skipped == 0 for f in tables)
    assert {(e.name, e.status) for e in report.others} == {
        ("CURRENT", "not_data"),
        ("LOG", "not_data"),
        ("MANIFEST-000002", "not_data"),
    }
    assert json.loads(json.dumps(report.to_dict()))["files"][0]["name"] == "000005.ldb"


def test_a_directory_named_in_bytes_that_are_not_utf8(tmp_path: Path) -> None:
    raw = os.fsencode(tmp_path) + b"/store-\xff\xfe"
    os.mkdir(raw)
    for source in SAMPLE.iterdir():
        with open(raw + b"/" + os.fsencode(source.name), "wb") as out:
            out.write(source.read_bytes())
    table = pa.table(tarnwick.scan(raw))
    table.validate(full=True)  # the file column is valid UTF-8
    files = table.column("file").unique().to_pylist()
    assert files == [f"{tmp_path}/store-\ufffd\ufffd/{name}" for name in ("000005.ldb", "000006.log", "000007.ldb")]
    assert [r.origin_file for r in tarnwick.records(raw)][:1] == files[:1]
    assert tarnwick.inspect(os.fsdecode(raw)).files[0].path == os.fsdecode(raw) + "/000005.ldb"
