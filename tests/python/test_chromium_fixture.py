"""The real-browser fixture decoded against the page's own list of operations.

tests/fixtures/chromium holds the Local Storage, Session Storage and IndexedDB folders
of a headless Chromium profile, written by scripts/make_chromium_fixtures.py, and
oracle.json, every operation its page performed with the value it wrote. Every write
must be found among the versions of its key, with overwritten and deleted values
where the browser committed them to disk, and every removal as a deletion marker.
"""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from tarnwick import chromium

FIXTURE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium"
ORACLE = json.loads((FIXTURE / "oracle.json").read_text())
OPS = ORACLE["operations"]


@pytest.fixture(scope="module")
def versions() -> dict[tuple, list[chromium.Entry]]:
    """(store kind, origin, database, object store, key as JSON) -> versions by seq."""
    out: dict[tuple, list[chromium.Entry]] = {}
    for e in chromium.read(FIXTURE / "profile", history=True):
        if e.record_type == "data":
            out.setdefault(_slot(e.store_kind, e.origin, e.database, e.object_store, e.key), []).append(e)
    return out


def _slot(kind: str, origin: str | None, database: str | None, store: str | None, key: object) -> tuple:
    return (kind, origin, database, store, json.dumps(key, sort_keys=True))


def _op_slot(op: dict) -> tuple:
    return _slot(op["store"], op["origin"], op.get("database"), op.get("object_store"), op["key"])


def _matches(expected: object, got: object) -> bool:
    """Equal, except that Blob and File descriptions may carry more fields (file path,
    blob number) than the page knew."""
    if isinstance(expected, dict) and isinstance(got, dict):
        if expected and set(expected) <= {"$blob", "$file"} and set(expected) == set(got):
            inner, found = next(iter(expected.values())), next(iter(got.values()))
            return all(found.get(k) == v for k, v in inner.items())
        return set(expected) == set(got) and all(_matches(v, got[k]) for k, v in expected.items())
    if isinstance(expected, list) and isinstance(got, list):
        return len(expected) == len(got) and all(_matches(a, b) for a, b in zip(expected, got))
    return expected == got and type(expected) is type(got) or \
        (isinstance(expected, (int, float)) and not isinstance(expected, bool)
         and isinstance(got, (int, float)) and not isinstance(got, bool) and expected == got)


WRITES = [op for op in OPS if op["op"] in ("set", "put")]
REMOVALS = [op for op in OPS if op["op"] in ("remove", "delete")]


def test_the_fixture_covers_every_store_kind_and_phase() -> None:
    kinds = {(op["store"], op["op"], op["phase"]) for op in OPS}
    for kind in ("localstorage", "sessionstorage", "indexeddb"):
        assert (kind, "set" if kind != "indexeddb" else "put", 1) in kinds
        assert (kind, "remove" if kind != "indexeddb" else "delete", 2) in kinds


@pytest.mark.parametrize("op", WRITES, ids=lambda op: f"{op['store']}-{op['phase']}-{str(op['key'])[:30]}")
def test_every_write_is_recovered(op: dict, versions: dict) -> None:
    found = versions.get(_op_slot(op), [])
    assert found, f"no record for {op['key']!r}"
    live = [e for e in found if e.state == "live"]
    assert any(_matches(op["value"], e.value) for e in live), \
        f"{op['value']!r:.200} not among {[e.value for e in live]!r:.400}"
    assert all(e.error is None for e in found)


@pytest.mark.parametrize("op", REMOVALS, ids=lambda op: f"{op['store']}-{str(op['key'])[:30]}")
def test_every_removal_is_a_deletion_marker_after_the_deleted_value(op: dict, versions: dict) -> None:
    found = versions[_op_slot(op)]
    earlier = [o for o in OPS if _op_slot(o) == _op_slot(op) and o["op"] in ("set", "put")
               and OPS.index(o) < OPS.index(op)]
    marker = next(e for e in found if e.state == "deleted")
    assert marker.version_status == "deleted"
    before = [e for e in found if e.seq < marker.seq]
    assert before[-1].version_status == "last_before_deletion"
    assert _matches(earlier[-1]["value"], before[-1].value)


def test_overwritten_values_come_in_the_order_they_were_written(versions: dict) -> None:
    for slot in {_op_slot(op) for op in OPS}:
        writes = [op["value"] for op in OPS if _op_slot(op) == slot and op["op"] in ("set", "put")]
        if len(writes) < 2:
            continue
        live = [e.value for e in versions[slot] if e.state == "live"]
        assert len(live) == len(writes) and all(map(_matches, writes, live)), slot


def test_local_storage_keys_end_in_their_last_written_state(versions: dict) -> None:
    last: dict[tuple, dict] = {}
    for op in OPS:
        if op["store"] == "localstorage":
            last[_op_slot(op)] = op
    for slot, op in last.items():
        newest = versions[slot][-1]
        if op["op"] == "remove":
            assert newest.version_status == "deleted"
        else:
            assert newest.version_status == "current" and newest.value == op["value"]


def test_partitioned_storage_keys_name_the_top_level_site() -> None:
    page = ORACLE["page_origin"]
    framed = [e for e in chromium.read(FIXTURE / "profile")
              if e.store_kind == "localstorage" and e.record_type == "data" and e.key == "framed"]
    assert len(framed) == 1
    assert framed[0].origin == page.replace("127.0.0.1", "localhost")
    assert framed[0].top_level_site == "http://127.0.0.1"


def test_metadata_of_the_indexeddb_fixture() -> None:
    meta = {(e.object_store, e.index, e.key): e.value for e in chromium.read(FIXTURE / "profile")
            if e.database == "fixture" and e.record_type in ("object_store_metadata", "index_metadata")}
    assert meta[("people", None, "key_path")] == "id"
    assert meta[("people", None, "auto_increment")] is True
    assert meta[("compound", None, "key_path")] == ["last", "first"]
    assert meta[("kv", None, "key_path")] is None
    assert meta[("people", "by_tag", "multi_entry")] is True
    assert meta[("compound", "by_born", "unique")] is True
    assert meta[("people", "by_name", "key_path")] == "name"


def test_large_values_are_read_from_snappy_and_from_the_blob_file() -> None:
    stored = {json.dumps(e.key): e.details.get("stored_as") for e in chromium.read(FIXTURE / "profile")
              if e.database == "fixture" and e.record_type == "data"}
    assert stored[json.dumps("v:large_text")] == "snappy"
    assert stored[json.dumps("v:large_binary")] == "blob_file"
    assert stored[json.dumps("v:str")] == "plain"


def test_index_entries_point_at_their_records() -> None:
    rows = [e for e in chromium.read(FIXTURE / "profile", history=True)
            if e.record_type == "index" and e.object_store == "people"]
    by_tag = {(e.key, e.value["primary_key"]) for e in rows if e.index == "by_tag"}
    assert {("math", 1), ("first", 1), ("navy", 2)} <= by_tag
    assert {e.index for e in rows} == {"by_name", "by_tag"}
    # Entries of the overwritten and the deleted person are stale, the others current.
    stale = {(e.index, e.key): e.details["stale"] for e in rows}
    assert stale == {("by_name", "Ada"): True, ("by_tag", "first"): True, ("by_tag", "math"): False,
                     ("by_name", "Grace"): True, ("by_tag", "navy"): True, ("by_name", "Linus"): False,
                     ("by_name", "Ada L."): False}


def test_nothing_in_the_fixture_fails_to_decode() -> None:
    bad = [(e.store_kind, e.record_type, e.user_key, e.error)
           for e in chromium.read(FIXTURE / "profile", history=True) if e.error]
    assert bad == []


def test_undo_log_keeps_the_values_a_transaction_overwrote() -> None:
    undone = {(e.value["record"]["object_store"], json.dumps(e.value["record"]["key"])):
              e.value["previous_value"]
              for e in chromium.read(FIXTURE / "profile", history=True)
              if e.record_type == "scopes_log" and e.value and e.value.get("undo") == "put"
              and e.value["record"]["record_type"] == "data"}
    assert undone == {("kv", '"to_overwrite"'): {"version": 1},
                      ("people", "1"): {"name": "Ada", "tags": ["math", "first"]}}


def test_blob_files_missing_from_a_copy_are_reported(tmp_path: Path) -> None:
    import shutil

    shutil.copytree(FIXTURE / "profile" / "IndexedDB", tmp_path / "IndexedDB")
    for blob_dir in (tmp_path / "IndexedDB").glob("*.indexeddb.blob"):
        shutil.rmtree(blob_dir)
    rows = {e.key: e for e in chromium.read(tmp_path) if e.record_type == "data"
            and e.object_store == "kv" and isinstance(e.key, str)}
    blob = rows["v:blob"].value["$blob"]
    assert blob["missing"] is True and blob["type"] == "text/plain" and "hex" not in blob
    wrapped = rows["v:large_binary"]
    assert wrapped.value is None and "missing" in wrapped.error and wrapped.raw_value
    assert rows["v:str"].value == "plain text" and rows["v:str"].error is None
