"""JSON text of decoded values, written without recursion.

Decoded keys and values may nest as deep as the browser lets a page write them
(array keys 2,000 levels, values about 3,600), deeper than ``json.dumps`` can go
before Python's recursion limit. This encoder keeps its own stack. Its text is that
of ``json.dumps(value, ensure_ascii=False, separators=(",", ":"))`` except that
lone UTF-16 surrogates (JavaScript strings may hold them) are written as their JSON
escape ``\\udXXX``: the text is valid UTF-8 and reads back to the same string.
"""

from __future__ import annotations

import re
from json.encoder import encode_basestring  # type: ignore[attr-defined,unused-ignore]
from typing import Any

from ._tagged import int_text

_SURROGATE = re.compile("[\ud800-\udfff]")


def _escape_surrogate(m: re.Match[str]) -> str:
    return f"\\u{ord(m.group()):04x}"


def string(s: str) -> str:
    """A JSON string literal; lone surrogates escaped."""
    text: str = encode_basestring(s)
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            text = _SURROGATE.sub(_escape_surrogate, text)
    return text


def _key(k: object) -> str:
    if isinstance(k, str):
        return k
    if k is None or isinstance(k, bool):
        return {None: "null", True: "true", False: "false"}[k]
    if isinstance(k, (int, float)):
        return dumps(k)
    raise TypeError(f"keys must be str, int, float, bool or None, not {type(k).__name__}")


def _scalar(v: object) -> str:
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, int):
        return int_text(v)
    if isinstance(v, float):
        return float.__repr__(v)
    raise TypeError(f"Object of type {type(v).__name__} is not JSON serializable")


_END = object()
CHUNK_PARTS = 8192


def dumps(value: Any) -> str:
    """``value`` as compact JSON text, however deeply it nests."""
    out: list[str] = []
    append = out.append
    # Parts are joined every CHUNK_PARTS, so a value of millions of small items does
    # not also hold millions of small strings at once.
    chunks: list[str] = []
    # Open containers: [iterator, is_dict, first element still to come].
    stack: list[list[Any]] = []
    open_ids: set[int] = set()
    v = value
    while True:
        if isinstance(v, str):
            append(string(v))
        elif isinstance(v, dict):
            if v:
                if id(v) in open_ids:
                    raise ValueError("Circular reference detected")
                open_ids.add(id(v))
                append("{")
                stack.append([iter(v.items()), True, True, id(v)])
            else:
                append("{}")
        elif isinstance(v, (list, tuple)):
            if v:
                if id(v) in open_ids:
                    raise ValueError("Circular reference detected")
                open_ids.add(id(v))
                append("[")
                stack.append([iter(v), False, True, id(v)])
            else:
                append("[]")
        else:
            append(_scalar(v))
        if len(out) >= CHUNK_PARTS:
            chunks.append("".join(out))
            out.clear()
        while stack:
            frame = stack[-1]
            item: Any = next(frame[0], _END)
            if item is _END:
                append("}" if frame[1] else "]")
                open_ids.discard(frame[3])
                stack.pop()
                continue
            if frame[2]:
                frame[2] = False
            else:
                append(",")
            if frame[1]:
                k, v = item
                append(string(_key(k)))
                append(":")
            else:
                v = item
            break
        else:
            chunks.append("".join(out))
            return "".join(chunks)
