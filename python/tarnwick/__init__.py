"""Raw, read-only access to LevelDB database directories.

The work is done by the ``_tarnwick`` extension module; this package re-exports
its classes and adds the ``tarnwick`` command line.
"""

from _tarnwick import FileType, KeyState, RawLevelDb, Record

from .scanning import (
    EntryReport,
    FileReport,
    ReadReport,
    ScanRecord,
    UnreadRange,
    inspect,
    records,
    scan,
    scan_text,
)

__all__ = [
    "KeyState",
    "FileType",
    "Record",
    "RawLevelDb",
    "scan",
    "scan_text",
    "records",
    "inspect",
    "ReadReport",
    "FileReport",
    "EntryReport",
    "UnreadRange",
    "ScanRecord",
]
