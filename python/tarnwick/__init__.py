"""Raw, read-only access to LevelDB database directories.

The work is done by the ``_tarnwick`` extension module; this package re-exports
its classes and adds the ``tarnwick`` command line.
"""

from _tarnwick import FileType, KeyState, RawLevelDb, Record

# The scanner's extension module, tarnwick._scan, may be installed in another
# copy of this package's directory than the Python files (a sanitizer build
# installs only the compiled modules, and puts them first on the path): look
# for the package's modules in every such directory.
__path__ = __import__("pkgutil").extend_path(__path__, __name__)

from .scanning import (
    EntryReport,
    FileReport,
    ManifestReport,
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
    "ManifestReport",
    "UnreadRange",
    "ScanRecord",
]
