"""Text made safe for one line of a line-oriented output (the text views,
``find``'s listing, warnings): whatever a name holds, one record stays one line;
and for a spreadsheet cell, which must never run as a formula.

Names in evidence are written by others (a web page names its databases and
keys; a folder may be named with a line break), so a name could otherwise end
a line early and forge the next one, or hide text with control and
bidirectional characters.
"""

from __future__ import annotations

import re

# What could break a line or hide text in a line-oriented report: C0 and C1 controls,
# line and paragraph separators, bidirectional marks and overrides, lone surrogates,
# and (outside JSON, to keep the escaping reversible) the backslash.
_LINE_UNSAFE = "\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028-\u202e\u2066-\u2069\ud800-\udfff"
_UNSAFE_IN_NAME = re.compile(f"[{_LINE_UNSAFE}\\\\]")
_UNSAFE_IN_JSON = re.compile(f"[{_LINE_UNSAFE}]")


def _escape_in_name(m: re.Match[str]) -> str:
    c = m.group()
    if c == "\\":
        return "\\\\"
    n = ord(c)
    return f"\\x{n:02x}" if n < 0x100 else f"\\u{n:04x}"


def _escape_in_json(m: re.Match[str]) -> str:
    return f"\\u{ord(m.group()):04x}"


def escape_line(text: str, *, json_text: bool = False) -> str:
    """``text`` made safe for one line of a report: nothing in it can end the line,
    move the cursor or reorder what follows. For JSON text (``json_text``) the
    escapes are JSON's own and backslashes stay as they are."""
    if json_text:
        return _UNSAFE_IN_JSON.sub(_escape_in_json, text)
    return _UNSAFE_IN_NAME.sub(_escape_in_name, text)


# Cells a spreadsheet would run as formulas (or reinterpret) start with one of
# these; such a cell gets a leading apostrophe, which spreadsheets hide.
_FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r", "'")


def spreadsheet_safe(cell: str) -> str:
    """``cell`` as a CSV cell that no spreadsheet takes for a formula."""
    return "'" + cell if cell.startswith(_FORMULA_STARTS) else cell
