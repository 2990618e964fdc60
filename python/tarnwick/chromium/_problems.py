"""What ``tarnwick chromium`` could not read or decode, said out loud.

Nothing is dropped silently: every folder that could not be listed, every store
that could not be opened, every file the reader left out or could only partly
decode, every blob file not read, and the number of records that could not be
decoded become a warning on standard error as they are met, and are summed up in
one closing line. With ``--strict`` any of them makes the exit status 1.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from .._cli_errors import reason, warn
from .entry import Entry
from .._line_escape import escape_line


class Problems:
    def __init__(self) -> None:
        self.folders = 0  # folders that could not be listed
        self.stores = 0  # stores that could not be read at all
        self.files = 0  # data files left out or only partly decoded, blob files not read
        self.records = 0  # records that could not be decoded (wholly or in part)
        self.sqlite_stores: list[str] = []  # IndexedDB databases of the SQLite backend, not decoded
        self.reports: list[Any] = []  # the reader's report of every store read

    def warn(self, text: str) -> None:
        warn(escape_line(text))

    def folder_not_listed(self, path: str, error: OSError) -> None:
        self.folders += 1
        self.warn(f"cannot list {path!r}: {reason(error)}; stores in it are not read")

    def store_not_read(self, store: str, error: BaseException) -> None:
        self.stores += 1
        self.warn(f"skipped store {store!r}: {error}")

    def sqlite_store(self, path: str) -> None:
        """An IndexedDB database kept in SQLite: recognised, not decoded."""
        self.sqlite_stores.append(path)
        self.warn(f"IndexedDB store in the SQLite backend, not decoded: {path!r}")

    def read_report(self, report: Any) -> None:
        """What the LevelDB reader says it left out or could not decode."""
        self.reports.append(report)
        for f in report.files:
            if f.status == "left_out":
                self.files += 1
                self.warn(f"left out {f.path!r}: {f.reason}")
            elif f.status == "salvaged":
                self.files += 1
                self.warn(f"salvaged {f.path!r}: records of {len(f.carved)} block(s) found by their checksums ({f.reason})")
            elif f.unread:
                self.files += 1
                lost = sum(r.end - r.begin for r in f.unread)
                self.warn(f"{f.path!r}: {lost} bytes in {len(f.unread)} ranges could not be decoded")
        for other in report.others:
            if other.status == "not_admitted":
                self.files += 1
                self.warn(f"not read {other.path!r}: {other.reason}")

    def entries(self, store: str, decoded: Iterable[Entry]) -> None:
        """Records of one store that could not be decoded, and blob files not read."""
        failed = 0
        for e in decoded:
            if e.error is not None:
                failed += 1
            for unread in e.details.get("unread_files", ()):
                self.blob_not_read(unread)
        self.failed_rows(store, failed)

    def failed_rows(self, store: str, failed: int) -> None:
        """Rows of one store whose record could not be decoded."""
        if failed:
            self.records += failed
            self.warn(f"{failed} records of {store!r} could not be decoded (error rows keep their raw bytes)")

    def blob_not_read(self, unread: dict[str, Any]) -> None:
        """A blob file a row's details say was not read."""
        self.files += 1
        self.warn(f"blob file {unread['file']!r} not read: {unread['reason']}")

    def any(self) -> bool:
        return bool(self.folders or self.stores or self.files or self.records or self.sqlite_stores)

    def left_out(self) -> dict[str, int]:
        """What was not read or decoded, by noun, for the closing line."""
        return {"undecoded record": self.records, "file": self.files, "store": self.stores,
                "SQLite IndexedDB store": len(self.sqlite_stores), "unlisted folder": self.folders}
