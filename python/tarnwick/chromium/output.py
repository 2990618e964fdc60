r"""Decoded entries as rows, and the writers of ``tarnwick chromium``: text, JSON Lines,
CSV and Parquet.

The command's rows are made natively (``tarnwick.chromium.scan``): JSON Lines are
written as the native text, Parquet from the Arrow batches, CSV and text from the
batches' rows (``rows_of_batch``) through the cell and line rules below. ``row`` gives
the same row for a Python ``Entry``, the form the native rows are tested against.

Keys, values and details are JSON text in the CSV, text and Parquet forms (JSON Lines
embeds them as JSON). Where a key or value could not be decoded, ``raw_key`` and
``raw_value`` carry its bytes in hex and ``error`` says why.

Every form is lossless and line-safe, whatever a page named its data:

* JSON text is written by ``_json.dumps`` (no recursion limit; lone surrogates as
  ``\udXXX``), so it is valid UTF-8 and reads back to the same strings.
* In CSV and Parquet, a name cell that holds a lone surrogate, or that starts with a
  double quote, is written as a JSON string literal (``name_cell``): two different
  names never look equal, and a cell starting with ``"`` is always such a literal.
* In the text form every field is escaped by ``escape_line``: backslash, control,
  line and paragraph separators, bidirectional overrides and lone surrogates become
  ``\\``, ``\xNN`` or ``\uXXXX``, so one record is one line.
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Callable, Iterable
from typing import Any, BinaryIO

from .._line_escape import escape_line, spreadsheet_safe
from . import _json
from .entry import Entry

COLUMNS = ("store_kind", "origin", "top_level_site", "database", "object_store", "index",
           "record_type", "key", "key_type", "value", "value_type", "state", "version_status", "seq", "file", "offset",
           "namespace", "storage_key", "store_path", "error", "raw_key", "raw_value", "details")
JSON_COLUMNS = ("key", "value", "details")
INT_COLUMNS = ("seq", "offset")
# Text view: values longer than this are shortened.
TEXT_VALUE_LIMIT = 160


def row(e: Entry) -> dict[str, Any]:
    failed = e.error is not None
    return {
        "store_kind": e.store_kind, "origin": e.origin, "top_level_site": e.top_level_site,
        "database": e.database, "object_store": e.object_store, "index": e.index,
        "record_type": e.record_type, "key": e.key, "key_type": None if failed and e.key is None else js_type(e.key),
        "value": e.value, "value_type": None if failed else js_type(e.value),
        "state": e.state,
        "version_status": e.version_status, "seq": e.seq, "file": e.file, "offset": e.offset,
        "namespace": e.namespace, "storage_key": e.storage_key, "store_path": e.store_path,
        "error": e.error,
        "raw_key": e.user_key.hex() if failed else None,
        "raw_value": e.raw_value.hex() if failed and e.raw_value else None,
        "details": e.details or None,
    }




def rows_of_batch(batch: Any) -> list[dict[str, Any]]:
    """The rows of one Arrow batch of the native rows (``tarnwick.chromium.scan``)
    in the form ``row`` gives: key, value and details as JSON (a string as itself,
    anything else kept as ``JsonText``, never parsed, so no depth limit applies),
    raw bytes in hex, name cells read back to the names."""
    rows: list[dict[str, Any]] = batch.to_pylist()
    for r in rows:
        for c in JSON_COLUMNS:
            v = r[c]
            if v is not None:
                r[c] = json.loads(v) if v.startswith('"') else JsonText(v)
        for c in ("raw_key", "raw_value"):
            if r[c] is not None:
                r[c] = r[c].hex()
        for c, v in r.items():
            if c not in JSON_COLUMNS and isinstance(v, str) and v.startswith('"'):
                r[c] = json.loads(v)
    return rows


class JsonText(str):
    """JSON text of a decoded key, value or details, written as it is."""


def _json_text(value: Any) -> str:
    return str.__str__(value) if isinstance(value, JsonText) else _json.dumps(value)


def js_type(value: Any) -> str:
    """The JavaScript type of a decoded key or value, as the tagged form tells
    it: string, number, boolean, null, array, object, or the tag of a value JSON
    cannot hold (date, bigint, undefined, map, arraybuffer, ...). With it, a
    CSV cell can hold a string as plain text and still not be confused with
    the number or date of the same text."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, (int, float)):
        return "number"
    if isinstance(value, str):
        return "string"
    if isinstance(value, list):
        return "array"
    if isinstance(value, dict):
        for name in value:
            if isinstance(name, str) and name.startswith("$"):
                return name[1:]
            break
        return "object"
    return type(value).__name__

def _has_surrogate(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return True
    return False


def name_cell(text: str) -> str:
    """A name as a CSV or Parquet cell, losslessly: as it is, or as a JSON string
    literal when it holds a lone surrogate or itself starts with a double quote."""
    if text.startswith('"') or (not text.isascii() and _has_surrogate(text)):
        return _json.string(text)
    return text


def _text_stream(out: BinaryIO) -> io.TextIOWrapper:
    # Every string written is escaped to valid Unicode by now; should one not be, its
    # stray surrogate is written as \udXXX rather than end the whole output.
    # Written through to `out`, so that flushing `out` sends every row written
    # so far (the command line flushes after each batch).
    return io.TextIOWrapper(out, encoding="utf-8", errors="backslashreplace", newline="",
                            write_through=True)


def failed_row(r: dict[str, Any], error: BaseException) -> dict[str, Any]:
    """A row whose decoded key or value could not be written: an error row with
    its raw bytes, so the rest of the output goes on."""
    r = dict(r, key=None, value=None, details=None, key_type=None, value_type=None)
    r["error"] = f"{r['error'] + '; ' if r['error'] else ''}not written: {type(error).__name__}: {error}"
    return r


def _encoded_rows(rows: Iterable[dict[str, Any]], encode: Any) -> Iterable[Any]:
    """Each row through ``encode``; a row that cannot be encoded becomes its
    error row instead, so one record's failure costs only that record."""
    for r in rows:
        try:
            yield encode(r)
        except Exception as error:  # noqa: BLE001 - any failure stays with its record
            yield encode(failed_row(r, error))


def write_jsonl(rows: Iterable[dict[str, Any]], out: BinaryIO) -> int:
    text = _text_stream(out)
    n = 0
    for line in _encoded_rows(rows, lambda r: _json_text_row(r) + "\n"):
        text.write(line)
        n += 1
    text.flush()
    text.detach()
    return n


def _json_text_row(r: dict[str, Any]) -> str:
    return "{" + ",".join(f"{_json.string(c)}:{_json_text(r[c])}" for c in COLUMNS) + "}"


def _cell(value: Any, column: str) -> str:
    """A CSV cell a spreadsheet shows as plain text: a string key or value as
    its text (``key_type``/``value_type`` say it was a string), anything else
    as JSON; never taken for a formula."""
    if value is None:
        return ""
    if column in JSON_COLUMNS and (isinstance(value, JsonText) or not isinstance(value, str)):
        s = _json_text(value)
    else:
        s = name_cell(str(value))
    return spreadsheet_safe(s)


def write_csv(rows: Iterable[dict[str, Any]], out: BinaryIO) -> int:
    text = _text_stream(out)
    w = csv.writer(text, lineterminator="\n")
    w.writerow(COLUMNS)
    n = 0
    for cells in _encoded_rows(rows, lambda r: [_cell(r[c], c) for c in COLUMNS]):
        w.writerow(cells)
        n += 1
    text.flush()
    text.detach()
    return n


def _short(s: str) -> str:
    return s if len(s) <= TEXT_VALUE_LIMIT else s[:TEXT_VALUE_LIMIT] + "…"


def _text_line(r: dict[str, Any]) -> str:
    origin = f"{r['origin']} in {r['top_level_site']}" if r["top_level_site"] else r["origin"]
    where = " / ".join(escape_line(str(p)) for p in (origin, r["database"], r["object_store"], r["index"])
                       if p)
    status = escape_line(str(r["version_status"] or r["state"]))
    if r["error"]:
        value = "ERROR " + escape_line(str(r["error"]))
    else:
        value = _short(escape_line(_json_text(r["value"]), json_text=True))
    key = _short(escape_line(_json_text(r["key"]), json_text=True))
    return (f"{escape_line(str(r['store_kind'])):<14} {where} [{escape_line(str(r['record_type']))}] "
            f"{key} = {value}  ({status}, seq {r['seq']})\n")


def write_text(rows: Iterable[dict[str, Any]], out: BinaryIO) -> int:
    text = _text_stream(out)
    n = 0
    for line in _encoded_rows(rows, _text_line):
        text.write(line)
        n += 1
    text.flush()
    text.detach()
    return n


def parquet_schema(pa: Any) -> Any:
    """The Parquet form's columns: key, value and details JSON text (of the Arrow
    JSON type where pyarrow has it), seq and offset uint64, everything else text
    (raw bytes in hex, as in every other form)."""
    from .._provenance import json_column_type

    def column_type(c: str) -> Any:
        return pa.uint64() if c in INT_COLUMNS else json_column_type(pa) if c in JSON_COLUMNS else pa.string()

    return pa.schema([(c, column_type(c)) for c in COLUMNS])


def parquet_batch(pa: Any, schema: Any, batch: Any) -> Any:
    """One batch of the native rows in the Parquet form's columns."""
    arrays = []
    for c in COLUMNS:
        column = batch.column(c)
        target = schema.field(c).type
        if c in ("raw_key", "raw_value"):
            arrays.append(pa.array([None if v is None else v.hex() for v in column.to_pylist()], type=pa.string()))
            continue
        if isinstance(column.type, pa.BaseExtensionType):
            column = column.storage
        if isinstance(target, pa.BaseExtensionType):
            arrays.append(pa.ExtensionArray.from_storage(target, column.cast(target.storage_type)))
        else:
            arrays.append(column.cast(target))
    return pa.RecordBatch.from_arrays(arrays, schema=schema)


def write_parquet(batches: Iterable[Any], out: BinaryIO,
                  metadata: Callable[[], dict[bytes, bytes]] | None = None) -> int:
    """Arrow batches of the native rows as Parquet. ``metadata`` gives the file's
    key-value metadata (where it came from), asked for after the last row."""
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    schema = parquet_schema(pa)
    n = 0
    with pq.ParquetWriter(out, schema) as writer:
        for batch in batches:
            writer.write_batch(parquet_batch(pa, schema, batch))
            n += batch.num_rows
        if n == 0:
            writer.write_table(schema.empty_table())
        if metadata is not None:
            writer.add_key_value_metadata(metadata())
    return n


def _rows(batches: Iterable[Any]) -> Iterable[dict[str, Any]]:
    for batch in batches:
        yield from rows_of_batch(batch)


# The writers of Arrow batches of native rows: Parquet takes them as they are,
# the others through the row form.
WRITERS: dict[str, Callable[..., int]] = {
    "text": lambda batches, out: write_text(_rows(batches), out),
    "csv": lambda batches, out: write_csv(_rows(batches), out),
    "parquet": write_parquet,
}
