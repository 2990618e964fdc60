"""The key and origin filters, judged first from a record's key bytes, lose no row.

A filtered scan passes over records whose key bytes cannot hold the key asked for
(or, in Local Storage, the origin) before they are decoded, and keeps no version
state for their keys. For every store of the real-browser fixtures, and for every
key its rows show (strings of every script, numbers, dates, binary and array keys,
unreadable ones) and every origin, the filtered rows must be exactly the unfiltered
rows filtered here in Python by the filter's own rule: the same rows, in the same
order, with the same version labels.
"""

from __future__ import annotations

import json
import sys
from typing import Any

import pytest

from tarnwick.chromium.scan import ChromiumScan, key_texts, store_sources

from row_comparison import STORE_IDS, STORES

pa = pytest.importorskip("pyarrow")



@pytest.fixture(autouse=True)
def deep_keys() -> Any:
    """The hostile fixture's array keys nest thousands deep."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 20_000))
    yield
    sys.setrecursionlimit(limit)


def rows_of(kind: str | None, store: str, **options: Any) -> list[dict[str, Any]]:
    """The rows as Arrow gives them: key and value as the exact JSON text written."""
    scan = ChromiumScan(store_sources([(kind, store)]), **options)
    return pa.table(scan).to_pylist()


def asked_as(key_text: str | None) -> str:
    """What a user types to ask for the row's key: a string key's text, any other
    key's JSON text (an unreadable key, None, is JSON null)."""
    if key_text is None:
        return "null"
    key = json.loads(key_text)
    return key if isinstance(key, str) else key_text


def kept(rows: list[dict[str, Any]], *, all_records: bool, key: str | None = None,
         origin: str | None = None) -> list[dict[str, Any]]:
    """The rows the filter keeps, by its own rule: bookkeeping only with all
    records, an origin containing the text, a key equal to one of its texts."""
    texts = key_texts(key)
    return [r for r in rows
            if (all_records or r["record_type"] == "data")
            and (origin is None or (r["origin"] is not None and origin in name(r["origin"])))
            and (texts is None or (r["key"] if r["key"] is not None else "null") in texts)]


def name(cell: str | None) -> str | None:
    """A name cell: its text, or the text of the JSON literal it had to be."""
    return json.loads(cell) if cell is not None and cell.startswith('"') else cell


def origin_texts(rows: list[dict[str, Any]]) -> list[str]:
    """Every origin, and a piece of each (its host) that other origins may share."""
    origins = sorted({r["origin"] for r in rows if r["origin"] is not None and not r["origin"].startswith('"')})
    hosts = {o.split("://", 1)[-1].split(":", 1)[0] for o in origins}
    return origins + sorted(hosts - set(origins)) + ["no-such-origin"]


# Newest-only rows of the page's data (the labels of pass one matter most there),
# and every version of every record (bookkeeping keys included).
MODES = [(False, False), (True, True)]


@pytest.mark.parametrize(("history", "all_records"), MODES, ids=["newest-data", "history-all"])
@pytest.mark.parametrize(("name", "kind", "store"), STORES, ids=STORE_IDS)
def test_key_filter_keeps_every_row_with_the_key(name: str, kind: str | None, store: str, history: bool,
                                                all_records: bool) -> None:
    everything = rows_of(kind, store, history=history, all_records=True)
    keys = sorted({asked_as(r["key"]) for r in everything}) + ["no such key", "[]", "1e+300"]
    for key in keys:
        expected = kept(everything, all_records=all_records, key=key)
        got = rows_of(kind, store, history=history, all_records=all_records, key=key)
        assert got == expected, f"--key {key[:200]!r}: {len(got)} rows, {len(expected)} expected"


@pytest.mark.parametrize("history", [False, True], ids=["newest", "history"])
@pytest.mark.parametrize(("name", "kind", "store"), STORES, ids=STORE_IDS)
def test_origin_filter_keeps_every_row_of_the_origin(name: str, kind: str | None, store: str,
                                                    history: bool) -> None:
    everything = rows_of(kind, store, history=history, all_records=True)
    for origin in origin_texts(everything):
        for all_records in (False, True):
            expected = kept(everything, all_records=all_records, origin=origin)
            got = rows_of(kind, store, history=history, all_records=all_records, origin=origin)
            assert got == expected, f"--origin {origin!r}, all records {all_records}"


@pytest.mark.parametrize(("name", "kind", "store"), STORES, ids=STORE_IDS)
def test_key_and_origin_filters_together(name: str, kind: str | None, store: str) -> None:
    everything = rows_of(kind, store, all_records=True)
    data = [r for r in everything if r["record_type"] == "data" and r["origin"] is not None]
    for r in data[:: max(1, len(data) // 8)]:
        key = asked_as(r["key"])
        for origin in (r["origin"], "no-such-origin"):
            expected = kept(everything, all_records=False, key=key, origin=origin)
            assert rows_of(kind, store, key=key, origin=origin) == expected


@pytest.mark.parametrize(("name", "kind", "store"), STORES, ids=STORE_IDS)
def test_a_store_without_the_key_is_read_once_and_still_accounted_for(name: str, kind: str | None,
                                                                     store: str) -> None:
    """No record of the store can give a row: its second pass is not run, and
    the first pass's account of its files stands for the store's."""
    everything = ChromiumScan(store_sources([(kind, store)]), all_records=True)
    nothing = ChromiumScan(store_sources([(kind, store)]), key="no such key")
    assert pa.table(everything).num_rows > 0 and pa.table(nothing).num_rows == 0
    assert [r.to_dict() for r in nothing.reports] == [r.to_dict() for r in everything.reports]
    assert nothing.failures == []
