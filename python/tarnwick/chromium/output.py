"""Decoded entries as rows, and the writers of ``tarnwick chromium``: text, JSON Lines,
CSV and Parquet.

Keys, values and details are JSON text in the CSV, text and Parquet forms (JSON Lines
embeds them as JSON). Where a key or value could not be decoded, ``raw_key`` and
``raw_value`` carry its bytes in hex and ``error`` says why.
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Iterable
from typing import Any, BinaryIO

from .entry import Entry

COLUMNS = ("store_kind", "origin", "top_level_site", "database", "object_store", "index",
           "record_type", "key", "value", "state", "version_status", "seq", "file", "offset",
           "namespace", "storage_key", "store_path", "error", "raw_key", "raw_value", "details")
JSON_COLUMNS = ("key", "value", "details")
INT_COLUMNS = ("seq", "offset")
# Text view: values longer than this are shortened.
TEXT_VALUE_LIMIT = 160
# Cells a spreadsheet would run as formulas get a leading apostrophe.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r", "'")
PARQUET_BATCH = 10_000


def row(e: Entry) -> dict[str, Any]:
    failed = e.error is not None
    return {
        "store_kind": e.store_kind, "origin": e.origin, "top_level_site": e.top_level_site,
        "database": e.database, "object_store": e.object_store, "index": e.index,
        "record_type": e.record_type, "key": e.key, "value": e.value, "state": e.state,
        "version_status": e.version_status, "seq": e.seq, "file": e.file, "offset": e.offset,
        "namespace": e.namespace, "storage_key": e.storage_key, "store_path": e.store_path,
        "error": e.error,
        "raw_key": e.user_key.hex() if failed else None,
        "raw_value": e.raw_value.hex() if failed and e.raw_value else None,
        "details": e.details or None,
    }


def _json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def _text_stream(out: BinaryIO) -> io.TextIOWrapper:
    # A lone UTF-16 surrogate (JavaScript strings may hold one) is written as the
    # JSON escape \udXXX, which is exactly its JSON form.
    return io.TextIOWrapper(out, encoding="utf-8", errors="backslashreplace", newline="",
                            write_through=False)


def write_jsonl(entries: Iterable[Entry], out: BinaryIO) -> int:
    text = _text_stream(out)
    n = 0
    for e in entries:
        text.write(_json(row(e)) + "\n")
        n += 1
    text.flush()
    text.detach()
    return n


def _cell(value: Any, column: str) -> str:
    if value is None:
        return ""
    s = _json(value) if column in JSON_COLUMNS else str(value)
    return "'" + s if s.startswith(_FORMULA_STARTS) else s


def write_csv(entries: Iterable[Entry], out: BinaryIO) -> int:
    text = _text_stream(out)
    w = csv.writer(text, lineterminator="\n")
    w.writerow(COLUMNS)
    n = 0
    for e in entries:
        r = row(e)
        w.writerow([_cell(r[c], c) for c in COLUMNS])
        n += 1
    text.flush()
    text.detach()
    return n


def _short(s: str) -> str:
    s = s.replace("\n", "\\n").replace("\r", "\\r")
    return s if len(s) <= TEXT_VALUE_LIMIT else s[:TEXT_VALUE_LIMIT] + "…"


def write_text(entries: Iterable[Entry], out: BinaryIO) -> int:
    text = _text_stream(out)
    n = 0
    for e in entries:
        origin = f"{e.origin} in {e.top_level_site}" if e.top_level_site else e.origin
        where = " / ".join(p for p in (origin, e.database, e.object_store, e.index) if p)
        status = e.version_status or e.state
        value = f"ERROR {e.error}" if e.error else _short(_json(e.value))
        text.write(f"{e.store_kind:<14} {where} [{e.record_type}] {_short(_json(e.key))} = {value}"
                   f"  ({status}, seq {e.seq})\n")
        n += 1
    text.flush()
    text.detach()
    return n


def write_parquet(entries: Iterable[Entry], out: BinaryIO) -> int:
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    schema = pa.schema([(c, pa.uint64() if c in INT_COLUMNS else pa.string()) for c in COLUMNS])
    n = 0
    with pq.ParquetWriter(out, schema) as writer:
        batch: dict[str, list[Any]] = {c: [] for c in COLUMNS}
        for e in entries:
            r = row(e)
            for c in COLUMNS:
                v = r[c]
                if c in JSON_COLUMNS:
                    v = None if v is None else _json(v)
                elif v is not None and c not in INT_COLUMNS:
                    v = str(v)
                batch[c].append(v)
            n += 1
            if len(batch["seq"]) >= PARQUET_BATCH:
                writer.write_table(_table(pa, schema, batch))
                batch = {c: [] for c in COLUMNS}
        if batch["seq"] or n == 0:
            writer.write_table(_table(pa, schema, batch))
    return n


def _table(pa: Any, schema: Any, batch: dict[str, list[Any]]) -> Any:
    arrays = []
    for c in COLUMNS:
        values = batch[c]
        if c not in INT_COLUMNS:
            values = [v.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
                      if isinstance(v, str) else v for v in values]
        arrays.append(pa.array(values, type=schema.field(c).type))
    return pa.Table.from_arrays(arrays, schema=schema)


WRITERS = {"text": write_text, "jsonl": write_jsonl, "csv": write_csv, "parquet": write_parquet}
