"""Where the records and the read report of one store directory come from.

One pass of the streaming scanner (``tarnwick.scan``) gives both: the records
in the reader's order, decoded off the interpreter lock, and afterwards the
report of what it read (every entry read, left out or not admitted and why,
the records per file, the damage map). The batches are handed on in
``SOURCE_SCHEMA``: binaries with 32-bit offsets and fixed dictionary types,
so that every part file of a dataset has the same schema. State, file type
and file stay dictionaries: few distinct values, cheap to count and rewrite.
"""

from __future__ import annotations

from collections.abc import Collection, Iterator
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]
# Casting (below) needs pyarrow.compute: imported here, with the module, rather
# than by pyarrow on first use inside a worker that may have dropped its rights.
import pyarrow.compute  # type: ignore[import-untyped]  # noqa: F401

from .. import scan

SOURCE_SCHEMA = pa.schema(
    [
        ("key", pa.binary()),
        ("user_key", pa.binary()),
        ("value", pa.binary()),
        ("seq", pa.uint64()),
        ("state", pa.dictionary(pa.int8(), pa.string())),
        ("file_type", pa.dictionary(pa.int8(), pa.string())),
        ("file", pa.dictionary(pa.int32(), pa.string())),
        ("file_number", pa.uint64()),
        ("offset", pa.uint64()),
        ("was_compressed", pa.bool_()),
    ]
)

# A batch whose binary columns pass this is cut in two before its offsets are
# narrowed to 32 bits (the limit is 2 GiB per column of a batch).
_MAX_BATCH_BYTES = 1 << 30


def _normalise(batch: pa.RecordBatch) -> Iterator[pa.RecordBatch]:
    if batch.num_rows > 1 and batch.nbytes > _MAX_BATCH_BYTES:
        half = batch.num_rows // 2
        yield from _normalise(batch.slice(0, half))
        yield from _normalise(batch.slice(half))
        return
    columns = [batch.column(field.name).cast(field.type) for field in SOURCE_SCHEMA]
    yield pa.RecordBatch.from_arrays(columns, schema=SOURCE_SCHEMA)


class StoreRead:
    """One pass over a store directory: ``batches()`` once, then ``report()``."""

    def __init__(self, directory: str | bytes, threads: int | None, files: Collection[str] | None) -> None:
        self._scan = scan(directory, threads=threads, files=files)

    def batches(self) -> Iterator[pa.RecordBatch]:
        for batch in pa.RecordBatchReader.from_stream(self._scan):
            yield from _normalise(batch)

    def report(self) -> dict[str, Any]:
        report = self._scan.report
        return {} if report is None else report.to_dict()


def read_store(directory: str | bytes, *, threads: int | None = None, files: Collection[str] | None = None) -> StoreRead:
    """``threads`` decode the store's files in parallel (None: the machine's
    cores); ``files`` names the data files to read (None: all of them). A path
    in bytes reaches the reader exactly, whatever its encoding."""
    return StoreRead(directory, threads, files)

