"""``tarnwick timeline``: the dated facts of stores as events that timeline
tools import (Timesketch JSON Lines, log2timeline-style CSV)."""

from __future__ import annotations

from ._collect import collect_events, found_events, sort_events
from ._events import Event, event_order, store_events, tagged_dates
from ._sort import SortedEvents
from ._writers import WRITERS

__all__ = ["Event", "SortedEvents", "collect_events", "event_order", "found_events", "sort_events",
           "store_events", "tagged_dates", "WRITERS"]
