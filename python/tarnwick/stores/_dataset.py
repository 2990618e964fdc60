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


def read_json(path: str) -> Any:
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return None


def write_json(path: str, value: Any, *, sync: bool = False) -> None:
    """Written beside and renamed: the file is either absent or complete.
    ``sync`` also waits for the disk, for the one file that ends a run."""
    temporary = f"{path}.{os.getpid()}.tmp"
    # One line: the indenting encoder is pure Python and, for two hundred
    # stores with their reports, takes longer than all else the parent does.
    text = json.dumps(value, sort_keys=True, ensure_ascii=False)
    with open(temporary, "w", encoding="utf-8") as stream:
        stream.write(text + "\n")
        if sync:
            stream.flush()
            os.fsync(stream.fileno())
    os.replace(temporary, path)


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

    def prepare(self) -> None:
        os.makedirs(self.path, exist_ok=True)
        self._lock()
        self.clean()
        os.makedirs(self.staging)

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
        """Remove what an earlier or this run left half done."""
        shutil.rmtree(self.staging, ignore_errors=True)
        shutil.rmtree(self.trash, ignore_errors=True)

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
