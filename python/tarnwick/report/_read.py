"""What the report learns from the scanner about one store.

``read_store`` is the one place where the report meets the scanner: it
returns the store's read report (every entry, its status, the byte ranges
from which nothing was decoded and why, each data file's records by state,
all counted by the scanner itself) in the shape the rest of this package
uses, ``StoreRead``.
"""

from __future__ import annotations

from dataclasses import dataclass

from ..scanning import ReadReport, inspect

# Records by state, in this order everywhere in the report.
STATES = ("Live", "Deleted", "Unknown")


@dataclass(frozen=True)
class StoreRead:
    report: ReadReport
    states_by_file: dict[str, dict[str, int]]  # data file path -> state name -> records


def read_store(directory: str) -> StoreRead:
    """The scanner's report of one read of the store, with its counts by
    state per data file (no record becomes a Python object)."""
    report = inspect(directory)
    counts = {f.path: {"Live": f.live, "Deleted": f.deleted, "Unknown": f.unknown}
              for f in report.files if f.records}
    return StoreRead(report, counts)
