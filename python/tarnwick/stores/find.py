"""Finding every LevelDB store in an evidence tree.

A store is a directory that holds at least one data file (a table or log file
the reader takes), or a ``CURRENT`` file and a manifest; a folder of stray
``.ldb``/``.log`` files without either is a store too: the reader needs
neither. These rules, the kinds and the origins are the package's one store
vocabulary (``tarnwick._store_vocabulary``).

The walk only reads: every directory is opened with ``O_NOATIME`` (where the
system permits it) and ``O_NOFOLLOW`` and listed through its descriptor, so no
access time changes. Symbolic links are never followed, neither out of the
tree nor inside it: a link in a store is listed among its ``skipped_links``,
and a link to a directory is not entered. Mount points inside the tree are
entered like any directory.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

from .. import _store_vocabulary as vocabulary
from .._store_vocabulary import file_number, is_data_file_name, is_store_listing, open_directory, reader_order


@dataclass(frozen=True)
class StoreFile:
    """One regular file in a store's directory, as it was when found."""

    name: str
    size: int
    mtime_ns: int
    ctime_ns: int
    inode: int
    is_data: bool

    @property
    def number(self) -> int:
        return file_number(self.name)


@dataclass(frozen=True)
class Store:
    """A store found in a tree. ``path`` is relative to the tree, with ``/``
    between components (``.`` for the tree itself)."""

    path: str
    kind: str
    origin: str | None
    files: tuple[StoreFile, ...]  # every regular file of the directory, by name
    skipped_links: tuple[str, ...] = field(default=())

    @property
    def data_files(self) -> tuple[StoreFile, ...]:
        """The table and log files, in the order the reader takes them."""
        by_name = {f.name: f for f in self.files if f.is_data}
        return tuple(by_name[name] for name in reader_order(list(by_name)))

    @property
    def file_count(self) -> int:
        return len(self.files)

    @property
    def bytes(self) -> int:
        return sum(f.size for f in self.files)

    @property
    def data_bytes(self) -> int:
        return sum(f.size for f in self.files if f.is_data)

    def to_dict(self) -> dict[str, object]:
        return {
            "path": self.path,
            "kind": self.kind,
            "origin": self.origin,
            "files": self.file_count,
            "data_files": len(self.data_files),
            "bytes": self.bytes,
            "skipped_links": list(self.skipped_links),
        }


@dataclass
class _Listing:
    subdirectories: list[str]
    files: list[StoreFile]
    links: list[str]


OnError = Callable[[str, OSError], None]


def _store_file(entry: os.DirEntry[str]) -> StoreFile | None:
    try:
        info = entry.stat(follow_symlinks=False)  # fstatat through the directory's descriptor
    except OSError:
        return None
    if not stat.S_ISREG(info.st_mode):
        return None
    return StoreFile(
        entry.name, info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino, is_data_file_name(entry.name)
    )


def _list(path: str, on_error: OnError | None) -> _Listing | None:
    """The entries of one directory, by kind, or None when it cannot be read.
    Files are looked at only when their names make the directory a store;
    otherwise the kinds the listing itself gives suffice."""
    try:
        fd = open_directory(path)
    except OSError as error:
        if on_error is not None:
            on_error(path, error)
        return None
    try:
        with os.scandir(fd) as entries:
            listing = _Listing([], [], [])
            file_entries: list[os.DirEntry[str]] = []
            for entry in entries:
                try:
                    if entry.is_symlink():
                        listing.links.append(entry.name)
                    elif entry.is_dir(follow_symlinks=False):
                        listing.subdirectories.append(entry.name)
                    elif entry.is_file(follow_symlinks=False):
                        file_entries.append(entry)
                except OSError:
                    continue
            if not is_store_listing(entry.name for entry in file_entries):
                return _Listing(listing.subdirectories, [], [])
            files = (_store_file(entry) for entry in file_entries)
            listing.files = sorted((f for f in files if f is not None), key=lambda f: f.name)
            return listing
    except OSError as error:
        if on_error is not None:
            on_error(path, error)
        return None
    finally:
        os.close(fd)


def iter_stores(
    tree: str | os.PathLike[str],
    *,
    on_error: OnError | None = None,
    max_depth: int | None = None,
    max_folders: int | None = None,
) -> Iterator[Store]:
    """Every store under ``tree`` (the tree itself included), in the order of
    their relative paths (components compared by name). A directory that
    cannot be listed is passed over, and told to ``on_error(path, error)``.
    ``max_depth`` (levels below the tree) and ``max_folders`` (folders
    listed) bound a walk that only looks around, such as a hint's."""
    # The tree's own path may pass through links (a mount under /mnt, say);
    # below it, nothing is followed.
    root = os.path.realpath(os.fspath(tree))
    # Depth first, children pushed in reverse name order so they come out in order.
    stack: list[tuple[str, ...]] = [()]
    listed = 0
    while stack:
        parts = stack.pop()
        listed += 1
        if max_folders is not None and listed > max_folders:
            return
        listing = _list(os.path.join(root, *parts), on_error)
        if listing is None:
            continue
        if listing.files:
            kind = vocabulary.recognise(parts if parts else vocabulary.path_parts(root))
            yield Store(
                "/".join(parts) or ".",
                kind.kind,
                kind.origin,
                tuple(listing.files),
                tuple(sorted(listing.links)),
            )
        if max_depth is not None and len(parts) >= max_depth:
            continue
        for name in sorted(listing.subdirectories, reverse=True):
            stack.append((*parts, name))


def find_stores(tree: str | os.PathLike[str], *, on_error: OnError | None = None) -> list[Store]:
    """Every LevelDB store under ``tree``; see ``iter_stores``.

    Raises ``OSError`` (``NotADirectoryError``, ``FileNotFoundError``, …)
    when ``tree`` itself cannot be listed; directories below it that cannot
    be listed are passed over and told to ``on_error``.
    """
    root = os.path.realpath(os.fspath(tree))
    os.close(open_directory(root))  # fail loudly on the tree itself only
    return list(iter_stores(root, on_error=on_error))
