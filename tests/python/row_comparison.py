"""The decoded rows of one Chromium store from both decoders, made comparable.

The Python decoders (``read_store`` with the history labels of ``history.py``)
are the independent account the native rows (``ChromiumScan``) are held to. Both
are turned into parsed JSON rows; the few differences that are deliberate are
taken out of the native rows (``as_python_gives``) and out of both
(``budget_numbers_aside``), so what is left must be equal as multisets (the
native rows come in file order, the Python ones grouped by key).

Used by the tests over the real-browser fixtures and by the differential fuzz
run (fuzz/chromium_rows_diff.py).
"""

from __future__ import annotations

import collections
import json
import re
from pathlib import Path
from typing import Any

from tarnwick import chromium
from tarnwick.chromium import _json, output
from tarnwick.chromium.discover import find_stores
from tarnwick.chromium.history import history as all_versions
from tarnwick.chromium.history import latest
from tarnwick.chromium.scan import ChromiumScan, store_sources

# Deliberate differences. The native Local Storage rows date each record by the
# commit it was written in (details "committed", "committed_us", learned from the
# store's metadata in the first pass), and an IndexedDB value kept with external
# objects names the version of its list (details "external_objects_seq"); the
# Python decoders give neither. A value over the decoding budget is an error row
# in both, but the native budget counts its units its own way, so the numbers in
# such an error text may differ.
# The real-Chromium fixtures, and each of their stores (name, kind, folder).
FIXTURES = Path(__file__).resolve().parents[1] / "fixtures" / "chromium"
PROFILES = {"profile": FIXTURES / "profile", "hostile": FIXTURES / "hostile" / "profile",
            "versions": FIXTURES / "idb_versions"}
STORES = [(name, kind, store) for name, root in PROFILES.items() for kind, store in find_stores(str(root))]
STORE_IDS = [f"{name}-{Path(store).name}" for name, _, store in STORES]

NATIVE_ONLY_DETAILS = ("committed", "committed_us", "external_objects_seq")
BUDGET_ERROR = re.compile(r"(over budget at .*: the value would expand beyond )\d+( units)")


def python_rows(kind: str | None, store: str, history: bool) -> list[dict[str, Any]]:
    entries = list(chromium.read_store(store, kind))
    chosen = all_versions(entries) if history else latest(entries)
    return [json.loads(_json.dumps(output.row(e))) for e in chosen]


def native_scan(kind: str | None, store: str, **options: Any) -> ChromiumScan:
    return ChromiumScan(store_sources([(kind, store)]), **options)


def jsonl_rows(rows: ChromiumScan) -> list[dict[str, Any]]:
    text = b"".join(rows.jsonl()).decode("utf-8")
    return [json.loads(line) for line in text.split("\n")[:-1]]  # one row a line: only \n ends one


def as_python_gives(row: dict[str, Any]) -> dict[str, Any]:
    details = {k: v for k, v in (row["details"] or {}).items() if k not in NATIVE_ONLY_DETAILS}
    return dict(row, details=details or None)


def budget_numbers_aside(row: dict[str, Any]) -> dict[str, Any]:
    return dict(row, error=BUDGET_ERROR.sub(r"\1N\2", row["error"])) if row["error"] else row


def comparable_rows(kind: str | None, store: str, history: bool) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """(native, python) rows of one store, with the deliberate differences taken out."""
    native = [budget_numbers_aside(as_python_gives(r))
              for r in jsonl_rows(native_scan(kind, store, history=history, all_records=True))]
    python = [budget_numbers_aside(r) for r in python_rows(kind, store, history)]
    return native, python


def multiset(rows: list[dict[str, Any]]) -> collections.Counter[str]:
    return collections.Counter(json.dumps(r, sort_keys=True) for r in rows)


def differences(native: list[dict[str, Any]], python: list[dict[str, Any]]) -> str:
    a, b = multiset(native), multiset(python)
    only_native, only_python = list((a - b).elements())[:3], list((b - a).elements())[:3]
    return f"only native: {only_native}\nonly python: {only_python}"
