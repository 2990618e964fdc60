"""The unit of work of an export: one piece of one store.

A store whose data files are small is one piece, read straight from its
directory. A large store is split by file into pieces of about
``SPLIT_BYTES`` of data files each, consecutive in the reader's order, so the
pieces concatenated give the store's records in the same order as one read.
The split depends only on the files, never on how many workers run, so the
dataset is the same for every number of jobs.

A piece that holds only some of a store's files (or a store with a symbolic
link among its data files, which is never followed) is read from a private
temporary directory of symbolic links to exactly its regular files, outside
the tree and outside the dataset; nothing is created in the tree.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

from ._layout import part_name
from .find import Store

SPLIT_BYTES = 64 << 20


@dataclass(frozen=True)
class Chunk:
    """What one worker does: read ``data_files`` of the store (None: its
    whole directory), write them to ``part_path``, hash ``hashed_files``."""

    tree: str
    store_path: str
    store_kind: str
    origin: str | None
    index: int
    data_files: tuple[str, ...] | None
    hashed_files: tuple[str, ...]
    part_path: str
    weight: int  # bytes of data files, for scheduling the largest first

    @property
    def directory(self) -> str:
        return os.path.join(self.tree, self.store_path) if self.store_path != "." else self.tree


def plan_chunks(tree: str, store: Store, staging_partition: str) -> list[Chunk]:
    data = store.data_files
    groups: list[list[str]] = []
    size = 0
    for f in data:
        if not groups or (size + f.size > SPLIT_BYTES and size > 0):
            groups.append([])
            size = 0
        groups[-1].append(f.name)
        size += f.size
    if not groups:
        groups = [[]]
    whole = len(groups) == 1 and not store.skipped_links
    sizes = {f.name: f.size for f in store.files}
    data_names = {f.name for f in data}
    others = tuple(f.name for f in store.files if f.name not in data_names)
    chunks = []
    for index, names in enumerate(groups):
        chunks.append(
            Chunk(
                tree=tree,
                store_path=store.path,
                store_kind=store.kind,
                origin=store.origin,
                index=index,
                data_files=None if whole else tuple(names),
                hashed_files=tuple(names) + (others if index == 0 else ()),
                part_path=os.path.join(staging_partition, part_name(index)),
                weight=sum(sizes[n] for n in names) + 1,
            )
        )
    return chunks


def failed_result(chunk: Chunk, error: BaseException) -> dict[str, Any]:
    """The result of a chunk that failed, in its worker or with it; its part
    file, if any, removed."""
    try:
        os.unlink(chunk.part_path)
    except OSError:
        pass
    return {"store_path": chunk.store_path, "index": chunk.index, "error": f"{type(error).__name__}: {error}"}
