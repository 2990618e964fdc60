"""Events in time order whatever their number, in bounded memory.

Events are gathered in a run until it holds ``run_events`` of them or about
``run_bytes`` of text; a full run is sorted and spilled to a temporary file,
and at the end the sorted runs are merged. The merge takes equal keys in
the order of the runs and a run's sort is stable, so the order is that of one
stable sort of all the events: the same bytes out, however many runs there
were. While the events fit one run, nothing is written.

The runs go to one unnamed temporary file in a folder the caller chooses
(beside the output, never inside the evidence): the file has no name from
the start where the file system allows it (otherwise its name is removed at
once), so no exit, Ctrl-C or crash included, leaves it behind. Each run is a
series of blocks, each a pickled list of a few events (with their sizes)
behind its length; merging keeps one block of each run in memory, and at
most ``MERGE_RUNS`` runs are merged at once (more are first merged in
groups into longer runs), so memory is bounded however many runs there are.
"""

from __future__ import annotations

import heapq
import os
import pickle
import struct
import tempfile
from collections.abc import Iterable, Iterator
from typing import Any, BinaryIO

from ._events import Event, event_order

RUN_EVENTS = 5_000
RUN_BYTES = 32 << 20
# Events per block of a spilled run, and text bytes at most (about): what
# the merge holds of each run at a time.
BLOCK_EVENTS = 256
BLOCK_BYTES = 256 << 10
# Runs merged at once: the merge holds one block of each.
MERGE_RUNS = 64
# Fixed cost counted for each event beside its text (the Event, its dict).
EVENT_OVERHEAD = 512
_LENGTH = struct.Struct("<Q")


class SortedEvents:
    """Add events with ``add``; ``sorted()`` then gives them all in order,
    once. Use as a context manager: leaving it closes the temporary file."""

    def __init__(self, folder: str | None, *, run_events: int | None = None, run_bytes: int | None = None) -> None:
        self._folder = folder
        self._run_events = RUN_EVENTS if run_events is None else run_events
        self._run_bytes = RUN_BYTES if run_bytes is None else run_bytes
        self._run: list[tuple[Event, int]] = []
        self._run_size = 0
        self._spill: BinaryIO | None = None
        # (offset, end) of each spilled run in the temporary file.
        self._runs: list[tuple[int, int]] = []

    def add(self, event: Event, size: int = 0) -> None:
        """One event; ``size`` is about the bytes of text it holds."""
        self._run.append((event, size))
        self._run_size += EVENT_OVERHEAD + size
        if len(self._run) >= self._run_events or self._run_size >= self._run_bytes:
            self._spill_run()

    def _sorted_run(self) -> list[tuple[Event, int]]:
        run, self._run, self._run_size = self._run, [], 0
        run.sort(key=_pair_order)
        return run

    def _spill_run(self) -> None:
        if self._spill is None:
            self._spill = tempfile.TemporaryFile(prefix=".tarnwick-timeline-", dir=self._folder)
        self._runs.append(self._write_run(self._sorted_run()))

    def _write_run(self, events: Iterable[tuple[Event, int]]) -> tuple[int, int]:
        """Appends a run of (event, size), in blocks; its (offset, end) in the file."""
        out = self._spill
        assert out is not None
        start = out.seek(0, os.SEEK_END)
        block: list[tuple[Event, int]] = []
        block_size = 0
        for pair in events:
            block.append(pair)
            block_size += EVENT_OVERHEAD + pair[1]
            if len(block) >= BLOCK_EVENTS or block_size >= BLOCK_BYTES:
                _write_block(out, block)
                block, block_size = [], 0
        if block:
            _write_block(out, block)
        out.flush()
        return start, out.tell()

    def _merged(self, runs: list[tuple[int, int]]) -> Iterator[tuple[Event, int]]:
        assert self._spill is not None
        fd = self._spill.fileno()
        return heapq.merge(*(_read_run(fd, start, end) for start, end in runs), key=_pair_order)

    def sorted(self) -> Iterator[Event]:
        """Every event added, in order."""
        if self._spill is None:
            return (event for event, _ in self._sorted_run())
        if self._run:
            self._spill_run()
        # The merge holds a block of each run it reads: runs beyond
        # MERGE_RUNS are first merged into longer runs appended to the file,
        # consecutive ones together, which keeps the order of equal events.
        # A few too many: the first few become one. Many: every MERGE_RUNS
        # become one, as often as needed.
        while len(self._runs) > MERGE_RUNS:
            fold = len(self._runs) - MERGE_RUNS + 1
            if fold <= MERGE_RUNS:
                self._runs = [self._write_run(self._merged(self._runs[:fold])), *self._runs[fold:]]
                break
            self._runs = [self._write_run(self._merged(group)) if len(group) > 1 else group[0]
                          for group in (self._runs[i:i + MERGE_RUNS] for i in range(0, len(self._runs), MERGE_RUNS))]
        return (event for event, _ in self._merged(self._runs))

    def close(self) -> None:
        self._run = []
        if self._spill is not None:
            self._spill.close()
            self._spill = None

    def __enter__(self) -> SortedEvents:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()


def _pair_order(pair: tuple[Event, int]) -> tuple[Any, ...]:
    return event_order(pair[0])


def _write_block(out: BinaryIO, block: list[tuple[Event, int]]) -> None:
    data = pickle.dumps(block, protocol=pickle.HIGHEST_PROTOCOL)
    out.write(_LENGTH.pack(len(data)))
    out.write(data)


def _read_run(fd: int, start: int, end: int) -> Iterator[tuple[Event, int]]:
    """A spilled run's events, one block in memory at a time (read at their
    offsets, so that every run reads the one file independently)."""
    at = start
    while at < end:
        (length,) = _LENGTH.unpack(_read_exactly(fd, _LENGTH.size, at))
        at += _LENGTH.size
        block: list[tuple[Event, int]] = pickle.loads(_read_exactly(fd, length, at))
        at += length
        yield from block


def _read_exactly(fd: int, length: int, at: int) -> bytes:
    data = os.pread(fd, length, at)
    while len(data) < length:
        more = os.pread(fd, length - len(data), at + len(data))
        if not more:
            raise OSError(f"the timeline's temporary file ended early at byte {at + len(data)}")
        data += more
    return data
