"""Reading one chunk (see ``_plan``): its records into its Parquet part file,
its files hashed, its counts and the scanner's report returned.

This module, and pyarrow with it, is imported only where chunks are read:
in this process for one job, in the workers otherwise.
"""

from __future__ import annotations

import array
import os
from collections import Counter
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from . import _source
from ._evidence_io import sha256_of
from ._plan import Chunk, failed_result

# Each piece decodes on one thread: the parallelism is the jobs' (one core
# per job, as ``--jobs`` promises), never threads on top of processes.
_DECODE_THREADS = 1

# Text columns with few distinct values (paths, kinds) are dictionaries: a
# batch holds each path once, and Parquet writes them as dictionary pages.
_TEXT = pa.dictionary(pa.int32(), pa.string())

# The dataset's columns. ``store`` (the partition) is added by readers.
DATASET_SCHEMA = pa.schema(
    [
        ("store_path", _TEXT),
        ("store_kind", _TEXT),
        ("origin", _TEXT),
        ("file", _TEXT),
        ("file_number", pa.uint64()),
        ("offset", pa.uint64()),
        ("seq", pa.uint64()),
        ("state", _source.SOURCE_SCHEMA.field("state").type),
        ("file_type", _source.SOURCE_SCHEMA.field("file_type").type),
        ("was_compressed", pa.bool_()),
        ("key", pa.binary()),
        ("user_key", pa.binary()),
        ("value", pa.binary()),
    ]
)


# Dictionary encoding pays for the columns that repeat (paths, kinds, states);
# tried on keys and values it is mostly thrown away again at a cost. Min/max
# statistics are kept for keys (range filters) but not for values.
_REPEATING_COLUMNS = ["store_path", "store_kind", "origin", "file", "state", "file_type"]
_PARQUET_OPTIONS: dict[str, Any] = {
    "use_dictionary": _REPEATING_COLUMNS,
    "write_statistics": [name for name in DATASET_SCHEMA.names if name != "value"],
}


# Arrays are built from buffers, never from Python lists: pyarrow's
# conversion of Python objects first imports pandas when it is installed, a
# second of start-up in every worker process.
def _strings(values: list[str]) -> pa.Array:
    encoded = [value.encode("utf-8", "surrogateescape") for value in values]
    offsets = array.array("i", [0])
    for item in encoded:
        offsets.append(offsets[-1] + len(item))
    return pa.Array.from_buffers(pa.string(), len(values), [None, pa.py_buffer(offsets.tobytes()), pa.py_buffer(b"".join(encoded))])


def _repeat(text: str | None, rows: int) -> pa.Array:
    """``text`` in every row, as a dictionary of one value (or all null)."""
    if text is None:
        return pa.DictionaryArray.from_arrays(pa.nulls(rows, pa.int32()), _strings([]))
    zeros = pa.Array.from_buffers(pa.int32(), rows, [None, pa.py_buffer(bytes(4 * rows))])
    return pa.DictionaryArray.from_arrays(zeros, _strings([text]))


def _relative_files(files: pa.DictionaryArray, prefix: str) -> pa.Array:
    """The file column with each path made relative to the tree: only the
    dictionary's few distinct paths are rewritten."""
    names = [prefix + path.rpartition("/")[2] for path in files.dictionary.to_pylist()]
    return pa.DictionaryArray.from_arrays(files.indices, _strings(names))


def _dataset_batch(batch: pa.RecordBatch, chunk: Chunk, file_prefix: str) -> pa.RecordBatch:
    rows = batch.num_rows
    return pa.RecordBatch.from_arrays(
        [
            _repeat(chunk.store_path, rows),
            _repeat(chunk.store_kind, rows),
            _repeat(chunk.origin, rows),
            _relative_files(batch.column("file"), file_prefix),
            batch.column("file_number"),
            batch.column("offset"),
            batch.column("seq"),
            batch.column("state"),
            batch.column("file_type"),
            batch.column("was_compressed"),
            batch.column("key"),
            batch.column("user_key"),
            batch.column("value"),
        ],
        schema=DATASET_SCHEMA,
    )


def read_chunk(chunk: Chunk) -> dict[str, Any]:
    """Read, write and hash one chunk. Returns its result (a plain dict, so it
    crosses process and cluster boundaries as it is); a failure is a result
    with an ``error``, the part file then removed."""
    result: dict[str, Any] = {"store_path": chunk.store_path, "index": chunk.index}
    try:
        hashes = {}
        for name in chunk.hashed_files:
            size, digest = sha256_of(os.path.join(chunk.directory, name))
            hashes[name] = {"size": size, "sha256": digest}
        prefix = "" if chunk.store_path == "." else chunk.store_path + "/"
        by_state: Counter[str] = Counter()
        by_file: Counter[str] = Counter()
        records = 0
        os.makedirs(os.path.dirname(chunk.part_path), exist_ok=True)
        # A part of a large store is read in place: the scanner reads only
        # the part's data files (it never follows links, so no folder of
        # links to them would do).
        source = _source.read_store(chunk.directory, threads=_DECODE_THREADS, files=chunk.data_files)
        with pq.ParquetWriter(chunk.part_path, DATASET_SCHEMA, **_PARQUET_OPTIONS) as writer:
            for batch in source.batches():
                out = _dataset_batch(batch, chunk, prefix)
                writer.write_batch(out)
                records += out.num_rows
                by_state += _source.count_by(out, "state")
                by_file += _source.count_by(out, "file")
        names = Counter({path.rpartition("/")[2]: n for path, n in by_file.items()})
        report = source.report()
        result.update(
            records=records,
            by_state=dict(by_state),
            by_file=dict(names),
            hashes=hashes,
            report=report,
        )
    except Exception as error:  # one store's failure must not end the export
        result = failed_result(chunk, error)
    return result
