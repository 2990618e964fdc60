"""The hint for a folder that holds no LevelDB file: which folders below it do.

The look below is ``find``'s own walk (no access time changed, no link
followed), bounded: a user who pointed at the wrong folder is usually one or
two levels off ("Default/Local Storage/leveldb").
"""

from __future__ import annotations

import os

from ._store_vocabulary import is_store_listing, list_names

__all__ = ["holds_store", "store_hint"]

# How far below the given folder the hint looks, how many folders it lists at
# most, and how many stores it names.
_HINT_DEPTH = 3
_HINT_FOLDERS = 2000
_HINT_SHOWN = 3


def holds_store(path: str) -> bool:
    """Whether folder ``path`` is itself a store (False when it cannot be listed)."""
    try:
        return is_store_listing(list_names(os.path.realpath(path)))
    except OSError:
        return False


def store_hint(path: str) -> str | None:
    """A hint naming the nearest folders below ``path`` that hold a LevelDB
    store, or None when there are none."""
    from .stores.find import iter_stores

    found = []
    for store in iter_stores(path, max_depth=_HINT_DEPTH, max_folders=_HINT_FOLDERS):
        if store.path == ".":
            continue
        found.append(os.path.join(path, store.path))
        if len(found) == _HINT_SHOWN:
            break
    if not found:
        return None
    shown = ", ".join(repr(f) for f in found)
    more = " (and maybe more)" if len(found) == _HINT_SHOWN else ""
    return f"no LevelDB file in {path!r}; stores were found in {shown}{more}"
