"""The decoded rows of one browser store, written into its partition.

A record's meaning depends on records in other files (IndexedDB's names,
Session Storage's map owners, the history of a key), so a store is decoded
whole, from its own directory, by the native decoders: every version of
every record, labelled (``tarnwick.chromium.scan(..., history=True,
all_records=True)``). Paths become relative to the tree as in the records'
parts. The part file carries where its rows came from in its key-value
metadata, as the records' parts do; the store's files are hashed by the
pieces that export its records.
"""

from __future__ import annotations

import os
from typing import Any

import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]

from .._provenance import source_metadata
from ._chunks import text_form
from ._plan import Chunk, failed_result

# Columns whose values repeat from row to row.
_REPEATING = ["store_kind", "origin", "top_level_site", "database", "object_store", "index", "record_type",
              "key_type", "value_type", "state", "version_status", "file", "store_path", "storage_key"]


def _relative(column: pa.Array, prefix: str) -> pa.Array:
    """Paths of the store's files made relative to the tree."""
    names = [None if path is None else prefix + text_form(path).rpartition("/")[2] for path in column.to_pylist()]
    return pa.array(names, pa.string())


def _store_column(text: str, rows: int) -> pa.Array:
    return pa.array([text_form(text)] * rows, pa.string())


_PATH_COLUMNS = ("file", "store_path")


def _part_schema(schema: pa.Schema) -> pa.Schema:
    """The stream's schema with its path columns as plain strings."""
    return pa.schema([pa.field(f.name, pa.string(), f.nullable, f.metadata) if f.name in _PATH_COLUMNS else f
                      for f in schema], schema.metadata)


def _with_relative_paths(batch: pa.RecordBatch, schema: pa.Schema, chunk: Chunk, prefix: str) -> pa.RecordBatch:
    columns = []
    for name, column in zip(batch.schema.names, batch.columns):
        if name == "file":
            column = _relative(column, prefix)
        elif name == "store_path":
            column = _store_column(chunk.store_path, batch.num_rows)
        columns.append(column)
    return pa.RecordBatch.from_arrays(columns, schema=schema)


def decode_chunk(chunk: Chunk) -> dict[str, Any]:
    """Decode the store of ``chunk`` into ``chunk.part_path``; the result says
    how many rows, and why none when decoding failed."""
    from .. import chromium

    try:
        prefix = "" if chunk.store_path == "." else chunk.store_path + "/"
        os.makedirs(os.path.dirname(chunk.part_path), exist_ok=True)
        scan = chromium.scan(chunk.directory, kinds=[chunk.store_kind], history=True, all_records=True)
        reader = pa.RecordBatchReader.from_stream(scan)
        schema = _part_schema(reader.schema)
        rows = 0
        with pq.ParquetWriter(chunk.part_path, schema,
                              use_dictionary=[c for c in _REPEATING if c in schema.names]) as writer:
            for batch in reader:
                writer.write_batch(_with_relative_paths(batch, schema, chunk, prefix))
                rows += batch.num_rows
            reports = [report.to_dict() for report in getattr(scan, "reports", [])]
            writer.add_key_value_metadata(source_metadata(chunk.directory, [], {"stores": reports}))
        return {"store_path": chunk.store_path, "index": chunk.index, "decoded_rows": rows,
                "decoded": {"part": os.path.relpath(chunk.part_path, os.path.dirname(os.path.dirname(chunk.part_path))),
                            "rows": rows}}
    except Exception as error:  # decoding fails alone: the store's records are exported all the same
        return failed_result(chunk, error)
