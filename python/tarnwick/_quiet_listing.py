"""Looking at a folder of evidence without changing its access time.

Listing a folder reads it, and reading sets its access time. A folder opened
with ``O_NOATIME`` (allowed to its owner and to a privileged user) can be
listed through its descriptor without that; elsewhere the listing falls back
to an ordinary open, the best the system allows.

``store_hint(path)`` answers the question a user has when a folder holds no
LevelDB file: which folders below it do.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterator

__all__ = ["list_names", "looks_like_store", "store_hint"]

_NOATIME = getattr(os, "O_NOATIME", 0)
_DIRECTORY_FLAGS = os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC

# The names that make a folder a LevelDB store: its CURRENT pointer, a
# MANIFEST, or a table or log file named by its number.
_STORE_NAME = re.compile(r"^(CURRENT|MANIFEST-\d+|\d{6,16}\.(ldb|sst|log))$", re.IGNORECASE)

# How far below the given folder the hint looks, and how many folders it
# looks into at most: a user who pointed at the wrong folder is usually one
# or two levels off ("Default/Local Storage/leveldb").
_HINT_DEPTH = 3
_HINT_FOLDERS = 2000
_HINT_SHOWN = 3


def _open_folder(path: str, dir_fd: int | None = None) -> int:
    if _NOATIME:
        try:
            return os.open(path, _DIRECTORY_FLAGS | _NOATIME, dir_fd=dir_fd)
        except PermissionError:
            pass  # not the owner: O_NOATIME is refused, not the folder
    return os.open(path, _DIRECTORY_FLAGS, dir_fd=dir_fd)


def _entries(fd: int) -> list[tuple[str, bool]]:
    """(name, is a folder not reached through a link) of every entry."""
    found = []
    with os.scandir(fd) as entries:
        for entry in entries:
            try:
                folder = entry.is_dir(follow_symlinks=False)
            except OSError:
                folder = False
            found.append((entry.name, folder))
    return found


def list_names(path: str) -> list[str]:
    """The names in folder ``path``, listed without touching its access time."""
    fd = _open_folder(path)
    try:
        return [name for name, _ in _entries(fd)]
    finally:
        os.close(fd)


def looks_like_store(names: list[str]) -> bool:
    return any(_STORE_NAME.match(name) for name in names)


def _stores_below(path: str) -> Iterator[str]:
    """Folders below ``path`` that look like stores, nearest first."""
    level = [path]
    visited = 0
    for _ in range(_HINT_DEPTH):
        below = []
        for folder in level:
            try:
                fd = _open_folder(folder)
            except OSError:
                continue
            try:
                entries = _entries(fd)
            except OSError:
                continue
            finally:
                os.close(fd)
            for name, is_folder in sorted(entries):
                if not is_folder:
                    continue
                child = os.path.join(folder, name)
                visited += 1
                if visited > _HINT_FOLDERS:
                    return
                try:
                    child_fd = _open_folder(child)
                except OSError:
                    continue
                try:
                    names = [n for n, _ in _entries(child_fd)]
                except OSError:
                    names = []
                finally:
                    os.close(child_fd)
                if looks_like_store(names):
                    yield child
                else:
                    below.append(child)
        level = below


def store_hint(path: str) -> str | None:
    """A hint naming the nearest folders below ``path`` that hold a LevelDB
    store, or None when there are none."""
    found = []
    for store in _stores_below(path):
        found.append(store)
        if len(found) == _HINT_SHOWN:
            break
    if not found:
        return None
    shown = ", ".join(repr(f) for f in found)
    more = " (and maybe more)" if len(found) == _HINT_SHOWN else ""
    return f"no LevelDB file in {path!r}; stores were found in {shown}{more}"

