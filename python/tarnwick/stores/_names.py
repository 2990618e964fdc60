"""Which file names a LevelDB store directory holds, and in what order the reader takes them.

These rules mirror the reader's own, so that what ``find`` calls a data file is
exactly what the reader decodes, and a store split into pieces is read in the
same order as the whole.
"""

from __future__ import annotations

# A data file's name: a stem of 6 to 16 ASCII digits (the engine pads its file
# numbers with zeros to six digits and never more), a dot, and ``log``,
# ``ldb`` or ``sst`` in any case. Other names, such as ``000123 (1).ldb`` left
# by a copy, are not read.
DATA_FILE_MIN_DIGITS = 6
DATA_FILE_MAX_DIGITS = 16
DATA_FILE_EXTENSIONS = frozenset({"log", "ldb", "sst"})

# Files that make a directory a store even before it holds any data file: the
# pointer to the current manifest, and the manifests themselves.
CURRENT_FILE = "CURRENT"
MANIFEST_PREFIX = "MANIFEST-"


def _stem(name: str) -> str | None:
    """The digits of a data file's name, or None for any other name."""
    dot = name.rfind(".")
    if dot <= 0 or name[dot + 1 :].lower() not in DATA_FILE_EXTENSIONS:
        return None
    stem = name[:dot]
    if not (DATA_FILE_MIN_DIGITS <= len(stem) <= DATA_FILE_MAX_DIGITS):
        return None
    if not (stem.isascii() and stem.isdigit()):
        return None
    return stem


def is_data_file_name(name: str) -> bool:
    """True when the reader takes a file of this name as a table or log file.
    Names that are not valid UTF-8 (surrogate-escaped by ``os.scandir``) are
    never read."""
    if _stem(name) is None:
        return False
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def file_number(name: str) -> int:
    """The number in a data file's name as the reader orders by it: the digits
    read in base 16. For the engine's names (six digits with zero padding, or
    more digits without) that keeps the numeric order."""
    stem = _stem(name)
    return int(stem, 16) if stem is not None else 0


def reader_order(names: list[str]) -> list[str]:
    """Data file names in the reader's order: by number, equal numbers
    (``000005.ldb`` and ``000005.log``) by name."""
    return sorted(names, key=lambda name: (file_number(name), name))

