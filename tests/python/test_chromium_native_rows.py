"""The native decoded rows (tarnwick.chromium.scan) against the Python decoders.

The Python decoders stay as an independent account of what every row must say:
for every store of the real-browser fixtures, in both history modes, the native
rows are the Python rows, compared as multisets of parsed JSON (the native rows
come in file order, the Python ones grouped by key).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path
from typing import Any

import pytest

from tarnwick import chromium
from tarnwick.chromium import _json, output
from tarnwick.chromium.scan import ChromiumScan, store_sources

from row_comparison import PROFILES, STORE_IDS, STORES, comparable_rows, differences, jsonl_rows, multiset, native_scan

pa = pytest.importorskip("pyarrow")



@pytest.fixture(autouse=True)
def deep_values() -> Any:
    """Rows whose keys and values nest thousands deep (the hostile fixture) are
    parsed, dumped and compared by Python's recursive json and ==: their reader
    needs a higher recursion limit, the writer does not."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 20_000))
    yield
    sys.setrecursionlimit(limit)


def arrow_rows(rows: ChromiumScan) -> list[dict[str, Any]]:
    """The Arrow rows in the JSON Lines form: JSON cells parsed, bytes in hex,
    name cells that had to be JSON literals read back."""
    out = []
    for r in pa.table(rows).to_pylist():
        for column in output.JSON_COLUMNS:
            r[column] = None if r[column] is None else json.loads(r[column])
        for column in ("raw_key", "raw_value"):
            r[column] = None if r[column] is None else r[column].hex()
        for column, cell in r.items():
            if isinstance(cell, str) and cell.startswith('"') and column not in output.JSON_COLUMNS:
                r[column] = json.loads(cell)
        out.append(r)
    return out


@pytest.mark.parametrize("history", [True, False], ids=["history", "newest"])
@pytest.mark.parametrize(("name", "kind", "store"), STORES, ids=STORE_IDS)
def test_native_rows_are_the_python_rows(name: str, kind: str | None, store: str, history: bool) -> None:
    native, expected = comparable_rows(kind, store, history)
    assert multiset(native) == multiset(expected), differences(native, expected)
    # In history mode every record the files hold has a row; newest-only, one per key.
    assert len(native) == len(expected)


@pytest.mark.parametrize(("name", "kind", "store"), STORES, ids=STORE_IDS)
def test_arrow_rows_are_the_jsonl_rows(name: str, kind: str | None, store: str) -> None:
    lines = jsonl_rows(native_scan(kind, store, history=True, all_records=True))
    batches = arrow_rows(native_scan(kind, store, history=True, all_records=True, batch_rows=7))
    assert batches == lines  # the same rows in the same order, whatever the batch size


def test_arrow_schema() -> None:
    kind, store = next((k, s) for _, k, s in STORES)
    schema = pa.table(native_scan(kind, store)).schema
    assert schema.names == list(output.COLUMNS)
    for column in output.JSON_COLUMNS:
        field = schema.field(column)
        name = field.type.extension_name if isinstance(field.type, pa.BaseExtensionType) else \
            (field.metadata or {}).get(b"ARROW:extension:name", b"").decode()
        assert name == "arrow.json"
    for column in ("raw_key", "raw_value"):
        assert pa.types.is_large_binary(schema.field(column).type)
    for column in output.INT_COLUMNS:
        assert schema.field(column).type == pa.uint64() and not schema.field(column).nullable


@pytest.fixture(scope="module")
def profile_rows() -> list[dict[str, Any]]:
    return jsonl_rows(chromium.scan(PROFILES["profile"], history=True, all_records=True))


def _some_origin(rows: list[dict[str, Any]]) -> str:
    return sorted({r["origin"] for r in rows if r["origin"] and r["record_type"] == "data"})[0]


def _some_string_key(rows: list[dict[str, Any]]) -> str:
    return next(r["key"] for r in rows if r["record_type"] == "data" and isinstance(r["key"], str))


@pytest.mark.parametrize("filters", [
    {"kinds": ["localstorage"]},
    {"kinds": ["indexeddb", "sessionstorage"]},
    {"origin": "ORIGIN"},
    {"origin": "no-such-origin.invalid"},
    {"key": "KEY"},
    {"key": "KEY_JSON"},
    {},
], ids=["one-kind", "two-kinds", "origin", "no-origin", "key", "key-as-json", "data-only"])
def test_filters_keep_what_the_command_line_keeps(profile_rows: list[dict[str, Any]],
                                                  filters: dict[str, Any]) -> None:
    """What scan() filters natively equals the full rows filtered as `tarnwick chromium` does."""
    origin, key = _some_origin(profile_rows), _some_string_key(profile_rows)
    filters = {name: (origin if value == "ORIGIN" else key if value == "KEY" else
                      _json.dumps(key) if value == "KEY_JSON" else value) for name, value in filters.items()}
    wanted = [r for r in profile_rows if r["record_type"] == "data"
              and (not filters.get("kinds") or r["store_kind"] in filters["kinds"])
              and (filters.get("origin") is None or (r["origin"] is not None and filters["origin"] in r["origin"]))
              and (filters.get("key") is None or r["key"] == filters["key"]
                   or _json.dumps(r["key"]) == filters["key"])]
    got = jsonl_rows(chromium.scan(PROFILES["profile"], history=True, **filters))
    assert multiset(got) == multiset(wanted)
    if filters and "no-such" not in str(filters):
        assert got  # the filter was put to the test


def test_reports_and_failures(tmp_path: Path) -> None:
    """Every store read has its reader's report; a store that cannot be listed is a failure, not an end."""
    missing = tmp_path / "gone" / "Local Storage" / "leveldb"
    (kind, store) = next((k, s) for _, k, s in STORES if k == "localstorage")
    rows = ChromiumScan([(str(missing), "localstorage", None, None)] + store_sources([(kind, store)]),
                        all_records=True)
    assert jsonl_rows(rows)
    assert [r.directory for r in rows.reports] == [store]
    assert [path for path, _ in rows.failures] == [str(missing)]


def test_each_reading_is_a_fresh_pass_and_duckdb_reads_the_rows() -> None:
    rows = chromium.scan(PROFILES["profile"], history=True, all_records=True)
    first = jsonl_rows(rows)
    assert pa.table(rows).num_rows == pa.table(rows).num_rows == len(first)
    duckdb = pytest.importorskip("duckdb")
    # DuckDB asks for the schema first, then for the stream.
    counted = duckdb.sql("SELECT count(*) FROM rows").fetchall()
    assert counted == [(len(first),)]


@pytest.mark.parametrize("batch_rows", [1, 7, 10_000])
def test_batches_are_bounded_by_rows(batch_rows: int) -> None:
    rows = chromium.scan(PROFILES["profile"], history=True, all_records=True)
    native = ChromiumScan(rows.sources, history=True, all_records=True, batch_rows=batch_rows)
    sizes = [b.num_rows for b in pa.RecordBatchReader.from_stream(native)]
    assert max(sizes) <= batch_rows and sum(sizes) == len(jsonl_rows(rows))


def test_an_undo_task_restores_the_blob_its_transaction_replaced() -> None:
    """Record "k" held Blobs #2, #3 and #4 in turn, each replaced by a transaction
    whose scope logged an undo task for the record and one for its external-object
    list. The value the record's task restores names the Blob of the list the
    list's task restores, for every transaction."""
    (kind, store), = [(k, s) for name, k, s in STORES if name == "versions" and k == "indexeddb"]
    rows = jsonl_rows(native_scan(kind, store, history=True, all_records=True))
    restored: dict[int, dict[str, list[int]]] = {}
    for row in rows:
        value = row["value"]
        if row["record_type"] != "scopes_log" or not isinstance(value, dict) or value.get("undo") != "put":
            continue
        scope = restored.setdefault(row["key"]["scope"], {"record": [], "list": []})
        previous = value["previous_value"]
        if value["record"]["record_type"] == "data" and isinstance(previous, dict) and "$blob" in previous:
            scope["record"].append(previous["$blob"].get("blob_number"))
        elif value["record"]["record_type"] == "external_objects":
            scope["list"] += [o["blob_number"] for o in previous]
    by_scope = {s: (set(r["record"]), set(r["list"])) for s, r in restored.items() if r["record"]}
    assert sorted(r for r, _ in by_scope.values()) == [{2}, {3}, {4}]
    assert all(record == listed for record, listed in by_scope.values())
