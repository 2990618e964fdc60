"""``tarnwick timeline`` on the profile headless Chromium wrote, and on Local
Storage stores written by the LevelDB engine where the browser cannot be made
to write the case at a known time (an emptied area)."""

from __future__ import annotations

import csv
import datetime
import json
import os
from pathlib import Path

import plyvel
import pytest

from tarnwick.cli import main
from tarnwick.timeline import tagged_dates

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"
ORIGIN = "http://127.0.0.1:60503"
TIMESKETCH_FIELDS = ("message", "datetime", "timestamp_desc")
# Microseconds from 1601-01-01 to 1970-01-01: Chromium's time base.
WINDOWS_EPOCH_US = 11_644_473_600_000_000


def _timeline(tmp_path: Path, path: Path, fmt: str = "jsonl") -> list[dict[str, str]]:
    out = tmp_path / f"events.{fmt}"
    assert main(["timeline", str(path), "-o", str(out), "--format", fmt, "--force"]) == 0
    if fmt == "csv":
        with out.open(newline="", encoding="utf-8") as f:
            return list(csv.DictReader(f))
    return [json.loads(line) for line in out.read_text().splitlines()]


@pytest.fixture(scope="module")
def profile_events(tmp_path_factory: pytest.TempPathFactory) -> list[dict[str, str]]:
    return _timeline(tmp_path_factory.mktemp("timeline"), PROFILE)


def _when(event: dict[str, str]) -> datetime.datetime:
    return datetime.datetime.fromisoformat(event["datetime"])


def test_every_row_has_timesketchs_fields_in_utc(profile_events: list[dict[str, str]]) -> None:
    assert profile_events
    for event in profile_events:
        assert all(event.get(name) not in (None, "") for name in TIMESKETCH_FIELDS), event
        when = _when(event)
        assert when.utcoffset() == datetime.timedelta(0)
        assert event["timestamp"] == (when - datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)) \
            // datetime.timedelta(microseconds=1)
    assert [e["datetime"] for e in profile_events] == sorted(e["datetime"] for e in profile_events)


def test_overwrite_is_dated_by_its_own_commit(profile_events: list[dict[str, str]]) -> None:
    versions = [e for e in profile_events
                if e["timestamp_desc"] == "Local Storage commit time" and e.get("key") == "to_overwrite"]
    first, second = sorted(versions, key=lambda e: e["seq"])
    # The page overwrote the key about 65 s after writing it; each version
    # must carry the time of the batch that wrote it.
    gap = (_when(second) - _when(first)).total_seconds()
    assert 65 <= gap < 120
    metas = {e["seq"]: e for e in profile_events if e["timestamp_desc"] == "Local Storage last write"}
    for version in versions:
        meta = metas[version["commit_meta_seq"]]
        assert meta["datetime"] == version["datetime"] and meta["seq"] >= version["seq"]
    deleted = [e for e in profile_events if e.get("key") == "to_delete" and e["state"] == "deleted"]
    assert len(deleted) == 1 and _when(deleted[0]) == _when(second)


@pytest.mark.parametrize(
    ("pointer", "desc", "moment"),
    [
        ("value", "IndexedDB date value", "2021-12-31T23:59:59.999000+00:00"),
        ("value/$file", "IndexedDB file last modified", "2023-05-06T00:00:00+00:00"),
        ("value/born", "IndexedDB date value", "1815-12-10T00:00:00+00:00"),
        ("key", "IndexedDB date key", "2024-01-02T03:04:05.006000+00:00"),
        ("key/2/1", "IndexedDB date key", "1970-01-01T00:00:00+00:00"),
    ],
    ids=["Date value", "File lastModified", "Date inside an object", "Date key", "Date in an array key"],
)
def test_dates_held_in_indexeddb(profile_events: list[dict[str, str]], pointer: str, desc: str, moment: str) -> None:
    found = [e for e in profile_events if e["timestamp_desc"] == desc and e.get("json_pointer") == pointer
             and _when(e) == datetime.datetime.fromisoformat(moment)]
    assert len(found) == 1 and found[0]["origin"] == ORIGIN


def test_file_modified_events_for_data_and_blob_files(profile_events: list[dict[str, str]]) -> None:
    modified = {e["file"]: e for e in profile_events if e["timestamp_desc"] == "File modified"}
    on_disk = [p for p in PROFILE.rglob("*") if p.is_file() and (p.suffix in (".log", ".ldb") or ".blob" in str(p))]
    assert sorted(modified) == sorted(str(p) for p in on_disk)
    for path in on_disk:
        event = modified[str(path)]
        assert event["timestamp"] == path.stat().st_mtime_ns // 1000
    table = modified[str(PROFILE / "Local Storage" / "leveldb" / "000005.ldb")]
    assert (table["seq_min"], table["seq_max"]) == (1, 15)


def test_csv_in_the_log2timeline_layout(tmp_path: Path, profile_events: list[dict[str, str]]) -> None:
    rows = _timeline(tmp_path, PROFILE, "csv")
    assert list(rows[0]) == ["date", "time", "timezone", "MACB", "source", "sourcetype", "type", "user", "host",
                             "short", "desc", "version", "filename", "inode", "notes", "format", "extra"]
    assert len(rows) == len(profile_events)
    for row, event in zip(rows, profile_events):
        when = _when(event)
        assert (row["date"], row["time"], row["timezone"]) == (when.strftime("%m/%d/%Y"), when.strftime("%H:%M:%S"), "UTC")
        assert row["type"] == event["timestamp_desc"]


# --- Local Storage written by the engine -----------------------------------------------


def _meta(moment_us: int, size: int) -> bytes:
    def varint(n: int) -> bytes:
        out = bytearray()
        while True:
            out.append((n & 0x7F) | (0x80 if n > 0x7F else 0))
            n >>= 7
            if not n:
                return bytes(out)

    return b"\x08" + varint(moment_us + WINDOWS_EPOCH_US) + b"\x10" + varint(size)


def _data_key(origin: str, key: str) -> bytes:
    return b"_" + origin.encode() + b"\x00\x01" + key.encode("latin-1")


def _local_storage(tmp_path: Path, batches: list[list[tuple[bytes, bytes | None]]]) -> Path:
    store = tmp_path / "profile" / "Local Storage" / "leveldb"
    store.mkdir(parents=True)
    db = plyvel.DB(str(store), create_if_missing=True)
    for batch in batches:
        with db.write_batch() as wb:
            for key, value in batch:
                if value is None:
                    wb.delete(key)
                else:
                    wb.put(key, value)
    db.close()
    (store / "LOCK").unlink(missing_ok=True)
    return store


T1, T2 = 1_700_000_000_000_000, 1_700_000_090_000_000  # µs since 1970, 90 s apart
ORIGIN_A = "https://a.example"


def test_emptied_area_gives_its_deletions_no_time(tmp_path: Path) -> None:
    meta = b"META:" + ORIGIN_A.encode()
    store = _local_storage(tmp_path, [
        [(b"VERSION", b"1"), (_data_key(ORIGIN_A, "=SUM(A1)"), b"\x01x"), (meta, _meta(T1, 10))],
        [(_data_key(ORIGIN_A, "kept"), b"\x01y"), (meta, _meta(T2, 12))],
        # The page cleared the area: the browser deletes the keys and both meta records.
        [(_data_key(ORIGIN_A, "=SUM(A1)"), None), (_data_key(ORIGIN_A, "kept"), None), (meta, None)],
    ])
    events = _timeline(tmp_path, store)
    commits = {(e["key"], e["state"]): e["timestamp"] for e in events if e["timestamp_desc"] == "Local Storage commit time"}
    assert commits == {("=SUM(A1)", "live"): T1, ("kept", "live"): T2}


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ({"$filelist": [{"name": "a", "last_modified": "2020-01-01T00:00:00.000Z"}, {"name": "b"}]},
         [("/$filelist/0", "IndexedDB file last modified")]),
        ({"$$date": "2020-01-01T00:00:00.000Z"}, []),  # a page's own key named $date, escaped
        ({"$date": None}, []),  # an invalid Date
        ({"a": {"$date": "2020-01-01T00:00:00.000Z"}, "b": [{"$date": "2020-01-01T00:00:00.000Z"}]},
         [("/a", "IndexedDB date value"), ("/b/0", "IndexedDB date value")]),
        ({"a/b~": {"$date": "2020-01-01T00:00:00.000Z"}}, [("/a~1b~0", "IndexedDB date value")]),
    ],
    ids=["file list", "escaped tag", "invalid date", "nested", "pointer escapes"],
)
def test_dates_found_in_tagged_values(value: object, expected: list[tuple[str, str]]) -> None:
    assert [(pointer, desc) for pointer, desc, _ in tagged_dates(value)] == expected


def test_dates_deep_in_a_value_cost_no_recursion() -> None:
    value: object = {"$date": "2020-01-01T00:00:00.000Z"}
    for _ in range(200_000):
        value = [value]
    [(pointer, desc, moment)] = list(tagged_dates(value))
    assert pointer == "/0" * 200_000 and moment == "2020-01-01T00:00:00.000Z" and desc == "IndexedDB date value"


def test_not_a_directory_exits_2(tmp_path: Path) -> None:
    assert main(["timeline", str(tmp_path / "missing"), "-o", str(tmp_path / "t.jsonl")]) == 2
    assert not os.path.exists(tmp_path / "t.jsonl")


def test_a_version_held_by_a_log_and_its_table_is_one_event(tmp_path: Path) -> None:
    """A log kept beside the table compaction made from it holds the same
    records twice: each commit is one event (the copy read first, the log),
    while each file's modification event counts every record it holds."""
    meta = b"META:" + ORIGIN_A.encode()
    store = _local_storage(tmp_path, [
        [(_data_key(ORIGIN_A, "a"), b"\x01x"), (meta, _meta(T1, 10))],
        [(_data_key(ORIGIN_A, "b"), b"\x01y"), (meta, _meta(T2, 12))],
    ])
    (log,) = store.glob("*.log")
    saved = log.read_bytes()
    db = plyvel.DB(str(store))
    db.compact_range()
    db.close()
    (store / "LOCK").unlink(missing_ok=True)
    log.write_bytes(saved)  # the log as it was before compaction, put back
    assert list(store.glob("*.ldb"))

    events = _timeline(tmp_path, store)
    commits = [(e["key"], e["timestamp"], Path(e["file"]).name) for e in events
               if e["timestamp_desc"] == "Local Storage commit time"]
    assert commits == [("a", T1, log.name), ("b", T2, log.name)]
    assert [e["message"] for e in events if e["timestamp_desc"] == "Local Storage last write"] == [
        f"Local Storage {ORIGIN_A}: area written (10 bytes)", f"Local Storage {ORIGIN_A}: area written (12 bytes)"]
    held = {Path(e["file"]).name: (e.get("seq_min"), e.get("seq_max")) for e in events if e.get("file_role") == "data file"}
    (table,) = store.glob("*.ldb")
    assert held[log.name] == held[table.name] == (1, 4)
