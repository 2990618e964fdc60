"""The unit of work of an export: one piece of one store.

A store whose data files are small is one piece, read straight from its
directory. A large store is split by file into pieces of about
``SPLIT_BYTES`` of data files each, consecutive in the reader's order, so the
pieces concatenated give the store's records in the same order as one read.
The split depends only on the files, never on how many workers run, so the
dataset is the same for every number of jobs.

A piece that holds only some of a store's files (or a store with a symbolic
link among its files, which is never followed) is read from a private copy
of exactly its regular data files, made while they are hashed, in a scratch
folder of the partition being staged in the dataset; nothing is created in
the tree, and the scratch folder goes with the staging area.

With decoding asked for, a browser store (Local Storage, Session Storage,
IndexedDB) gets one more piece: its decoded rows, read from the store's
directory as one whole (what a record means depends on records in other
files), written to the partition's ``_decoded`` folder.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

from .._store_vocabulary import CHROMIUM_KINDS
from ._layout import decoded_part_path, part_name
from .find import Store

SPLIT_BYTES = 64 << 20


@dataclass(frozen=True)
class Chunk:
    """What one worker does: read ``data_files`` of the store (None: its
    whole directory), write them to ``part_path``, hash ``hashed_files``
    and check each against ``found``, its identity when the store was
    found (size, modification and change times in ns, inode)."""

    tree: str
    store_path: str
    store_kind: str
    origin: str | None
    index: int
    data_files: tuple[str, ...] | None
    hashed_files: tuple[str, ...]
    part_path: str
    weight: int  # bytes of data files, for scheduling the largest first
    found: tuple[tuple[int, int, int, int], ...] = ()  # one per hashed file
    decode: bool = False  # the piece of decoded rows of a browser store

    @property
    def scratch(self) -> str:
        """Where a piece's copies are decoded from: inside its staged partition."""
        return os.path.join(os.path.dirname(self.part_path), f"_piece-{self.index:05d}")

    @property
    def directory(self) -> str:
        return os.path.join(self.tree, self.store_path) if self.store_path != "." else self.tree


def plan_chunks(tree: str, store: Store, staging_partition: str, *, decode: bool = False) -> list[Chunk]:
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
    by_name = {f.name: f for f in store.files}
    data_names = {f.name for f in data}
    others = tuple(f.name for f in store.files if f.name not in data_names)
    chunks = []
    for index, names in enumerate(groups):
        hashed = tuple(names) + (others if index == 0 else ())
        chunks.append(
            Chunk(
                tree=tree,
                store_path=store.path,
                store_kind=store.kind,
                origin=store.origin,
                index=index,
                data_files=None if whole else tuple(names),
                hashed_files=hashed,
                part_path=os.path.join(staging_partition, part_name(index)),
                weight=sum(by_name[n].size for n in names) + 1,
                found=tuple(
                    (by_name[n].size, by_name[n].mtime_ns, by_name[n].ctime_ns, by_name[n].inode) for n in hashed
                ),
            )
        )
    if decode and store.kind in CHROMIUM_KINDS:
        chunks.append(Chunk(
            tree=tree, store_path=store.path, store_kind=store.kind, origin=store.origin, index=len(chunks),
            data_files=None, hashed_files=(), part_path=decoded_part_path(staging_partition),
            weight=store.data_bytes + 1, decode=True,
        ))
    return chunks


def failed_result(chunk: Chunk, error: BaseException) -> dict[str, Any]:
    """The result of a chunk that failed, in its worker or with it; its part
    file, if any, removed. Decoding that fails costs only the decoded rows:
    the store's records are exported all the same."""
    try:
        os.unlink(chunk.part_path)
    except OSError:
        pass
    if chunk.decode:
        return {"store_path": chunk.store_path, "index": chunk.index, "decoded_rows": 0,
                "decoded": {"error": f"{type(error).__name__}: {error}"}}
    return {"store_path": chunk.store_path, "index": chunk.index, "error": f"{type(error).__name__}: {error}"}
