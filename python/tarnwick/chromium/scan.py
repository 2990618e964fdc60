"""The decoded rows of Chromium stores, made natively and streamed.

    from tarnwick import chromium

    rows = chromium.scan("~/.config/google-chrome/Default")     # a profile, app-data folder or one store
    table = pyarrow.table(rows)                                 # or polars.from_arrow, duckdb, ...

    for chunk in chromium.scan(profile, history=True).jsonl():  # JSON Lines, bytes chunks
        out.write(chunk)

``scan(path, *, kinds=None, history=False, salvage=True, origin=None, key=None,
all_records=False)`` finds the stores under ``path`` (as ``find_stores`` does;
``kinds`` keeps only some of ``localstorage``, ``sessionstorage``, ``indexeddb``) and
returns a ``ChromiumScan``. Its rows are those of ``tarnwick chromium``: one per
key (its newest version; a deleted key's row is the deletion, with the last value
the files hold), or with ``history`` every version, labelled. Only the page's own
data unless ``all_records``; ``origin`` keeps rows whose origin contains the text,
``key`` rows whose decoded key is that string or that JSON text. A record filtered
out is not decoded.

Each reading of a ``ChromiumScan`` is a fresh pass over its stores, either as Arrow (``__arrow_c_stream__``: columns
store_kind, origin, top_level_site, database, object_store, index, record_type,
key, key_type, value, value_type, state, version_status, seq, file, offset,
namespace, storage_key, store_path, error, raw_key, raw_value, details; key, value
and details are JSON text of the ``arrow.json`` extension type, raw_key and
raw_value binary, set only where decoding failed) or as JSON Lines (``jsonl()``,
one object per row, raw bytes in hex). Rows come store by store, in file order.
``reports`` tells, for every store finished so far, what the reader could not
read (a ``ReadReport``), ``failures`` the stores that could not be read at all, and
``unlisted`` the folders below the path that could not be listed.
Stores are read twice (the first pass learns names and the history of every key)
and decoded while the consumer writes; memory stays bounded whatever their size.
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Collection, Iterator
from typing import Any

from .. import _scan
from .. import _store_vocabulary as vocabulary
from . import _json
from .discover import KIND_SAMPLE, find_stores, kind_from_path, kind_from_records
from .entry import INDEXED_DB

__all__ = ["ChromiumScan", "scan", "store_sources", "key_texts"]

BATCH_ROWS = 10_000
BATCH_BYTES = 16 << 20


def _blob_folder(store: str, kind: str) -> str | None:
    if kind != INDEXED_DB:
        return None
    from .indexeddb import blob_dir_for

    return blob_dir_for(store)


def _kind_of(store: str) -> str | None:
    """The store's kind from its place, or else from its first keys."""
    kind = kind_from_path(store)
    if kind is not None:
        return kind
    from ._records import iter_records

    try:
        sample = list(itertools.islice(iter_records(store), KIND_SAMPLE))
    except (OSError, ValueError):
        return None
    return kind_from_records(sample)


def store_sources(stores: list[tuple[str | None, str]]) -> list[tuple[str, str, str | None, str | None]]:
    """(path, kind, folder_origin, blob_folder) of each (kind or None, path): the
    path rules stay here, in Python, where ``find_stores`` applies them. A store
    whose kind neither its place nor its keys tell is left out."""
    out = []
    for kind, store in stores:
        kind = kind or _kind_of(store)
        if kind is None:
            continue
        origin = vocabulary.recognise(vocabulary.path_parts(store)).origin if kind == INDEXED_DB else None
        out.append((store, kind, origin, _blob_folder(store, kind)))
    return out


def key_texts(key: str | None) -> list[str] | None:
    """The JSON texts a key filter accepts: the key as a string, and the text
    itself as JSON (written as the decoders write it: no spaces after commas).
    A text holding a lone surrogate (a key given with bytes that are not
    UTF-8) is only the string: the decoders write JSON text as UTF-8."""
    if key is None:
        return None
    texts = [_json.string(key)]
    raw = key.replace(", ", ",")
    try:
        raw.encode("utf-8")
    except UnicodeEncodeError:
        return texts
    return [*texts, raw]


class ChromiumScan:
    """The decoded rows of some stores (see the module's documentation)."""

    def __init__(self, sources: list[tuple[str, str, str | None, str | None]], *, history: bool = False,
                 salvage: bool = True, origin: str | None = None, key: str | None = None,
                 all_records: bool = False, batch_rows: int = BATCH_ROWS, batch_bytes: int = BATCH_BYTES) -> None:
        self.sources = sources
        # (folder, reason) of every folder below the path that could not be
        # listed, so that stores in it could not be found (set by ``scan``).
        self.unlisted: list[tuple[str, str]] = []
        self._arguments = (sources, history, salvage, origin, key_texts(key), all_records, batch_rows, batch_bytes)
        self._native = _scan.ChromiumScan(*self._arguments)
        self._taken = False

    def __arrow_c_schema__(self) -> Any:
        return _scan.chromium_schema_capsule()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        # Each consumer that asks for the stream (DuckDB asks once for the
        # schema, then again for the rows) gets a fresh pass over the stores;
        # reports and failures are those of the latest pass.
        return self._fresh().stream_capsule()

    def _fresh(self) -> Any:
        if self._taken:
            self._native = _scan.ChromiumScan(*self._arguments)
        self._taken = True
        return self._native

    def jsonl(self) -> Iterator[bytes]:
        """The rows as JSON Lines, in chunks of bytes."""
        return iter(self._fresh())

    def _outcomes(self, start: int = 0) -> list[dict[str, Any]]:
        """The stores finished so far, from the ``start``-th on."""
        return list(self._native.outcomes(start))

    @property
    def reports(self) -> list[Any]:
        """The ``ReadReport`` of every store finished so far."""
        from ..scanning import ReadReport

        return [ReadReport.from_dict(o["report"]) for o in self._outcomes() if o["report"] is not None]

    @property
    def failures(self) -> list[tuple[str, str]]:
        """(path, reason) of every store that could not be read at all."""
        return [(o["path"], o["failure"]) for o in self._outcomes() if o["report"] is None]

    def close(self) -> None:
        self._native.cancel()

    def __enter__(self) -> ChromiumScan:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


def scan(path: str | os.PathLike[str], *, kinds: Collection[str] | None = None, history: bool = False,
         salvage: bool = True, origin: str | None = None, key: str | None = None,
         all_records: bool = False) -> ChromiumScan:
    """The decoded rows of the stores under ``path`` (see the module's documentation).
    ValueError for a path that is not a folder or a kind that is none of the
    three; folders below it that cannot be listed are in ``unlisted``."""
    root = os.fspath(path)
    if not os.path.isdir(root):
        raise ValueError(f"Not a directory: {root}")
    unknown = sorted(set(kinds or ()) - set(vocabulary.CHROMIUM_KINDS))
    if unknown:
        raise ValueError(f"unknown kind {unknown[0]!r} (expected one of {', '.join(vocabulary.CHROMIUM_KINDS)})")
    unlisted: list[tuple[str, str]] = []
    stores = [(k, s) for k, s in find_stores(root, on_error=lambda folder, error: unlisted.append(
        (folder, error.strerror or str(error)))) if not kinds or k is None or k in kinds]
    sources = [s for s in store_sources(stores) if not kinds or s[1] in kinds]
    rows = ChromiumScan(sources, history=history, salvage=salvage, origin=origin, key=key, all_records=all_records)
    rows.unlisted = unlisted
    return rows
