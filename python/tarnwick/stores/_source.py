"""Where the records and the read report of one store directory come from.

This is the only place that knows how a directory is read. The streaming
scanner (``tarnwick.scan`` and ``tarnwick.inspect``) is used when the package
has it; otherwise the records come from ``_tarnwick.RawLevelDb`` and are
turned into Arrow batches of the same columns, and the report is built from
what that reader returned. Either way the caller gets batches of
``SOURCE_SCHEMA``: binary keys and values, the state and file type as their
member names, and the path of the file each record came from.
"""

from __future__ import annotations

import os
from collections import Counter
from collections.abc import Iterator
from typing import Any

import pyarrow as pa
import pyarrow.compute as pc

from ._names import file_number

SOURCE_SCHEMA = pa.schema(
    [
        ("key", pa.binary()),
        ("user_key", pa.binary()),
        ("value", pa.binary()),
        ("seq", pa.uint64()),
        ("state", pa.string()),
        ("file_type", pa.string()),
        ("file", pa.string()),
        ("file_number", pa.uint64()),
        ("offset", pa.uint64()),
        ("was_compressed", pa.bool_()),
    ]
)

BATCH_ROWS = 65_536

# The member names of the list reader's enumerations, by their integer values.
_STATE_NAMES = {0: "Deleted", 1: "Live", 2: "Unknown"}
_FILE_TYPE_NAMES = {1: "Ldb", 2: "Log"}
# A batch whose binary columns pass this is cut in two before its offsets are
# narrowed to 32 bits (the limit is 2 GiB per column of a batch).
_MAX_BATCH_BYTES = 1 << 30


def _scanner() -> tuple[Any, Any] | None:
    try:
        import tarnwick
    except ImportError:
        return None
    scan = getattr(tarnwick, "scan", None)
    inspect = getattr(tarnwick, "inspect", None)
    if scan is None or inspect is None:
        return None
    return scan, inspect


def _normalise(batch: pa.RecordBatch) -> Iterator[pa.RecordBatch]:
    """The batch in ``SOURCE_SCHEMA``: dictionaries decoded, large binaries
    narrowed (cut in pieces where they would not fit)."""
    if batch.num_rows > 1 and batch.nbytes > _MAX_BATCH_BYTES:
        half = batch.num_rows // 2
        yield from _normalise(batch.slice(0, half))
        yield from _normalise(batch.slice(half))
        return
    columns = [batch.column(field.name).cast(field.type) for field in SOURCE_SCHEMA]
    yield pa.RecordBatch.from_arrays(columns, schema=SOURCE_SCHEMA)


def _scanned_batches(scan: Any, directory: str, threads: int | None) -> Iterator[pa.RecordBatch]:
    reader = pa.RecordBatchReader.from_stream(scan(directory, threads=threads))
    for batch in reader:
        yield from _normalise(batch)


def _listed_batches(directory: str) -> Iterator[pa.RecordBatch]:
    from _tarnwick import RawLevelDb

    with RawLevelDb(directory) as db:
        records = db.iterate_records_raw()
    for start in range(0, len(records), BATCH_ROWS):
        part = records[start : start + BATCH_ROWS]
        yield pa.RecordBatch.from_arrays(
            [
                pa.array([r.key for r in part], pa.binary()),
                pa.array([r.user_key for r in part], pa.binary()),
                pa.array([r.value for r in part], pa.binary()),
                pa.array([r.seq for r in part], pa.uint64()),
                pa.array([_STATE_NAMES[int(r.state)] for r in part], pa.string()),
                pa.array([_FILE_TYPE_NAMES[int(r.file_type)] for r in part], pa.string()),
                pa.array([r.origin_file for r in part], pa.string()),
                pa.array([file_number(os.path.basename(r.origin_file)) for r in part], pa.uint64()),
                pa.array([r.offset for r in part], pa.uint64()),
                pa.array([r.was_compressed for r in part], pa.bool_()),
            ],
            schema=SOURCE_SCHEMA,
        )


def record_batches(directory: str, *, threads: int | None = None) -> Iterator[pa.RecordBatch]:
    """Every record of the store directory, in the reader's order, as batches
    of ``SOURCE_SCHEMA``. ``threads`` is passed to the scanner (the list
    reader has none)."""
    scanner = _scanner()
    if scanner is not None:
        return _scanned_batches(scanner[0], directory, threads)
    return _listed_batches(directory)


def read_report(directory: str, records_by_file: Counter[str]) -> dict[str, Any]:
    """What the reader made of the directory: the scanner's own report when
    there is one; otherwise the records each data file gave (a file that gave
    none was left out or held nothing). ``records_by_file`` are the counts the
    caller saw, by file name."""
    scanner = _scanner()
    if scanner is not None:
        report: dict[str, Any] = scanner[1](directory).to_dict()
        return report
    return {"records_by_file": dict(sorted(records_by_file.items()))}


def count_by(batch: pa.RecordBatch, column: str) -> Counter[str]:
    counts: Counter[str] = Counter()
    for item in pc.value_counts(batch.column(column)).to_pylist():
        counts[item["values"]] += item["counts"]
    return counts
