"""Finding the stores of an evidence tree: which folders, what kind, and nothing touched."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest

import stores_tree
from tarnwick import cli
from tarnwick.stores import find as find_module
from tarnwick.stores import find_stores
from tarnwick._store_vocabulary import origin_from_identifier, recognise


@pytest.fixture(scope="module")
def tree(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, list[stores_tree.Expected]]:
    base = tmp_path_factory.mktemp("find")
    root = base / "tree"
    expected = stores_tree.make_tree(root, base / "outside")
    return root, expected


def test_finds_every_store_with_its_kind_and_nothing_else(tree):
    root, expected = tree
    found = find_stores(root)
    assert [(s.path, s.kind, s.origin) for s in found] == [(e.path, e.kind, e.origin) for e in expected]


def test_counts_every_regular_file_and_skips_links(tree):
    root, _ = tree
    for store in find_stores(root):
        directory = root / store.path
        regular = sorted(p.name for p in directory.iterdir() if p.is_file() and not p.is_symlink())
        assert [f.name for f in store.files] == regular
        assert store.bytes == sum((directory / name).stat().st_size for name in regular)
        links = sorted(p.name for p in directory.iterdir() if p.is_symlink())
        assert list(store.skipped_links) == links
    chat = next(s for s in find_stores(root) if s.path == "apps/chat/leveldb")
    assert chat.skipped_links == ("999999.log",)
    assert "999999.log" not in [f.name for f in chat.data_files]


def test_data_files_come_in_the_readers_order(tmp_path):
    names = ["000010.ldb", "000009.log", "0000011.ldb", "000005.log", "000005.ldb", "000007.SST", "MANIFEST-000002", "LOG"]
    for name in names:
        (tmp_path / name).write_bytes(b"")
    (store,) = find_stores(tmp_path)
    assert [f.name for f in store.data_files] == ["000005.ldb", "000005.log", "000007.SST", "000009.log", "000010.ldb", "0000011.ldb"]


@pytest.mark.parametrize(
    ("names", "is_store"),
    [
        (["000003.log"], True),
        (["CURRENT", "MANIFEST-000001"], True),  # an empty database
        (["CURRENT"], False),
        (["MANIFEST-000001", "LOG"], False),
        (["000123 (1).ldb", "f0012345.ldb", "00012.ldb", "12345678901234567.log", "000001.ldb.bak"], False),
    ],
)
def test_what_makes_a_folder_a_store(tmp_path, names, is_store):
    for name in names:
        (tmp_path / name).write_bytes(b"")
    assert len(find_stores(tmp_path)) == int(is_store)


@pytest.mark.parametrize(
    ("identifier", "origin"),
    [
        ("https_example.com_0", "https://example.com"),
        ("http_localhost_8080", "http://localhost:8080"),
        ("file__0", "file://"),
        ("chrome-extension_abcdefghijklmnop_0", "chrome-extension://abcdefghijklmnop"),
        ("http_[__1]_8000", "http://[::1]:8000"),
        ("https_sub_domain.example_0", "https://sub_domain.example"),
        ("noport", None),
        ("https_example.com_x", None),
    ],
)
def test_origin_of_an_indexeddb_folder(identifier, origin):
    assert origin_from_identifier(identifier) == origin


@pytest.mark.parametrize(
    ("path", "kind"),
    [
        ("p/Local Storage/leveldb", "localstorage"),
        ("p/Other/leveldb", "leveldb"),
        ("p/Session Storage", "sessionstorage"),
        ("p/IndexedDB/https_a.b_0.indexeddb.leveldb", "indexeddb"),
        ("p/Elsewhere/https_a.b_0.indexeddb.leveldb", "indexeddb"),  # the name alone tells
        ("p/Elsewhere/indexeddb.leveldb", "leveldb"),  # the bucket form only under IndexedDB
        ("p/WebStorage/3/IndexedDB/indexeddb.leveldb", "indexeddb"),
    ],
)
def test_kind_from_the_path(path, kind):
    assert recognise(tuple(path.split("/"))).kind == kind


def test_the_tree_itself_can_be_the_store(tree):
    root, _ = tree
    (store,) = find_stores(root / "Profile/Default/Local Storage/leveldb")
    assert (store.path, store.kind) == (".", "localstorage")


def test_a_folder_that_cannot_be_listed_is_reported_and_passed_over(tree, monkeypatch):
    root, expected = tree
    real = find_module.open_directory

    def refuse_profile(path):
        if path.endswith("/Profile/Default"):
            raise PermissionError(13, "Permission denied")
        return real(path)

    monkeypatch.setattr(find_module, "open_directory", refuse_profile)
    unlisted = []
    found = find_stores(root, on_error=lambda path, error: unlisted.append((os.path.relpath(path, root), error.strerror)))
    assert unlisted == [("Profile/Default", "Permission denied")]
    assert [s.path for s in found] == [e.path for e in expected if not e.path.startswith("Profile/Default/")]


def test_changes_no_access_time_and_writes_nothing(tree):
    root, _ = tree
    stores_tree.age_access_times(root)
    before = stores_tree.snapshot(root)
    find_stores(root)
    assert stores_tree.snapshot(root) == before


def _run(*argv: str) -> int:
    return cli.main(list(argv))


def test_command_lists_the_stores(tree, capsys):
    root, expected = tree
    assert _run("find", str(root)) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split("\t")[4] for line in lines] == [e.path for e in expected]
    assert _run("find", str(root), "--format", "jsonl") == 0
    rows = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [(r["path"], r["kind"], r["origin"]) for r in rows] == [(e.path, e.kind, e.origin) for e in expected]
    assert all(r["bytes"] == sum(os.path.getsize(root / r["path"] / f) for f in os.listdir(root / r["path"]) if not os.path.islink(root / r["path"] / f)) for r in rows)


def test_command_refuses_a_missing_tree(tmp_path, capsys):
    assert _run("find", str(tmp_path / "absent")) == 2
    assert capsys.readouterr().err.startswith("tarnwick: error: no such directory: ")


def test_command_says_when_a_tree_holds_no_store(tmp_path, capsys):
    (tmp_path / "notes.txt").write_text("no store here")
    assert _run("find", str(tmp_path)) == 0
    captured = capsys.readouterr()
    assert (captured.out, captured.err) == ("", f"tarnwick: warning: no LevelDB store under {str(tmp_path)!r}\n")


@pytest.mark.parametrize(("max_depth", "max_folders", "found"), [(None, None, 4), (0, None, 1), (2, None, 3), (None, 3, 3)])
def test_a_bounded_walk_stops_at_its_depth_or_its_number_of_folders(tmp_path, max_depth, max_folders, found):
    folder = tmp_path
    for _ in range(4):  # a store at every level: the tree itself, a, a/a, a/a/a
        (folder / "000001.log").write_bytes(b"")
        folder = folder / "a"
        folder.mkdir()
    stores = list(find_module.iter_stores(tmp_path, max_depth=max_depth, max_folders=max_folders))
    assert [s.path for s in stores] == [".", "a", "a/a", "a/a/a"][:found]
