"""The one place where the Chromium decoders get their LevelDB records.

The decoders need, per record: the user key, the value, the sequence number, the
state (live, deleted or unknown), the file it came from and the byte offset there.
The package's streaming ``tarnwick.records`` is used when it exists; otherwise the
extension's ``RawLevelDb.iterate_records_raw``. Everything else in this package sees
only ``RawRecord``.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass

_STATE_NAMES = {0: "deleted", 1: "live", 2: "unknown"}


@dataclass(frozen=True, slots=True)
class RawRecord:
    user_key: bytes
    value: bytes
    seq: int
    state: str  # "live", "deleted" or "unknown"
    file: str
    offset: int


def _state_name(state: object) -> str:
    name = getattr(state, "name", None)
    if isinstance(name, str):
        return name.lower()
    try:
        return _STATE_NAMES.get(int(state), "unknown")  # type: ignore[call-overload]
    except (TypeError, ValueError):
        text = str(state).rsplit(".", 1)[-1].lower()
        return text if text in ("live", "deleted") else "unknown"


def iter_records(store_dir: str | os.PathLike[str]) -> Iterator[RawRecord]:
    """Every record of every table and log file of one LevelDB directory."""
    path = os.fspath(store_dir)
    import tarnwick

    streaming = getattr(tarnwick, "records", None)
    if streaming is not None:
        for r in streaming(path):
            where = getattr(r, "file", None) or getattr(r, "origin_file", "")
            yield RawRecord(bytes(r.user_key), bytes(r.value), r.seq, _state_name(r.state),
                            str(where), r.offset)
        return
    from _tarnwick import RawLevelDb

    with RawLevelDb(path) as db:
        records = db.iterate_records_raw()
    for r in records:
        yield RawRecord(r.user_key, r.value, r.seq, _state_name(r.state), r.origin_file, r.offset)
