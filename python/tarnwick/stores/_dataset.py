"""The dataset directory: staging, committing and discarding partitions, the
lock, and the JSON files of the manifest. The layout itself is in ``_layout``."""

from __future__ import annotations

import fcntl
import json
import os
import shutil
from typing import Any

from . import _layout


class DatasetBusy(Exception):
    """Another export holds the dataset's lock."""


class DatasetOfAnotherTree(Exception):
    """The dataset holds the export of another tree; one line, saying what to do."""


def read_json(path: str) -> Any:
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return None


def json_text(value: Any, *, sort_keys: bool = True) -> str:
    """``value`` as one line of JSON that UTF-8 always encodes. Paths hold the
    bytes of names that are not UTF-8 as the code points U+DC80 to U+DCFF
    (Python's ``surrogateescape``); JSON writes those as the escapes
    ``\\udc80`` to ``\\udcff``, so a name reads back exactly and the file stays
    valid UTF-8, all other text as it is."""
    text = json.dumps(value, sort_keys=sort_keys, ensure_ascii=False)
    # Lone surrogates occur only inside JSON strings, where ``\\udcXX`` is
    # exactly their escape.
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def write_json(path: str, value: Any, *, sync: bool = False) -> None:
    """Written beside and renamed: the file is either absent or complete, and
    the temporary file is removed whatever stops the writing (a full disk, an
    interrupt). ``sync`` also waits for the disk, for the file that ends a run."""
    temporary = _layout.temporary_name(path)
    # One line: the indenting encoder is pure Python and, for two hundred
    # stores with their reports, takes longer than all else the parent does.
    data = (json_text(value) + "\n").encode("utf-8")
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(fd, view):]
            if sync:
                os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def existing_entries(dataset: str) -> dict[str, dict[str, Any]]:
    """The store entries of the complete partitions, by partition name."""
    entries = {}
    for name in os.listdir(dataset):
        if name.startswith(_layout.PARTITION_KEY + "="):
            entry = read_json(os.path.join(dataset, name, _layout.STORE_ENTRY_NAME))
            if isinstance(entry, dict):
                entries[name] = entry
    return entries


class Dataset:
    """The dataset directory as one export writes it (see ``_layout``)."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.staging = os.path.join(path, _layout.STAGING_DIR)
        self.trash = os.path.join(path, _layout.TRASH_DIR)
        self._lock_fd: int | None = None

    def prepare(self, tree: str) -> None:
        """Lock the dataset, make sure it belongs to ``tree`` (claiming it when
        it is new), and clear what an interrupted run left."""
        os.makedirs(self.path, exist_ok=True)
        self._lock()
        try:
            self._claim(tree)
            self.clean()
            os.makedirs(self.staging)
        except BaseException:
            self.release()
            raise

    def owner(self) -> str | None:
        """The tree whose export this dataset holds, as recorded: the mark
        written before any partition, or, for a dataset written before marks
        existed, its manifest or any partition's entry."""
        for name in (_layout.TREE_NAME, _layout.MANIFEST_NAME):
            value = read_json(os.path.join(self.path, name))
            if isinstance(value, dict) and isinstance(value.get("tree"), str):
                return str(value["tree"])
        for entry in existing_entries(self.path).values():
            if isinstance(entry.get("tree"), str):
                return str(entry["tree"])
        return None

    def _claim(self, tree: str) -> None:
        owner = self.owner()
        if owner is None and existing_entries(self.path):
            raise DatasetOfAnotherTree(
                f"{self.path!r} holds partitions of a tree it does not name; "
                "export into a new directory (or delete this one first to replace it)"
            )
        if owner is not None and owner != tree:
            raise DatasetOfAnotherTree(
                f"{self.path!r} holds the export of the tree {owner!r}, not {tree!r}; "
                "export into a new directory (or delete this one first to replace it)"
            )
        if owner is None or not os.path.isfile(os.path.join(self.path, _layout.TREE_NAME)):
            write_json(os.path.join(self.path, _layout.TREE_NAME), {"tree": tree}, sync=True)

    def _lock(self) -> None:
        """One export per dataset at a time: the lock is held until the process
        ends (or ``release``), so a crashed run never leaves it taken."""
        fd = os.open(os.path.join(self.path, _layout.LOCK_NAME), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise DatasetBusy(f"another export is writing {self.path!r}") from None
        self._lock_fd = fd

    def release(self) -> None:
        if self._lock_fd is not None:
            os.close(self._lock_fd)
            self._lock_fd = None

    def clean(self) -> None:
        """Remove what an earlier or this run left half done: the staging area
        (with the copies pieces are read from), the partitions being replaced,
        and JSON files a killed run did not finish writing."""
        shutil.rmtree(self.staging, ignore_errors=True)
        shutil.rmtree(self.trash, ignore_errors=True)
        for name in os.listdir(self.path):
            if _layout.is_temporary(name):
                try:
                    os.unlink(os.path.join(self.path, name))
                except OSError:
                    pass

    def staged(self, partition: str) -> str:
        return os.path.join(self.staging, partition)

    def drop_staged(self, partition: str) -> None:
        shutil.rmtree(self.staged(partition), ignore_errors=True)

    def discard(self, partition: str) -> None:
        """Move a complete partition out of sight first, then delete it."""
        final = os.path.join(self.path, partition)
        if not os.path.lexists(final):
            return
        os.makedirs(self.trash, exist_ok=True)
        doomed = os.path.join(self.trash, partition)
        os.rename(final, doomed)
        shutil.rmtree(doomed, ignore_errors=True)

    def commit(self, partition: str, entry: dict[str, Any]) -> None:
        staged = self.staged(partition)
        write_json(os.path.join(staged, _layout.STORE_ENTRY_NAME), entry)
        self.discard(partition)
        os.rename(staged, os.path.join(self.path, partition))
