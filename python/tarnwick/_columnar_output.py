"""Parquet and Arrow IPC files from the scanner's stream of record batches.

pyarrow does the writing; it is an optional dependency (the ``arrow`` extra),
imported only here. Batches are written as they come, so memory stays bounded
by the scanner's batches whatever the store's size.
"""

from __future__ import annotations

import importlib
from typing import Any, BinaryIO

from ._output import StatusLine

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


def write_columnar(source: Any, fmt: str, out: BinaryIO, status: StatusLine) -> int:
    """Writes every batch of ``source`` to ``out`` as ``parquet`` or ``arrow``
    (an IPC file); returns the rows written."""
    pa = importlib.import_module("pyarrow")
    reader = pa.RecordBatchReader.from_stream(source)
    rows = 0
    if fmt == "parquet":
        pq = importlib.import_module("pyarrow.parquet")
        with pq.ParquetWriter(out, reader.schema, use_dictionary=_DICTIONARY_COLUMNS, compression="snappy") as writer:
            for batch in reader:
                writer.write_batch(batch)
                rows += batch.num_rows
                status.show(f"tarnwick: {rows:,} records written")
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
