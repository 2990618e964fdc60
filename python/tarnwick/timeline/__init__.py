"""``tarnwick timeline``: the dated facts of stores as events that timeline
tools import (Timesketch JSON Lines, log2timeline-style CSV)."""

from __future__ import annotations

from ._events import Event, collect_events, store_events, tagged_dates
from ._writers import WRITERS

__all__ = ["Event", "collect_events", "store_events", "tagged_dates", "WRITERS"]
