"""Finding every LevelDB store in an evidence tree.

A store is a directory that holds at least one data file (a table or log file
the reader takes; see ``_names``), or a ``CURRENT`` file and a manifest. A
folder of stray ``.ldb``/``.log`` files without either is a store too: the
reader needs neither.

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

from . import kinds
from ._evidence_io import open_directory
from ._names import file_number, is_data_file_name, is_store_marker, reader_order


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


def _list(path: str, on_error: OnError | None) -> _Listing | None:
    """The entries of one directory, by kind, or None when it cannot be read.
    Regular files are looked at (``fstatat`` through the directory's
    descriptor) only when the names make the directory a store."""
    try:
        fd = open_directory(path)
    except OSError as error:
        if on_error is not None:
            on_error(path, error)
        return None
    try:
        with os.scandir(fd) as entries:
            subdirectories: list[str] = []
            file_entries: list[os.DirEntry[str]] = []
            links: list[str] = []
            is_store = False
            has_current = has_manifest = False
            for entry in entries:
                try:
                    if entry.is_symlink():
                        links.append(entry.name)
                    elif entry.is_dir(follow_symlinks=False):
                        subdirectories.append(entry.name)
                    elif entry.is_file(follow_symlinks=False):
                        file_entries.append(entry)
                        if is_data_file_name(entry.name):
                            is_store = True
                        elif entry.name == "CURRENT":
                            has_current = True
                        elif is_store_marker(entry.name):
                            has_manifest = True
                except OSError:
                    continue
            files: list[StoreFile] = []
            if is_store or (has_current and has_manifest):
                for entry in file_entries:
                    try:
                        info = entry.stat(follow_symlinks=False)
                    except OSError:
                        continue
                    if not stat.S_ISREG(info.st_mode):
                        continue
                    files.append(
                        StoreFile(
                            entry.name,
                            info.st_size,
                            info.st_mtime_ns,
                            info.st_ctime_ns,
                            info.st_ino,
                            is_data_file_name(entry.name),
                        )
                    )
                files.sort(key=lambda f: f.name)
            else:
                links = []
            return _Listing(subdirectories, files, links)
    except OSError as error:
        if on_error is not None:
            on_error(path, error)
        return None
    finally:
        os.close(fd)


def iter_stores(tree: str | os.PathLike[str], *, on_error: OnError | None = None) -> Iterator[Store]:
    """Every store under ``tree`` (the tree itself included), in the order of
    their relative paths (components compared by name). A directory that
    cannot be listed is passed over, and told to ``on_error(path, error)``."""
    # The tree's own path may pass through links (a mount under /mnt, say);
    # below it, nothing is followed.
    root = os.path.realpath(os.fspath(tree))
    # Depth first, children pushed in reverse name order so they come out in order.
    stack: list[tuple[str, ...]] = [()]
    while stack:
        parts = stack.pop()
        listing = _list(os.path.join(root, *parts), on_error)
        if listing is None:
            continue
        if listing.files:
            kind = kinds.recognise(parts if parts else _root_parts(root))
            yield Store(
                "/".join(parts) or ".",
                kind.kind,
                kind.origin,
                tuple(listing.files),
                tuple(sorted(listing.links)),
            )
        for name in sorted(listing.subdirectories, reverse=True):
            stack.append((*parts, name))


def _root_parts(root: str) -> tuple[str, ...]:
    """The components of the tree's own path, for a tree that is itself a store."""
    return tuple(p for p in os.path.abspath(root).split(os.sep) if p)


def find_stores(tree: str | os.PathLike[str], *, on_error: OnError | None = None) -> list[Store]:
    """Every LevelDB store under ``tree``; see ``iter_stores``.

    Raises ``OSError`` (``NotADirectoryError``, ``FileNotFoundError``, …)
    when ``tree`` itself cannot be listed; directories below it that cannot
    be listed are passed over and told to ``on_error``.
    """
    root = os.path.realpath(os.fspath(tree))
    os.close(open_directory(root))  # fail loudly on the tree itself only
    return list(iter_stores(root, on_error=on_error))
