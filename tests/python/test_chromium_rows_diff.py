"""Stores on which the native and the Python decoders once disagreed.

Each case is a store the differential fuzz run (fuzz/chromium_rows_diff.py) found,
cut down to the records that matter: written as the one log file of a store of its
kind, both decoders must give the same rows, with history and newest-only.
"""

from __future__ import annotations

import importlib.util
from collections.abc import Iterator
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest

ROOT = Path(__file__).resolve().parents[2]
SESSION = b"namespace-85e7bd9a_fc76_47cc_a37c_4d27baa24e9c-"
UNDO_TASK = b"\x00\x00\x00\x00\x32\x02\x41\x00\x7f\xff\xff\xff\xff\xff\xff\xfd"

# A value holding a Blob (external object 0) and a list naming Blob 2, as Chromium
# wrote them (the idb_versions fixture).
BLOB_VALUE = b"\x02\xff\x15\xfe" + bytes(7) + b"\x14\x00\x00\x00\x06\xff\x10\\i\x00\xa0\x00\x00\x00\x01i"
LIST_KEY = b"\x00\x01\x01\x03\x01\x01\x00k"
BLOB_LIST = b"\x00\x02\x0a" + "text/plain".encode("utf-16-be") + b"\x0a"


def _counted(text: str) -> bytes:
    return bytes([len(text)]) + text.encode("utf-16-be")


# The name record of database "gone" of https://example.com (global metadata).
NAME_KEY = b"\x00\x00\x00\x00\xc9" + _counted("https_example.com_0@1") + _counted("gone")
DATA_KEY = b"\x00\x01\x01\x01\x01\x01\x00k"  # database 1, object store 1, string key "k"


def _load_fuzz_script() -> ModuleType:
    spec = importlib.util.spec_from_file_location("chromium_rows_diff", ROOT / "fuzz" / "chromium_rows_diff.py")
    assert spec and spec.loader
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


diff = _load_fuzz_script()
R = diff.Record

# (kind, records, what the decoders disagreed on)
CASES: list[tuple[str, list[Any], str]] = [
    ("localstorage", [R(b"_http://49\xe7.0.0.1:60503\x00\x01to_delete", None)],
     "a storage key that is not UTF-8"),
    ("localstorage", [R(b"META:http://\xff", b"\x08\x01")], "a metadata storage key that is not UTF-8"),
    ("sessionstorage", [R(SESSION + b"http://127.0.0.1:\xd8\xcc/", b"0")],
     "a namespace storage key that is not UTF-8"),
    ("sessionstorage", [R(b"map-0-\xa0\x0fite", b"v\x002\x00")], "a script key that is not UTF-8"),
    ("indexeddb", [R(b"\x00\x01\x01\x01\x01\x5b\x00v", b"\x01")],
     "a string key claiming more code units than its bytes"),
    ("indexeddb", [R(b"\x00\x01\x01\x03\x01\x5b\x06\x00v\x00:", b"\x00\x02\x0a\x00t")],
     "a string key claiming more code units than its bytes, in an external-object entry's key"),
    ("indexeddb", [R(UNDO_TASK, b"\x85" * 11)], "a varint of more than ten bytes"),
    ("indexeddb", [R(UNDO_TASK, b"\x0a\x85\x85")], "a varint cut short"),
    ("indexeddb", [R(DATA_KEY, b"\xff" * 9 + b"\x7f")], "a ten-byte varint beyond 64 bits"),
    ("localstorage", [R(b"", b"a"), R(b"", b"b", new_batch=True, same_seq=True)],
     "two values of one key with one sequence number"),
    *[("indexeddb", [R(DATA_KEY, b"\x01\xff\x11\x02" + bytes.fromhex(block))], f"snappy: {what}")
      for block, what in [("a7120cff15fe001d01b0ff10", "a claim beyond what the bytes can hold"),
                          ("ffffffff10", "a header over 32 bits"), ("80", "a header cut short"),
                          ("050a61", "a literal past the bytes"), ("050061060500", "a copy from before the start"),
                          ("020061", "fewer bytes than the header says"),
                          ("01046162", "a literal past the declared length")]],
    ("indexeddb", [R(LIST_KEY, BLOB_LIST), R(DATA_KEY, BLOB_VALUE)], "an external-object list before the record"),
    ("indexeddb", [R(DATA_KEY, BLOB_VALUE), R(DATA_KEY, BLOB_VALUE), R(LIST_KEY, BLOB_LIST)],
     "an external-object list after the record's next version"),
    ("indexeddb", [R(DATA_KEY, BLOB_VALUE), R(LIST_KEY, BLOB_LIST), R(DATA_KEY, b"\x03\xff\x15\xff\x10\x22\x01x"),
                   R(DATA_KEY, BLOB_VALUE), R(LIST_KEY, BLOB_LIST)],
     "external-object lists of versions with a version without Blobs between"),
    ("indexeddb", [R(DATA_KEY, b"\x01\xff\x11\xff\x0fS\x02\xc3\x28")], "a V8 UTF-8 string that is not UTF-8"),
    ("indexeddb", [R(DATA_KEY, b"\x01\xff\x11\xff\x0f\\b\x02\xc3\x28\x00\x00")],
     "a Blob's UTF-8 field that is not UTF-8"),
    ("indexeddb", [R(NAME_KEY, None), R(b"\x00\x07\x00\x00\x00", None)],
     "a deleted database named by the name record deleted with it"),
    ("indexeddb", [R(NAME_KEY, None), R(b"\x00\x07\x00\x00\x00", None), R(b"\x00\x08\x00\x00\x00", None)],
     "a deleted name record near two deleted databases"),
    ("indexeddb", [R(NAME_KEY, None), *[R(b"\x00\x01\x01\x01\x01\x01\x00k", b"\x01")] * 20,
                   R(b"\x00\x07\x00\x00\x00", None)], "a deleted name record far from the database"),
    ("indexeddb", [R(b"\x00\x00\x00\x00\xc9\x05\x00h", b"\x01")], "a database name claiming more units than bytes"),
    ("indexeddb", [R(b"\x00\x01\x01\x03\x01\x01\x00k", b"\x00\x02\x09\x00t")],
     "an external object's type claiming more units than bytes"),
]


@pytest.fixture
def profile(tmp_path: Path) -> Iterator[Path]:
    yield tmp_path / "profile"


@pytest.mark.parametrize(("kind", "records", "what"), CASES, ids=[c[2] for c in CASES])
def test_both_decoders_give_the_same_rows(profile: Path, kind: str, records: list[Any], what: str) -> None:
    store = diff.write_store(profile, kind, records)
    assert diff.disagreement(kind, store) is None, what


@pytest.mark.parametrize("kind", diff.TARGETS)
def test_seeds_are_the_fixture_records(kind: str) -> None:
    """Every fixture store of the kind gives seeds, and an input reads back as the
    records it was made from."""
    stores = list(diff.seed_stores(kind))
    assert stores and all(stores)
    for records in stores:
        assert diff.parse(diff.unparse(records)) == records


def test_the_store_of_undo_tasks_restoring_blobs_passes_the_fuzz_check() -> None:
    """The real store whose undo tasks restore values with Blobs: the fuzz check
    finds no difference there (each restored value takes the list of the version
    its transaction overwrote)."""
    store = next((ROOT / "tests" / "fixtures" / "chromium" / "idb_versions").glob("*.indexeddb.leveldb"))
    assert diff.disagreement("indexeddb", str(store)) is None
