"""What the report learns from the scanner about one store.

``read_store`` is the one place where the report meets the scanner: it
returns the store's read report (every entry, its status, the byte ranges
from which nothing was decoded and why) together with each data file's
records counted by state. Everything else in this package sees only
``StoreRead``.
"""

from __future__ import annotations

from dataclasses import dataclass

from .._names import KEY_STATE_NAMES
from ..scanning import ReadReport, records

# Records by state, in this order everywhere in the report.
STATES = ("Live", "Deleted", "Unknown")


@dataclass(frozen=True)
class StoreRead:
    report: ReadReport
    states_by_file: dict[str, dict[str, int]]  # data file path -> state name -> records


def read_store(directory: str) -> StoreRead:
    """One pass over the store's records, counting them by state per file,
    and the scanner's report of that pass."""
    counts: dict[str, dict[str, int]] = {}
    names = KEY_STATE_NAMES
    with records(directory) as source:
        last_path: str | None = None
        slots: dict[str, int] = {}
        for r in source:
            if r.origin_file != last_path:
                last_path = r.origin_file
                slots = counts.setdefault(last_path, dict.fromkeys(STATES, 0))
            slots[names[int(r.state)]] += 1
        report = source.report
    return StoreRead(report, counts)
