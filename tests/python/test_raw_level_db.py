"""RawLevelDb: opening a directory, its open and closed states, the context
manager, re-entry, and the file handles and mappings it holds."""

import gc
import os
import shutil

import pytest

import craft
from _tarnwick import RawLevelDb
from engine_db import record_fields


def fields(record):
    return record_fields(record)


# --------------------------------------------------------------------------
# Opening
# --------------------------------------------------------------------------


def make_not_a_directory(tmp_path, kind):
    """A path of the given kind that names no directory."""
    (tmp_path / "file.txt").write_bytes(b"not a database")
    (tmp_path / "dir").mkdir()
    (tmp_path / "link-to-file").symlink_to(tmp_path / "file.txt")
    (tmp_path / "dangling").symlink_to(tmp_path / "gone")
    return {
        "missing-absolute": str(tmp_path / "missing"),
        "missing-relative": "no/such/dir",
        "missing-trailing-slash": str(tmp_path / "missing") + "/",
        "regular-file": str(tmp_path / "file.txt"),
        "regular-file-relative": "file.txt",
        "regular-file-trailing-slash": str(tmp_path / "file.txt") + "/",
        "file-inside-a-file": str(tmp_path / "file.txt" / "x"),
        "link-to-file": str(tmp_path / "link-to-file"),
        "dangling-link": str(tmp_path / "dangling"),
        "empty": "",
        # The system would only see the part before the NUL byte: an existing
        # directory. A name cannot hold a NUL, so no directory is meant.
        "embedded-nul": str(tmp_path / "dir") + "\0suffix",
        "non-ascii": str(tmp_path / "données"),
    }[kind]


@pytest.mark.parametrize(
    "kind",
    [
        "missing-absolute",
        "missing-relative",
        "missing-trailing-slash",
        "regular-file",
        "regular-file-relative",
        "regular-file-trailing-slash",
        "file-inside-a-file",
        "link-to-file",
        "dangling-link",
        "empty",
        "embedded-nul",
        "non-ascii",
    ],
)
def test_not_a_directory(tmp_path, monkeypatch, kind):
    monkeypatch.chdir(tmp_path)
    path = make_not_a_directory(tmp_path, kind)
    with pytest.raises(ValueError) as caught:
        RawLevelDb(path)
    assert type(caught.value) is ValueError  # not an OSError of any kind
    assert caught.value.args == ("Not a directory: " + path,)


@pytest.mark.skipif(os.geteuid() == 0, reason="root can list any directory")
def test_unlistable_directory_is_an_io_error(tmp_path):
    locked = tmp_path / "locked"
    locked.mkdir(mode=0o000)
    try:
        with pytest.raises(ValueError) as caught:
            RawLevelDb(str(locked))
    finally:
        locked.chmod(0o700)
    assert str(caught.value) == "IO error: Permission denied (os error 13)"


@pytest.mark.parametrize(
    ("given", "separator"),
    [
        ("small_db", "/"),
        ("./small_db", "/"),
        ("small_db/", ""),
        ("small_db//", ""),
        ("./small_db/../small_db", "/"),
        ("ABSOLUTE", "/"),
        ("link", "/"),
    ],
)
def test_path_is_kept_as_given(small_db, monkeypatch, given, separator):
    monkeypatch.chdir(small_db.parent)
    (small_db.parent / "link").symlink_to(small_db)
    if given == "ABSOLUTE":
        given = str(small_db)
    db = RawLevelDb(given)
    assert db.in_dir_path == given
    records = db.iterate_records_raw()
    assert [r.origin_file for r in records] == [given + separator + "000005.ldb"] * 2 + [
        given + separator + "000007.log"
    ] * 2


@pytest.mark.parametrize("reverse", [False, True])
def test_empty_directory_gives_no_records(tmp_path, reverse):
    db = RawLevelDb(str(tmp_path))
    assert db.iterate_records_raw(reverse=reverse) == []
    assert db.in_dir_path == str(tmp_path)


def test_directory_without_data_files_gives_no_records(tmp_path):
    craft.write_files(tmp_path, {"CURRENT": b"MANIFEST-000001\n", "LOCK": b"", "LOG": b"log text", "notes.txt": b"x"})
    (tmp_path / "000009.log").mkdir()  # a directory with a data file's name
    assert RawLevelDb(str(tmp_path)).iterate_records_raw() == []


def test_each_call_reads_again_and_builds_new_objects(small_db):
    db = RawLevelDb(str(small_db))
    first = db.iterate_records_raw()
    second = db.iterate_records_raw()
    assert type(first) is list
    assert first is not second
    assert len(first) == len(second) == 4
    assert all(a is not b for a, b in zip(first, second))
    assert [fields(r) for r in first] == [fields(r) for r in second]


def test_directory_is_listed_once_at_open(small_db):
    db = RawLevelDb(str(small_db))
    before = [fields(r) for r in db.iterate_records_raw()]
    # A file added later is not seen; a file removed later is still read
    # through the handle and mapping taken at open.
    craft.write_files(small_db, {"000009.log": craft.log_file([craft.write_batch(9, [craft.put(b"new", b"")])])})
    (small_db / "000007.log").unlink()
    assert [fields(r) for r in db.iterate_records_raw()] == before
    db.close()
    assert [os.path.basename(r.origin_file) for r in RawLevelDb(str(small_db)).iterate_records_raw()] == [
        "000005.ldb",
        "000005.ldb",
        "000009.log",
    ]


# --------------------------------------------------------------------------
# Closing and the context manager
# --------------------------------------------------------------------------


def assert_closed(db):
    for action in (lambda: db.in_dir_path, db.iterate_records_raw, lambda: db.iterate_records_raw(reverse=True)):
        with pytest.raises(RuntimeError) as caught:
            action()
        assert caught.value.args == ("Database is closed",)


def test_close(small_db):
    db = RawLevelDb(str(small_db))
    assert db.close() is None
    assert_closed(db)
    assert db.close() is None  # closing twice is no error
    assert db.__enter__() is db  # __enter__ does not look at the state
    assert db.__exit__(None, None, None) is False
    assert_closed(db)


def test_with_binds_the_object_itself_and_closes_it(small_db):
    db = RawLevelDb(str(small_db))
    with db as bound:
        assert bound is db
        assert len(bound.iterate_records_raw()) == 4
    assert_closed(db)


def test_with_propagates_an_exception_after_closing(small_db):
    class Marker(Exception):
        pass

    with pytest.raises(Marker):
        with RawLevelDb(str(small_db)) as db:
            raise Marker
    assert_closed(db)


def test_with_on_a_closed_object(small_db):
    db = RawLevelDb(str(small_db))
    db.close()
    with db as bound:
        assert bound is db
        assert_closed(bound)


def test_records_outlive_their_database(small_db):
    db = RawLevelDb(str(small_db))
    records = db.iterate_records_raw()
    expected = [fields(r) for r in records]
    user_keys = [r.user_key for r in records]
    db.close()
    del db
    gc.collect()
    shutil.rmtree(small_db)
    assert [fields(r) for r in records] == expected
    assert [r.user_key for r in records] == user_keys == [b"apple", b"pear", b"plum", b"apple"]


# --------------------------------------------------------------------------
# Re-entry through a numpy-like bool
# --------------------------------------------------------------------------


class bool_:  # noqa: N801
    """Passes the check for numpy's boolean scalar (by the type's module and
    name), and runs a chosen action when the reader asks for its truth."""

    __module__ = "numpy"

    def __init__(self, action):
        self.action = action

    def __bool__(self):
        self.action()
        return True


@pytest.mark.parametrize(
    "closing",
    [lambda db: db.close(), lambda db: db.__exit__(None, None, None)],
    ids=["close", "__exit__"],
)
def test_closing_during_a_read_is_refused(small_db, closing):
    db = RawLevelDb(str(small_db))
    with pytest.raises(RuntimeError) as caught:
        db.iterate_records_raw(reverse=bool_(lambda: closing(db)))
    assert caught.value.args == ("Already borrowed",)
    # The refused close changed nothing, and the borrow was released.
    assert len(db.iterate_records_raw()) == 4
    db.close()
    assert_closed(db)


@pytest.mark.parametrize(
    "reading",
    [lambda db: db.in_dir_path, lambda db: db.iterate_records_raw(), lambda db: db.__enter__()],
    ids=["in_dir_path", "iterate_records_raw", "__enter__"],
)
def test_reading_during_a_read_is_allowed(small_db, reading):
    db = RawLevelDb(str(small_db))
    seen = []
    records = db.iterate_records_raw(reverse=bool_(lambda: seen.append(reading(db))))
    assert len(seen) == 1
    assert [r.seq for r in records] == [3, 4, 2, 1]


# --------------------------------------------------------------------------
# File handles and mappings
# --------------------------------------------------------------------------


def open_files_under(root):
    """Names of the files under root that this process holds open."""
    root = os.path.realpath(root) + os.sep
    names = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith(root):
            names.append(os.path.basename(target))
    return sorted(names)


def mapped_files_under(root):
    """Names of the files under root that this process has mapped."""
    root = os.path.realpath(root) + os.sep
    names = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            parts = line.split(maxsplit=5)
            if len(parts) == 6 and parts[5].startswith(root):
                names.add(os.path.basename(parts[5].rstrip("\n")))
    return sorted(names)


@pytest.fixture
def mixed_db(tmp_path):
    """A directory with files that are kept open, and files that are not."""
    good_table = craft.table_file([[(craft.internal_key(b"k", 1), b"v")]])
    bad_magic = bytearray(good_table)
    bad_magic[-1] ^= 0xFF
    return craft.write_files(
        tmp_path / "db",
        {
            "000003.log": craft.log_file([craft.write_batch(1, [craft.put(b"a", b"b")])]),
            "000004.log": b"",  # opened, but an empty file is not mapped
            "000005.ldb": good_table,
            "000006.ldb": bytes(bad_magic),  # refused at open
            "000007.sst": b"tiny",  # too small for a footer: opened, not mapped
            "MANIFEST-000002": craft.manifest_file([craft.version_edit(log_number=3, next_file_number=8)]),
            "CURRENT": b"MANIFEST-000002\n",
            "LOG": b"",
        },
    )


HELD_OPEN = ["000003.log", "000004.log", "000005.ldb", "000007.sst", "MANIFEST-000002"]
HELD_MAPPED = ["000003.log", "000005.ldb", "MANIFEST-000002"]


@pytest.mark.parametrize(
    "release",
    [lambda db: db.close(), lambda db: db.__exit__(None, None, None), lambda db: None],
    ids=["close", "__exit__", "deallocation"],
)
def test_handles_and_mappings_are_held_until_release(mixed_db, release):
    assert open_files_under(mixed_db) == [] and mapped_files_under(mixed_db) == []
    db = RawLevelDb(str(mixed_db))
    assert open_files_under(mixed_db) == HELD_OPEN
    assert mapped_files_under(mixed_db) == HELD_MAPPED
    records = db.iterate_records_raw()
    assert len(records) == 2
    assert open_files_under(mixed_db) == HELD_OPEN
    release(db)
    del db
    assert open_files_under(mixed_db) == []
    assert mapped_files_under(mixed_db) == []
    assert [r.value for r in records] == [b"b", b"v"]


@pytest.mark.parametrize("kind", ["regular-file", "missing-absolute", "embedded-nul"])
def test_failed_open_leaves_nothing_open(tmp_path, kind):
    path = make_not_a_directory(tmp_path, kind)
    before = os.listdir("/proc/self/fd")
    with pytest.raises(ValueError):
        RawLevelDb(path)
    assert open_files_under(tmp_path) == []
    assert mapped_files_under(tmp_path) == []
    assert len(os.listdir("/proc/self/fd")) == len(before)
