"""The decoded rows of one Chromium store that can date something, read from
the native row pipeline (``tarnwick.chromium.scan``) as JSON Lines.

Every version of every key is asked for, bookkeeping records included
(the Local Storage ``META:`` and ``METAACCESS:`` records are bookkeeping). A
version that sits in two files (a log and the table made from it) is one row,
that of the copy read first: its events are made once, not once per copy.
Most rows date nothing: an IndexedDB row without a tagged date or file in its
key or value, a Session Storage row, a Local Storage row whose commit time is
unknown. Those are passed over on their bytes, before any JSON is parsed, so
the pass costs little more than the native decoding itself. The byte tests
only ever let through too much: the row itself decides after parsing.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Iterator
from typing import Any

from .. import _store_vocabulary as kinds

# Byte marks of the rows that may date something. A tagged date is the
# object {"$date": ...}; a file's lastModified sits in {"$file": {...}} or
# {"$filelist": [...]}; a Local Storage data row carries its commit time in
# its details as "committed"; META rows are bookkeeping named by their type.
_IDB_MARKS = re.compile(rb'"\$date"|"\$file')
_LOCAL_STORAGE_MARKS = re.compile(rb'"committed"|"record_type":"meta')
# Chunks of rows smaller than the scan's default: most rows are passed over,
# and a chunk is held twice while it is split into lines.
CHUNK_ROWS = 2_000
CHUNK_BYTES = 1 << 20


def store_rows(directory: str, kind: str) -> Iterator[tuple[dict[str, Any], int]]:
    """(row, size of its JSON text) of every row of the store at ``directory``
    that may date something, in reading order. Raises RuntimeError when the
    native pass could not read the store."""
    from ..chromium.scan import ChromiumScan, store_sources

    marks = _IDB_MARKS if kind == kinds.INDEXEDDB else _LOCAL_STORAGE_MARKS if kind == kinds.LOCAL_STORAGE else None
    if marks is None:
        return
    with ChromiumScan(store_sources([(kind, directory)]), history=True, all_records=True,
                     batch_rows=CHUNK_ROWS, batch_bytes=CHUNK_BYTES) as rows:
        rest = b""
        for chunk in rows.jsonl():
            if rest:
                chunk, rest = rest + chunk, b""
            complete = chunk.rfind(b"\n") + 1
            rest = chunk[complete:]
            for line in marked_lines(marks, chunk, complete):
                yield loads(line.decode("utf-8")), len(line)
        failures = rows.failures
    if failures:
        raise RuntimeError(failures[0][1])


def marked_lines(marks: re.Pattern[bytes], text: bytes, end: int) -> Iterator[bytes]:
    """The lines of ``text[:end]`` (lines, each ending in a line break) in which ``marks`` matches,
    found by searching the text rather than testing every line: in most
    stores few rows date anything."""
    at = 0
    while True:
        found = marks.search(text, at, end)
        if found is None:
            return
        start = text.rfind(b"\n", 0, found.start()) + 1
        stop = text.find(b"\n", found.end(), end)  # JSON text holds no raw line break
        yield text[start:stop]
        at = stop + 1


def loads(text: str) -> Any:
    """JSON text as Python values. ``json.loads`` recurses once per level of
    nesting and gives up at the interpreter's recursion limit, while a stored
    value may nest ten thousand levels deep: such a text is parsed again by
    ``loads_flat``, which does not recurse."""
    try:
        return json.loads(text)
    except RecursionError:
        return loads_flat(text)


# The standard library's reader of a JSON string from just after its opening
# quote: (the text, where it ends). Its stubs do not declare it.
scanstring: Callable[[str, int], tuple[str, int]] = json.decoder.scanstring  # type: ignore[attr-defined]
_SPACE = re.compile(r"[ \t\n\r]*")
# A number, true, false or null: the values that are neither strings nor containers.
_SCALAR = re.compile(r"(-?(?:0|[1-9]\d*))(\.\d+)?([eE][-+]?\d+)?|true|false|null")
_LITERALS = {"true": True, "false": False, "null": None}


def _skip(text: str, at: int) -> int:
    return _SPACE.match(text, at).end()  # type: ignore[union-attr]


def loads_flat(text: str) -> Any:
    """JSON text parsed with an explicit stack of the open arrays and objects,
    giving what ``json.loads`` gives (the same numbers, strings and key order).
    ValueError for text that is not JSON."""
    # Each open container, and for an object the key its next value goes under.
    stack: list[list[Any]] = []
    at = _skip(text, 0)
    while True:
        char = text[at:at + 1]
        value: Any
        if char and char in "{[":
            at = _skip(text, at + 1)
            if text[at:at + 1] == ("}" if char == "{" else "]"):
                value, at = ({} if char == "{" else []), at + 1
            else:
                key = None
                if char == "{":
                    key, at = _key(text, at)
                stack.append([{} if char == "{" else [], key])
                continue
        elif char == '"':
            value, at = scanstring(text, at + 1)
        else:
            value, at = _scalar(text, at)
        # A complete value: into the innermost open container, then close
        # every container that it completes.
        while True:
            if not stack:
                if _skip(text, at) != len(text):
                    raise ValueError(f"not JSON at character {at}: text after the value")
                return value
            top = stack[-1]
            container = top[0]
            if isinstance(container, dict):
                container[top[1]] = value
            else:
                container.append(value)
            at = _skip(text, at)
            char = text[at:at + 1]
            if char == ",":
                at = _skip(text, at + 1)
                if isinstance(container, dict):
                    top[1], at = _key(text, at)
                break
            if char != ("}" if isinstance(container, dict) else "]"):
                raise ValueError(f"not JSON at character {at}")
            value, at = stack.pop()[0], at + 1


def _key(text: str, at: int) -> tuple[str, int]:
    """An object's key that starts at ``at``, and where its value starts."""
    if text[at:at + 1] != '"':
        raise ValueError(f"not JSON at character {at}: a key must be a string")
    key, at = scanstring(text, at + 1)
    at = _skip(text, at)
    if text[at:at + 1] != ":":
        raise ValueError(f"not JSON at character {at}: ':' expected")
    return key, _skip(text, at + 1)


def _scalar(text: str, at: int) -> tuple[Any, int]:
    found = _SCALAR.match(text, at)
    if found is None:
        raise ValueError(f"not JSON at character {at}")
    if found.group(1) is None:
        return _LITERALS[found.group(0)], found.end()
    number = found.group(0)
    return (float(number) if found.group(2) or found.group(3) else int(number)), found.end()
