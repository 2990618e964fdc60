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
from typing import Any, NamedTuple

from .._names import KEY_STATE_NAMES, key_state_name



class RawRecord(NamedTuple):
    user_key: bytes
    value: bytes
    seq: int
    state: str  # "live", "deleted" or "unknown"
    file: str
    offset: int


def _state_name(state: object) -> str:
    """KeyState as the decoders write it: its name in lower case."""
    return key_state_name(state).lower()


def iter_records(store_dir: str | os.PathLike[str], reports: list[Any] | None = None, *,
                 salvage: bool = True) -> Iterator[RawRecord]:
    """Every record of every table and log file of one LevelDB directory (with
    ``salvage``, also those of tables whose footer or index is lost, found by
    their blocks' checksums). Once all are read, the reader's account of what it
    could not read (a ``ReadReport``: files left out or salvaged, byte ranges not
    decoded) is appended to ``reports``."""
    path = os.fspath(store_dir)
    import tarnwick

    streaming = getattr(tarnwick, "records", None)
    if streaming is not None:
        make, names = RawRecord, [name.lower() for name in KEY_STATE_NAMES]
        scan = streaming(path, salvage=salvage)
        for r in scan:
            yield make(r.user_key, r.value, r.seq, names[int(r.state)], r.origin_file, r.offset)
        if reports is not None:
            reports.append(scan.report)
        return
    from _tarnwick import RawLevelDb

    with RawLevelDb(path) as db:
        records = db.iterate_records_raw()
    for r in records:
        yield RawRecord(r.user_key, r.value, r.seq, _state_name(r.state), r.origin_file, r.offset)
