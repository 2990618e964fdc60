"""The members of KeyState and FileType and their names, in the order of their
values: the one table that the scanner's filters, its records, the command line
and the Chromium decoders share.

A KeyState's value is its index here (Deleted 0, Live 1, Unknown 2); a
FileType's value is its index plus one (Ldb 1, Log 2). The members are
unhashable by design, so lookups go by index, never by a dict keyed on members.
"""

from __future__ import annotations

from _tarnwick import FileType, KeyState

KEY_STATES = (KeyState.Deleted, KeyState.Live, KeyState.Unknown)
KEY_STATE_NAMES = ("Deleted", "Live", "Unknown")
FILE_TYPES = (FileType.Ldb, FileType.Log)
FILE_TYPE_NAMES = ("Ldb", "Log")


def key_state_name(state: object) -> str:
    """The name of a KeyState (or of its value); anything else is Unknown."""
    try:
        index = int(state)  # type: ignore[call-overload]
    except (TypeError, ValueError):
        return "Unknown"
    return KEY_STATE_NAMES[index] if 0 <= index < len(KEY_STATE_NAMES) else "Unknown"
