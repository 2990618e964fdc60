"""The one progress display of the command line: a status line on standard
error, rewritten in place, for commands that run long.

It shows how much is done out of the known total, the rate and the time left
(``tarnwick: 12.0 of 48.0 MiB (25%), 6.0 MiB/s, 0:06 left``), and nothing at
all unless standard error is a terminal and the command's own output is not
scrolling past on that same terminal. It appears only after a second, so
quick commands never flash one, and is redrawn four times a second at most.

``show(text)`` puts any text on the line instead, for a step whose total is
not known; ``clear()`` removes the line before anything else is said.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import TextIO

__all__ = ["Progress", "watched"]

# Seconds before the first display, and between two.
_DELAY = 1.0
_INTERVAL = 0.25
_MIB = float(1 << 20)


def _is_terminal(stream: object) -> bool:
    try:
        return bool(stream is not None and stream.isatty())  # type: ignore[attr-defined]
    except (OSError, ValueError, AttributeError):
        return False


def watched(output_to_terminal: bool) -> bool:
    """Whether someone can see a status line: standard error is a terminal,
    and the output does not go to that terminal too."""
    return _is_terminal(sys.stderr) and not (output_to_terminal and _is_terminal(sys.stdout))


def _amount(value: float, unit: str) -> str:
    return f"{value / _MIB:,.1f}" if unit == "MiB" else f"{int(value):,}"


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    hours, rest = divmod(seconds, 3600)
    minutes, seconds = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


def describe(done: float, total: float | None, unit: str, elapsed: float) -> str:
    """The text of the line: done (of total, with the share), rate, time left.
    ``unit`` is a noun (``records``, ``stores``) or ``MiB`` for byte counts."""
    text = f"{_amount(done, unit)} {unit}" if total is None else (
        f"{_amount(done, unit)} of {_amount(total, unit)} {unit}"
        + (f" ({100 * done / total:.0f}%)" if total > 0 else "")
    )
    if elapsed > 0 and done > 0:
        rate = done / elapsed
        text += f", {_amount(rate, unit)} {unit}/s"
        if total is not None and total >= done:
            text += f", {_duration((total - done) / rate)} left"
    return text


class Progress:
    """A status line for ``done`` out of ``total`` of ``unit``."""

    def __init__(
        self,
        unit: str,
        total: float | None = None,
        *,
        enabled: bool,
        stream: TextIO | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.unit = unit
        self.total = total
        self._stream = (stream or sys.stderr) if enabled else None
        self._clock = clock
        self._start = clock()
        self._next = self._start + _DELAY
        self._done = 0.0
        self._width = 0

    @property
    def enabled(self) -> bool:
        return self._stream is not None

    def due(self) -> bool:
        """Whether the line would be redrawn now: a caller whose count costs
        something to work out asks first."""
        return self._stream is not None and self._clock() >= self._next

    def advance(self, count: float = 1) -> None:
        self.update(self._done + count)

    def update(self, done: float, total: float | None = None) -> None:
        self._done = done
        if total is not None:
            self.total = total
        if self._take_turn():
            self._draw(describe(done, self.total, self.unit, self._clock() - self._start))

    def show(self, text: str) -> None:
        """Any text on the line (a ``tarnwick: `` prefix is added if missing)."""
        if self._take_turn():
            self._draw(text.removeprefix("tarnwick: "))

    def _take_turn(self) -> bool:
        """Whether the line is shown and due to be drawn again; if so, the next
        drawing waits another interval."""
        if self._stream is None:
            return False
        now = self._clock()
        if now < self._next:
            return False
        self._next = now + _INTERVAL
        return True

    def _draw(self, text: str) -> None:
        assert self._stream is not None
        line = "tarnwick: " + text
        try:
            self._stream.write("\r" + line + " " * max(0, self._width - len(line)))
            self._stream.flush()
        except (OSError, ValueError):
            self._stream = None
            return
        self._width = len(line)

    def clear(self) -> None:
        if self._stream is None or self._width == 0:
            return
        try:
            self._stream.write("\r" + " " * self._width + "\r")
            self._stream.flush()
        except (OSError, ValueError):
            self._stream = None
        self._width = 0
