"""The layout of an exported dataset on disk.

::

    DATASET/
      _manifest.json                 chain of custody for the whole tree
      store=<id>/part-00000.parquet  a store's records, one file per piece, in order
      store=<id>/_decoded/part-00000.parquet
                                     with --decode, a browser store's decoded rows
                                     (a table of its own; hidden from readers of
                                     the records by its folder's name)
      store=<id>/_store.json         the store's own entry: files, hashes, counts,
                                     read report; written last, its presence
                                     marks the partition complete
      _staging/                      partitions being written (never read)
      _trash/                        partitions being replaced (never read)
      _lock                          held by the export writing the dataset
      _tree.json                     the tree this dataset belongs to, written
                                     before the first partition
      <name>.<pid>.tmp               a JSON file being written (removed by
                                     the next run if its writer was killed)

Readers that follow hive conventions (pyarrow, DuckDB with
``hive_partitioning``) see the column ``store``; names starting with ``_`` or
``.`` are not data to them. A partition only ever appears under its final
name complete: it is written under ``_staging`` and renamed into place.
"""

from __future__ import annotations

import hashlib
import os
import re

PARTITION_KEY = "store"
MANIFEST_NAME = "_manifest.json"
STORE_ENTRY_NAME = "_store.json"
STAGING_DIR = "_staging"
DECODED_DIR = "_decoded"
LOCK_NAME = "_lock"
TRASH_DIR = "_trash"
TREE_NAME = "_tree.json"
TEMPORARY_SUFFIX = ".tmp"
DATASET_FORMAT = "tarnwick-dataset"
# Bumped whenever the columns or the file layout change: partitions written
# under another version are exported again.
DATASET_VERSION = 2  # 2: store kinds named as find and chromium name them (localstorage, ...)

# A store's id: the start of its path in readable form, then a digest of the
# whole relative path so that ids never collide and never change between runs.
_ID_TEXT_CHARS = 48
_ID_DIGEST_HEX = 12
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def store_id(relative_path: str) -> str:
    text = _UNSAFE.sub("_", relative_path).strip("._-")[:_ID_TEXT_CHARS] or "store"
    digest = hashlib.sha256(relative_path.encode("utf-8", "surrogateescape")).hexdigest()[:_ID_DIGEST_HEX]
    return f"{text}-{digest}"


def partition_name(identifier: str) -> str:
    return f"{PARTITION_KEY}={identifier}"


def part_name(index: int) -> str:
    return f"part-{index:05d}.parquet"


def decoded_part_path(partition: str) -> str:
    """Where the decoded rows of the store of ``partition`` go."""
    return os.path.join(partition, DECODED_DIR, part_name(0))


def temporary_name(path: str) -> str:
    """Where a JSON file is written before it is renamed onto ``path``."""
    return f"{path}.{os.getpid()}{TEMPORARY_SUFFIX}"


_TEMPORARY = re.compile(r"\A(?:" + "|".join(re.escape(n) for n in (MANIFEST_NAME, TREE_NAME)) + r")\.\d+" + re.escape(TEMPORARY_SUFFIX) + r"\Z")


def is_temporary(name: str) -> bool:
    """A name ``temporary_name`` gives to a file of the dataset's top level."""
    return _TEMPORARY.match(name) is not None
