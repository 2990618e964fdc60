"""Parquet and Arrow IPC files from the scanner's stream of record batches.

pyarrow does the writing; it is an optional dependency (the ``arrow`` extra),
imported only here. Batches are written as they come, so memory stays bounded
by the scanner's batches whatever the store's size.
"""

from __future__ import annotations

import importlib
import sys
from collections.abc import Callable
from typing import Any, BinaryIO

from ._output import StatusLine

# How to scan for each format. Each batch becomes a Parquet row group, and
# the writer keeps some metadata per row group and column until the file is
# closed, so too small batches make its memory grow with the store; too large
# ones fill the scanner's queue with big batches while the writer, slower than
# the decoding, catches up. Measured peak resident memory of a Parquet dump of
# 2 M / 10 M records (numpy still imported; keeping it out saves 12 MiB more):
#   2 threads, 4 MiB batches: 170 / -    2 threads, 1 MiB: 115 / 143
#   1 thread, 2 MiB: 121 / 129           1 thread, 4 MiB: 153 / 162
# One decoding thread mostly keeps ahead of the Parquet writer. The Arrow IPC
# writer keeps nothing per batch; small batches keep the queue small.
SCAN_SETTINGS: dict[str, dict[str, Any]] = {
    "parquet": {"threads": 1, "batch_bytes": 2 << 20},
    "arrow": {"batch_bytes": 1 << 20},
}

# Columns that are dictionary-encoded in the batches, and so worth a
# Parquet dictionary page; keys and values are nearly all distinct, and
# trying a dictionary for them only costs time.
_DICTIONARY_COLUMNS = ["state", "file_type", "file"]


def _plain_files(batch: Any, pa: Any) -> Any:
    """The batch with its ``file`` column as plain strings.

    Each batch has a dictionary of its own paths; an Arrow IPC file may hold
    only one dictionary per column, so there the paths are written out."""
    index = batch.schema.get_field_index("file")
    if index < 0 or not pa.types.is_dictionary(batch.schema.field(index).type):
        return batch
    column = batch.column(index)
    plain = column.cast(column.type.value_type)
    return batch.set_column(index, batch.schema.field(index).with_type(plain.type), plain)


def import_pyarrow() -> Any:
    """pyarrow, imported without numpy where that is still possible.

    pyarrow imports numpy when it is installed, for conversions these writers
    never make; in a process that has not imported numpy yet, keeping it out
    saves some 12 MiB of the dump's memory. Where pyarrow cannot do without
    (old versions), it is imported as usual."""
    if "pyarrow" in sys.modules or "numpy" in sys.modules:
        return importlib.import_module("pyarrow")
    sys.modules["numpy"] = None  # type: ignore[assignment]
    try:
        return importlib.import_module("pyarrow")
    except ImportError:
        for name in [n for n in sys.modules if n == "pyarrow" or n.startswith("pyarrow.")]:
            del sys.modules[name]
    finally:
        if sys.modules.get("numpy", ...) is None:
            del sys.modules["numpy"]
    return importlib.import_module("pyarrow")


def write_columnar(source: Any, fmt: str, out: BinaryIO, status: StatusLine,
                   metadata: Callable[[], dict[bytes, bytes]] | None = None) -> int:
    """Writes every batch of ``source`` to ``out`` as ``parquet`` or ``arrow``
    (an IPC file); returns the rows written.

    ``metadata`` gives the key-value metadata of a Parquet file (where it came
    from, see ``_provenance``); it is asked for after the last batch, when the
    read report is complete, and written into the file's footer. An Arrow IPC
    file takes its metadata with its schema, before the first batch, so it
    carries none."""
    pa = import_pyarrow()
    reader = pa.RecordBatchReader.from_stream(source)
    rows = 0
    if fmt == "parquet":
        pq = importlib.import_module("pyarrow.parquet")
        with pq.ParquetWriter(out, reader.schema, use_dictionary=_DICTIONARY_COLUMNS, compression="snappy") as writer:
            for batch in reader:
                writer.write_batch(batch)
                rows += batch.num_rows
                status.show(f"tarnwick: {rows:,} records written")
            if metadata is not None:
                writer.add_key_value_metadata(metadata())
        return rows

    schema = reader.schema
    index = schema.get_field_index("file")
    if index >= 0 and pa.types.is_dictionary(schema.field(index).type):
        schema = schema.set(index, schema.field(index).with_type(schema.field(index).type.value_type))
    with pa.ipc.new_file(out, schema) as writer:
        for batch in reader:
            writer.write_batch(_plain_files(batch, pa))
            rows += batch.num_rows
            status.show(f"tarnwick: {rows:,} records written")
    return rows
