"""An evidence tree of engine-written stores for the many-stores tests.

Every store is written by the LevelDB engine (plyvel); the tree also holds the
shapes the engine leaves in real evidence: a folder of stray table and log
files without ``CURRENT`` or a manifest, a store whose files were compacted to
tables, links that must not be followed, and folders that only look like stores.
"""

from __future__ import annotations

import os
import shutil
from dataclasses import dataclass
from pathlib import Path

import plyvel


@dataclass(frozen=True)
class Expected:
    path: str
    kind: str
    origin: str | None


# (relative path, kind, origin, records written, compacted to tables)
STORES = [
    ("Profile/Default/IndexedDB/http_localhost_8080.indexeddb.leveldb", "indexeddb", "http://localhost:8080", 120, False),
    ("Profile/Default/IndexedDB/https_example.com_0.indexeddb.leveldb", "indexeddb", "https://example.com", 300, True),
    ("Profile/Default/Local Storage/leveldb", "localstorage", None, 500, True),
    ("Profile/Default/Session Storage", "sessionstorage", None, 80, False),
    ("Profile/WebStorage/7/IndexedDB/indexeddb.leveldb", "indexeddb", None, 40, False),
    ("apps/chat/leveldb", "leveldb", None, 900, True),
]
# A folder of stray data files copied out of a store: no CURRENT, no manifest.
STRAY = "recovered/loose"
# Folders that must not be found: a copy's name the reader does not take, and
# a store reached only through a link.
NOT_STORES = ["recovered/copies", "linked"]


def write_store(directory: Path, records: int, compact: bool, *, seed: int = 0) -> None:
    directory.parent.mkdir(parents=True, exist_ok=True)
    db = plyvel.DB(str(directory), create_if_missing=True)
    try:
        for i in range(records):
            db.put(b"key-%06d" % i, b"value-%d-%d-" % (seed, i) + bytes(range(i % 50)))
        for i in range(0, records, 9):
            db.delete(b"key-%06d" % i)
        if compact:
            db.compact_range()
            for i in range(0, records, 13):  # a log after the tables
                db.put(b"key-%06d" % i, b"rewritten-%d" % i)
    finally:
        db.close()


def make_tree(root: Path, outside: Path) -> list[Expected]:
    """Write the tree under ``root`` (and a store under ``outside`` that the
    tree links to); return the stores ``find`` must report, in path order."""
    for path, _, _, records, compact in STORES:
        write_store(root / path, records, compact, seed=len(path))
    source = root / "apps/chat/leveldb"
    loose = root / STRAY
    loose.mkdir(parents=True)
    for name in sorted(os.listdir(source)):
        if name.endswith((".ldb", ".log")):
            shutil.copy2(source / name, loose / name)
    copies = root / "recovered/copies"
    copies.mkdir(parents=True)
    shutil.copy2(next(p for p in sorted(source.iterdir()) if p.suffix == ".ldb"), copies / "000123 (1).ldb")
    (copies / "notes.txt").write_text("not a store\n")
    write_store(outside / "elsewhere", 30, False, seed=99)
    (root / "linked").symlink_to(outside / "elsewhere", target_is_directory=True)
    # A link among a store's files, pointing out of the tree: never read.
    (root / "apps/chat/leveldb/999999.log").symlink_to(outside / "elsewhere" / "000003.log")
    expected = [Expected(path, kind, origin) for path, kind, origin, _, _ in STORES]
    expected.append(Expected(STRAY, "leveldb", None))
    return sorted(expected, key=lambda e: e.path.split("/"))


def _walk(root: Path) -> list[str]:
    """Every path under ``root`` and ``root`` itself, listed without touching an
    access time (O_NOATIME; the test owns the files) and without following links."""
    found = [str(root)]
    pending = [str(root)]
    while pending:
        directory = pending.pop()
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_NOATIME)
        try:
            with os.scandir(fd) as entries:
                for entry in entries:
                    path = os.path.join(directory, entry.name)
                    found.append(path)
                    if entry.is_dir(follow_symlinks=False):
                        pending.append(path)
        finally:
            os.close(fd)
    return found


def _content(path: str) -> bytes:
    fd = os.open(path, os.O_RDONLY | os.O_NOATIME)
    with os.fdopen(fd, "rb") as stream:
        return stream.read()


def snapshot(root: Path) -> dict[str, tuple[int, int, int, int, bytes | str]]:
    """Every entry under ``root`` (links not followed): mode, size, access and
    modification times, and the content of files (the target of links)."""
    seen = {}
    for path in _walk(root):
        # A link's target is read before its times: reading a link sets its
        # access time (once, under relatime), and no call can avoid that.
        if os.path.islink(path):
            content: bytes | str = os.readlink(path)
        elif os.path.isfile(path):
            content = _content(path)
        else:
            content = b""
        info = os.lstat(path)
        seen[os.path.relpath(path, root)] = (info.st_mode, info.st_size, info.st_atime_ns, info.st_mtime_ns, content)
    return seen


def age_access_times(root: Path) -> None:
    """Set every access time under ``root`` a day before its modification time,
    so that any read would move it even under ``relatime``."""
    for path in _walk(root):
        info = os.lstat(path)
        os.utime(path, ns=(info.st_mtime_ns - 86_400 * 10**9, info.st_mtime_ns), follow_symlinks=False)
