"""``tarnwick report``: what an examiner attaches to a case about the stores read.

``collect`` gathers the facts (per store and file: size, times, digests,
status, records by state, the damage map; the run's versions, command line
and times; the digests of named outputs); ``render`` writes them as one
self-contained HTML page, JSON or Markdown.
"""

from __future__ import annotations

import json

from ._collect import Report, collect, damage_map
from ._html import render_html
from ._markdown import render_markdown

__all__ = ["Report", "collect", "damage_map", "render", "FORMATS"]

FORMATS = ("html", "json", "md")


def render(report: Report, fmt: str) -> str:
    if fmt == "html":
        return render_html(report)
    if fmt == "md":
        return render_markdown(report)
    if fmt == "json":
        return json.dumps(report.to_dict(), ensure_ascii=False, indent=2) + "\n"
    raise ValueError(f"unknown report format {fmt!r}")
