"""The events of every store under some paths, in time order."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator

from ..stores.find import find_stores
from ._events import Event, store_events
from ._sort import SortedEvents


def found_events(paths: Iterable[str], problems: list[str]) -> Iterator[tuple[Event, int]]:
    """Every event of every store under ``paths``, store by store, each with
    about the bytes of text it holds. What cannot be listed or read is added
    to ``problems``; a store that fails part way keeps the events it gave."""

    def unlisted(path: str, error: OSError) -> None:
        problems.append(f"cannot list {path}: {error.strerror or error}")

    for path in paths:
        root = os.path.realpath(path)
        try:
            stores = find_stores(root, on_error=unlisted)
        except OSError as error:
            problems.append(f"cannot list {path}: {error.strerror or error}")
            continue
        if not stores:
            problems.append(f"no LevelDB store under {path}")
        for store in stores:
            directory = root if store.path == "." else os.path.join(root, *store.path.split("/"))
            try:
                yield from store_events(directory, store.kind)
            except (OSError, ValueError, RuntimeError) as error:
                problems.append(f"cannot read {directory}: {error}")


def sort_events(paths: Iterable[str], problems: list[str], ordered: SortedEvents) -> None:
    """Adds every event of the stores under ``paths`` to ``ordered``."""
    for event, size in found_events(paths, problems):
        ordered.add(event, size)


def collect_events(paths: Iterable[str], problems: list[str]) -> list[Event]:
    """Every event of every store under ``paths``, in time order, in memory."""
    with SortedEvents(None, run_events=2**62, run_bytes=2**62) as ordered:
        sort_events(paths, problems, ordered)
        return list(ordered.sorted())
