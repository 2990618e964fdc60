"""The one store vocabulary: the reader's own data-file rule, the kinds, the
origins, and evidence opened without a trace, used alike by find, chromium
and the command line."""

from __future__ import annotations

import os
import re
import shutil
from pathlib import Path

import plyvel
import pytest

import stores_tree
import tarnwick
from tarnwick import _store_vocabulary as vocabulary
from tarnwick import chromium
from tarnwick.stores import find_stores

PACKAGE = Path(tarnwick.__file__).resolve().parent
PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("000005.ldb", ("table", 5)),
        ("000005.SST", ("table", 5)),
        ("000010.log", ("log", 0x10)),
        ("1234567.log", ("log", 0x1234567)),
        ("1234567890123456.ldb", ("table", 0x1234567890123456)),
        (b"000007.Log", ("log", 7)),
        ("000123 (1).ldb", None),
        ("00012.ldb", None),
        ("12345678901234567.log", None),
        ("000001.ldb.bak", None),
        ("f00012.ldb", None),
        ("٠٠٠٠٠١.log", None),  # digits, but not ASCII ones
        (b"\xff00001.log", None),
        ("000001.log\0", None),
        ("CURRENT", None),
    ],
)
def test_the_data_file_rule_is_the_readers(name: str | bytes, expected: tuple[str, int] | None) -> None:
    assert vocabulary.data_file(name) == expected


def test_the_rule_agrees_with_what_the_reader_admits(tmp_path: Path) -> None:
    store = tmp_path / "store"
    db = plyvel.DB(str(store), create_if_missing=True)
    for i in range(200):
        db.put(b"k%04d" % i, b"v" * 50)
    db.compact_range()
    db.put(b"late", b"in the log")
    db.close()
    table = next(p for p in store.iterdir() if p.suffix == ".ldb")
    for odd in (f"{table.stem} (1).ldb", f"{table.stem}.LDB", "00001.log", f"{table.stem}.ldb.bak"):
        shutil.copy(table, store / odd)
    names = os.listdir(store)
    report = tarnwick.inspect(str(store))
    assert sorted(f.name for f in report.files) == sorted(n for n in names if vocabulary.is_data_file_name(n))
    assert [f.name for f in report.files] == vocabulary.reader_order(f.name for f in report.files)


@pytest.mark.parametrize(
    ("identifier", "origin"),
    [
        ("https_example.com_0@1", "https://example.com"),  # as IndexedDB's own records write it
        ("http_[__1]_0", "http://[::1]"),
        ("_example.com_0", None),
        ("https__0", None),
        ("https_example.com_٨٠", None),
    ],
)
def test_origin_edge_cases(identifier: str, origin: str | None) -> None:
    assert vocabulary.origin_from_identifier(identifier) == origin


def test_chromium_finds_find_stores_of_its_kinds_on_a_real_profile() -> None:
    by_find = [(s.kind, s.path) for s in find_stores(PROFILE) if s.kind in vocabulary.CHROMIUM_KINDS]
    by_chromium = [(kind, os.path.relpath(path, PROFILE)) for kind, path in chromium.find_stores(str(PROFILE))]
    assert by_chromium == by_find and len(by_find) == 4
    assert {kind for kind, _ in by_find} == set(vocabulary.CHROMIUM_KINDS)


def test_the_store_kinds_of_find_and_chromium_are_one_vocabulary(tmp_path: Path) -> None:
    root = tmp_path / "tree"
    expected = stores_tree.make_tree(root, tmp_path / "outside")
    rows = list(chromium.find_stores(str(root)))
    assert [(kind, os.path.relpath(path, root)) for kind, path in rows] == [
        (e.kind, e.path) for e in expected if e.kind != vocabulary.GENERIC
    ]


def test_chromium_discovery_changes_no_access_time_and_follows_no_link(tmp_path: Path) -> None:
    root = tmp_path / "tree"
    stores_tree.make_tree(root, tmp_path / "outside")
    (root / "Profile" / "Other").mkdir()
    (root / "Profile" / "Other" / "Session Storage").symlink_to(root / "Profile" / "Default" / "Session Storage")
    stores_tree.age_access_times(root)
    before = stores_tree.snapshot(root)
    found = [path for _, path in chromium.find_stores(str(root))]
    assert stores_tree.snapshot(root) == before
    assert found and not any("Other" in path for path in found)


# The rules written once: no module of the package but the vocabulary opens
# evidence with O_NOATIME or spells the data-file or kind rules again.
_COPIES = {
    "O_NOATIME": re.compile(r"os\.O_NOATIME|\"O_NOATIME\""),
    "a data-file pattern": re.compile(r"\\d\{6,16\}|DATA_FILE_(MIN|MAX)_DIGITS|\(\"\.log\", \"\.ldb\""),
    "a kind name": re.compile(r"\"(chromium_local_storage|localstorage|sessionstorage)\""),
    "an origin parser": re.compile(r"def origin_from_identifier"),
}


@pytest.mark.parametrize("rule", sorted(_COPIES))
def test_no_second_copy_of_a_rule(rule: str) -> None:
    copies = [
        str(path.relative_to(PACKAGE))
        for path in PACKAGE.rglob("*.py")
        if path.name != "_store_vocabulary.py" and _COPIES[rule].search(path.read_text())
    ]
    assert copies == []
