"""Reading one chunk (see ``_plan``): its records into its Parquet part file,
its files hashed, its counts and the scanner's report returned.

This module, and pyarrow with it, is imported only where chunks are read:
in this process for one job, in the workers otherwise.
"""

from __future__ import annotations

import array
import dataclasses
import os
import shutil
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from .._provenance import FileFacts, iso_utc, source_metadata
from . import _source
from ._custody import Hashed, Identity, change_of, hash_file, identity_now
from .._store_vocabulary import is_data_file_name, open_directory
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


def text_form(path: str) -> str:
    """A path as the dataset's text columns hold it: itself when it is valid
    UTF-8; otherwise each byte that is not is written ``\\xHH``. The exact
    path is in the store's entry (``_store.json`` and the manifest), which
    the partition's ``store`` column names."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


# Arrays are built from buffers, never from Python lists: pyarrow's
# conversion of Python objects first imports pandas when it is installed, a
# second of start-up in every worker process.
def _strings(values: list[str]) -> pa.Array:
    encoded = [text_form(value).encode("utf-8") for value in values]
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


def _hash_and_copy(chunk: Chunk, directory_fd: int) -> tuple[dict[str, Hashed], str | None]:
    """Every file of the chunk hashed; a piece's data files copied in the same
    pass into its scratch folder, which is returned (None: the store's own
    directory is read)."""
    hashed: dict[str, Hashed] = {}
    if chunk.data_files is None:
        for name in chunk.hashed_files:
            hashed[name] = hash_file(directory_fd, name)
        return hashed, None
    # A worker killed in this chunk (its pool broken by another) may have left
    # copies: the chunk runs again from the start.
    shutil.rmtree(chunk.scratch, ignore_errors=True)
    os.makedirs(chunk.scratch)
    wanted = set(chunk.data_files)
    for name in chunk.hashed_files:
        copy = os.path.join(chunk.scratch, name) if name in wanted else None
        hashed[name] = hash_file(directory_fd, name, copy_to=copy)
    return hashed, chunk.scratch


def _checked(chunk: Chunk, directory_fd: int, hashed: dict[str, Hashed], copied: bool, report: dict[str, Any]) -> tuple[dict[str, Any], dict[str, str], dict[str, str]]:
    """The hashes to record, the files that could not be read (with the
    system's reason) and those that changed while they were exported (why)."""
    decoded_sizes = {f["name"]: f["size"] for f in report.get("files", []) if f.get("status") == "read"}
    hashes: dict[str, Any] = {}
    unreadable: dict[str, str] = {}
    changed: dict[str, str] = {}
    for name, found in zip(chunk.hashed_files, chunk.found):
        h = hashed[name]
        if h.error is not None:
            unreadable[name] = h.error
            continue
        hashes[name] = {"size": h.size, "sha256": h.sha256}
        why = change_of(
            Identity(*found),
            h,
            read_from_copy=copied,
            after_reading=None if copied else identity_now(directory_fd, name),
            decoded_size=decoded_sizes.get(name),
        )
        if why is not None:
            changed[name] = why
    return hashes, unreadable, changed


def _part_metadata(chunk: Chunk, hashed: dict[str, Hashed], report: dict[str, Any]) -> dict[bytes, bytes]:
    """Where a part file's records came from, in its own key-value metadata
    (as a dump's Parquet file carries it): the files hashed in the pass that
    read them, and the read report."""
    files = []
    for name, h in hashed.items():
        opened = h.opened
        files.append(FileFacts(
            os.path.join(chunk.directory, name), h.size,
            iso_utc(opened.mtime_ns) if opened else None, iso_utc(opened.ctime_ns) if opened else None,
            {"sha256": h.sha256} if h.sha256 else {}, h.error or "",
        ))
    return source_metadata(chunk.directory, files, report)


def _counts(report: dict[str, Any]) -> tuple[dict[str, int], dict[str, int]]:
    """The records by state and by data file name, as the scanner counted
    them while it read (no filter is asked for, so they are the part's rows)."""
    files = report.get("files", [])
    totals = {"Live": sum(f["live"] for f in files), "Deleted": sum(f["deleted"] for f in files),
              "Unknown": sum(f["unknown"] for f in files)}
    return {state: n for state, n in totals.items() if n}, {f["name"]: f["records"] for f in files if f["records"]}


def read_chunk(chunk: Chunk) -> dict[str, Any]:
    """Read, write and hash one chunk. Returns its result (a plain dict, so it
    crosses process and cluster boundaries as it is); a failure is a result
    with an ``error``, the part file then removed. A file that cannot be read
    costs only that file: the rest are read, and it is listed as unreadable."""
    result: dict[str, Any] = {"store_path": chunk.store_path, "index": chunk.index}
    try:
        directory_fd = open_directory(chunk.directory)
        try:
            hashed, scratch = _hash_and_copy(chunk, directory_fd)
            if scratch is None and any(h.error is not None for h in hashed.values()):
                # A data file the hash could not read is left out of the read
                # too: the others are copied and read as a piece would be.
                hashed, scratch = _hash_and_copy(_as_piece(chunk), directory_fd)
            prefix = "" if chunk.store_path == "." else chunk.store_path + "/"
            records = 0
            os.makedirs(os.path.dirname(chunk.part_path), exist_ok=True)
            source = _source.read_store(os.fsencode(scratch or chunk.directory), threads=_DECODE_THREADS)
            with pq.ParquetWriter(chunk.part_path, DATASET_SCHEMA, **_PARQUET_OPTIONS) as writer:
                for batch in source.batches():
                    out = _dataset_batch(batch, chunk, prefix)
                    writer.write_batch(out)
                    records += out.num_rows
                report = source.report()
                if scratch is not None:
                    report = _replace_paths(report, scratch, chunk.directory)
                writer.add_key_value_metadata(_part_metadata(chunk, hashed, report))
            hashes, unreadable, changed = _checked(chunk, directory_fd, hashed, scratch is not None, report)
        finally:
            os.close(directory_fd)
        by_state, by_file = _counts(report)
        result.update(
            records=records,
            by_state=by_state,
            by_file=by_file,
            hashes=hashes,
            unreadable=unreadable,
            changed=changed,
            report=report,
        )
    except Exception as error:  # one store's failure must not end the export
        result = failed_result(chunk, error)
    return result


def _as_piece(chunk: Chunk) -> Chunk:
    """The chunk read from copies of its data files instead of its directory."""
    data = tuple(name for name in chunk.hashed_files if is_data_file_name(name))
    return dataclasses.replace(chunk, data_files=data)


def _replace_paths(value: Any, old: str, new: str) -> Any:
    """The report with the temporary directory's path replaced by the store's."""
    if isinstance(value, str):
        return value.replace(old, new)
    if isinstance(value, (list, tuple)):
        return [_replace_paths(v, old, new) for v in value]
    if isinstance(value, dict):
        return {_replace_paths(k, old, new): _replace_paths(v, old, new) for k, v in value.items()}
    return value
