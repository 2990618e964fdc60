"""The history of every key: all the versions the files hold, labelled.

A logical key is one exact user key of one store (Chromium writes each key in one
canonical byte form). Its versions are ordered by sequence number and labelled:

  current               the newest version, a live value
  deleted               a deletion marker
  last_before_deletion  a value directly followed by a deletion marker: what was deleted
  superseded            a value a later value replaced

Records of unknown state are labelled ``unknown`` and do not break the chain. A record
that sits in two files (a log and the table made from it) appears once: the engine
gives every write a sequence number of its own, so a second record of a key with the
same sequence number and state is a copy of the first, whatever its value says (only
damage or a crafted file makes the two differ), and the first one read is kept.
"""

from __future__ import annotations

from collections.abc import Iterable

from .entry import Entry

CURRENT, DELETED, LAST_BEFORE_DELETION, SUPERSEDED, UNKNOWN = (
    "current", "deleted", "last_before_deletion", "superseded", "unknown")


def group_versions(entries: Iterable[Entry]) -> dict[tuple[str, bytes], list[Entry]]:
    """Logical key -> its versions by sequence number, each labelled."""
    groups: dict[tuple[str, bytes], list[Entry]] = {}
    for e in entries:
        groups.setdefault(e.logical_key, []).append(e)
    for key, versions in groups.items():
        if len(versions) == 1:
            e = versions[0]
            e.version_status = {"live": CURRENT, "deleted": DELETED}.get(e.state, UNKNOWN)
            continue
        versions.sort(key=lambda e: (e.seq, e.state != "deleted"))
        unique: list[Entry] = []
        seen: set[tuple[int, str]] = set()
        for e in versions:
            mark = (e.seq, e.state)
            if mark not in seen:
                seen.add(mark)
                unique.append(e)
        _label(unique)
        groups[key] = unique
    return groups


def _label(versions: list[Entry]) -> None:
    known = [e for e in versions if e.state in ("live", "deleted")]
    for e in versions:
        if e.state not in ("live", "deleted"):
            e.version_status = UNKNOWN
    for i, e in enumerate(known):
        if e.state == "deleted":
            e.version_status = DELETED
        elif i == len(known) - 1:
            e.version_status = CURRENT
        elif known[i + 1].state == "deleted":
            e.version_status = LAST_BEFORE_DELETION
        else:
            e.version_status = SUPERSEDED


def history(entries: Iterable[Entry]) -> list[Entry]:
    """Every version of every key, grouped by key (in order of first appearance)."""
    out: list[Entry] = []
    for versions in group_versions(entries).values():
        out.extend(versions)
    return out


def latest(entries: Iterable[Entry]) -> list[Entry]:
    """One row per key: its newest version. A deleted key's row is its deletion marker,
    carrying the last value the files still hold for it (``previous_value`` in details,
    and ``value``), so what was deleted shows without the full history."""
    out: list[Entry] = []
    for versions in group_versions(entries).values():
        known = [e for e in versions if e.state in ("live", "deleted")] or versions
        newest = known[-1]
        if newest.state == "deleted":
            before = [e for e in known if e.state == "live"]
            if before:
                newest.value = before[-1].value
                newest.details["value_from_seq"] = before[-1].seq
                if newest.key is None:
                    newest.key = before[-1].key
        out.append(newest)
    return out
