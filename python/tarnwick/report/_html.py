"""The report as one self-contained HTML page.

Everything the page shows is in the file: inline CSS and SVG, no script, no
font, image or style sheet from anywhere else, so it opens the same on a
machine without a network and can be attached to a case as it is. Each file
gets a bar of its bytes (the damage map: read, skipped and unreadable
stretches, each with its byte range and reason as a tooltip and listed in
a table below), each store a chart of its records by state. The page prints
on A4 or Letter: colours are kept, and no store or file is split if avoidable.
"""

from __future__ import annotations

from html import escape

from ._collect import READ, SKIPPED, UNREADABLE, FileEntry, Report, StoreEntry, Stretch
from ._read import STATES

# Width of the damage map's coordinate system; the bar scales to the page.
_MAP_UNITS = 1000
# A stretch too small to see is drawn this wide, so that one lost byte in a
# large file still shows.
_MIN_STRETCH_UNITS = 3
_CHART_WIDTH, _CHART_BAR, _CHART_LABEL = 420, 16, 70

_CSS = """
:root { --read: #4d9a62; --skipped: #e3a21a; --unreadable: #c0392b; --ink: #1b1f24; --muted: #5b6470; }
* { box-sizing: border-box; }
body { font: 14px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, "DejaVu Sans", sans-serif;
       color: var(--ink); margin: 2em auto; max-width: 70em; padding: 0 1em; }
h1 { font-size: 1.6em; margin: 0 0 .2em; }
h2 { font-size: 1.25em; margin: 1.6em 0 .4em; border-bottom: 2px solid #d0d5db; padding-bottom: .2em; }
h3 { font-size: 1.05em; margin: 1.2em 0 .3em; }
table { border-collapse: collapse; width: 100%; margin: .4em 0 .8em; }
th, td { text-align: left; vertical-align: top; padding: .25em .5em; border-bottom: 1px solid #e3e6ea; }
th { font-weight: 600; color: var(--muted); white-space: nowrap; }
td.n { text-align: right; font-variant-numeric: tabular-nums; white-space: nowrap; }
code, .hash { font-family: "DejaVu Sans Mono", Menlo, Consolas, monospace; font-size: .86em; }
.hash { word-break: break-all; }
.muted { color: var(--muted); }
.ok { color: var(--read); font-weight: 600; }
.bad { color: var(--unreadable); font-weight: 600; }
table.files tr.facts td { border-bottom: none; padding-bottom: 0; }
table.files tr.digests td { padding-top: .1em; padding-left: 1.5em; }
td.name { word-break: break-all; } td.time { white-space: nowrap; }
tr { page-break-inside: avoid; break-inside: avoid; }
.file { margin: .6em 0 1em; page-break-inside: avoid; break-inside: avoid; }
.map { width: 100%; height: 18px; display: block; border: 1px solid #9aa3ad; background: #eef0f2; }
.read { fill: var(--read); } .skipped { fill: var(--skipped); } .unreadable { fill: var(--unreadable); }
.legend span { display: inline-block; margin-right: 1.2em; }
.legend i { display: inline-block; width: .9em; height: .9em; margin-right: .3em; vertical-align: -0.1em; }
.chart text { font-size: 12px; fill: var(--ink); }
@media print {
  body { margin: 0; max-width: none; font-size: 10pt; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  h2 { page-break-after: avoid; break-after: avoid; }
  a { color: inherit; text-decoration: none; }
}
@page { margin: 15mm; }
"""

_SWATCH = {READ: "var(--read)", SKIPPED: "var(--skipped)", UNREADABLE: "var(--unreadable)"}
_STATE_COLOUR = {"Live": "#4d9a62", "Deleted": "#c0392b", "Unknown": "#7f8c99"}


def _e(text: object) -> str:
    return escape(str(text), quote=True)


def _size(n: int | None) -> str:
    return "—" if n is None else f"{n:,}"


def damage_map_svg(stretches: list[Stretch], size: int) -> str:
    """The bar of a file's bytes: one rectangle per stretch."""
    if size <= 0:
        return '<svg class="map" viewBox="0 0 1000 10" preserveAspectRatio="none" role="img" aria-label="empty file"></svg>'
    rects = []
    for s in stretches:
        x = s.begin * _MAP_UNITS / size
        width = (s.end - s.begin) * _MAP_UNITS / size
        if s.kind != READ:
            width = max(width, _MIN_STRETCH_UNITS)
            x = min(x, _MAP_UNITS - width)
        tip = f"bytes {s.begin:,}–{s.end:,}: {s.kind}" + (f" ({s.reason})" if s.reason else "")
        rects.append(f'<rect class="{s.kind}" x="{x:.3f}" y="0" width="{width:.3f}" height="10">'
                     f"<title>{_e(tip)}</title></rect>")
    # Lost stretches are drawn last, so that a widened one is never hidden under read bytes.
    rects.sort(key=lambda r: r.startswith(f'<rect class="{READ}"'), reverse=True)
    label = _e(f"damage map of {size:,} bytes")
    return (f'<svg class="map" viewBox="0 0 {_MAP_UNITS} 10" preserveAspectRatio="none" role="img" '
            f'aria-label="{label}">{"".join(rects)}</svg>')


def records_chart_svg(states: dict[str, int]) -> str:
    """A bar per record state, scaled to the largest."""
    largest = max(states.values(), default=0) or 1
    rows = []
    for i, state in enumerate(STATES):
        count = states.get(state, 0)
        y = i * (_CHART_BAR + 6)
        width = (_CHART_WIDTH - _CHART_LABEL - 80) * count / largest
        rows.append(
            f'<text x="0" y="{y + 12}">{state}</text>'
            f'<rect x="{_CHART_LABEL}" y="{y}" width="{width:.1f}" height="{_CHART_BAR}" fill="{_STATE_COLOUR[state]}"/>'
            f'<text x="{_CHART_LABEL + width + 6:.1f}" y="{y + 12}">{count:,}</text>'
        )
    height = len(STATES) * (_CHART_BAR + 6)
    return (f'<svg class="chart" width="{_CHART_WIDTH}" height="{height}" viewBox="0 0 {_CHART_WIDTH} {height}" '
            f'role="img" aria-label="records by state">{"".join(rows)}</svg>')


def _digests(f: FileEntry) -> str:
    if not f.facts.digests:
        return f'<span class="bad">not hashed: {_e(f.facts.error)}</span>'
    lines = [f'<span class="muted">{_e(name.upper())}</span> <span class="hash">{_e(value)}</span>'
             for name, value in f.facts.digests.items()]
    if f.facts.error:
        lines.append(f'<span class="bad">{_e(f.facts.error)}</span>')
    return "<br>".join(lines)


def _status(f: FileEntry) -> str:
    good = f.status in ("read", "not_data", "hashed") and f.lost_bytes == 0
    text = f.status.replace("_", " ") + (f": {f.reason}" if f.reason and f.status != "not_data" else "")
    if f.status == "read" and f.lost_bytes:
        text += ", with losses"
    return f'<span class="{"ok" if good else "bad"}">{_e(text)}</span>'


def _file_table(store: StoreEntry) -> str:
    # Two rows per file: its facts, then its digests across the whole width.
    rows = []
    for f in store.files:
        records = " / ".join(f"{f.states.get(s, 0):,}" for s in STATES) if f.states else "—"
        rows.append(
            f'<tr class="facts"><td class="name"><code>{_e(f.name)}</code></td><td>{_e(f.role)}</td>'
            f"<td class=n>{_size(f.facts.size)}</td>"
            f'<td class="time"><code>{_e(f.facts.mtime or "—")}</code><br><code>{_e(f.facts.ctime or "—")}</code></td>'
            f"<td>{_status(f)}</td><td class=n>{records}</td>"
            f"<td class=n>{_size(f.lost_bytes) if f.stretches else '—'}</td></tr>"
            f'<tr class="digests"><td colspan="7">{_digests(f)}</td></tr>'
        )
    return (
        '<table class="files"><thead><tr><th>File</th><th>Role</th><th>Bytes</th><th>Modified / changed (UTC)</th>'
        "<th>Status</th><th>Live / Deleted / Unknown</th><th>Bytes not decoded</th></tr></thead>"
        f"<tbody>{''.join(rows)}</tbody></table>"
    )


def _file_map(f: FileEntry) -> str:
    size = f.facts.size or (f.stretches[-1].end if f.stretches else 0)
    lost = [s for s in f.stretches if s.kind != READ]
    parts = [f'<div class="file"><h3><code>{_e(f.name)}</code> <span class="muted">{_size(size)} bytes</span></h3>',
             damage_map_svg(f.stretches, size)]
    if lost:
        rows = "".join(
            f"<tr><td class=n>{s.begin:,}</td><td class=n>{s.end:,}</td><td class=n>{s.end - s.begin:,}</td>"
            f"<td>{_e(s.kind)}</td><td>{_e(s.reason)}</td></tr>" for s in lost)
        parts.append("<table><thead><tr><th>From byte</th><th>To byte</th><th>Bytes</th><th>Kind</th>"
                     f"<th>Reason</th></tr></thead><tbody>{rows}</tbody></table>")
    parts.append("</div>")
    return "".join(parts)


def _store(store: StoreEntry) -> str:
    verdict = ('<span class="ok">everything read</span>' if store.complete
               else '<span class="bad">not everything could be read</span>')
    origin = f" · origin <code>{_e(store.origin)}</code>" if store.origin else ""
    parts = [
        f'<section class="store"><h2>{_e(store.path)}</h2>',
        f"<p>Kind <code>{_e(store.kind)}</code>{origin} · {verdict}</p>",
    ]
    if store.error:
        parts.append(f'<p class="bad">{_e(store.error)}</p>')
    parts.append(records_chart_svg(store.states))
    parts.append(_file_table(store))
    maps = [_file_map(f) for f in store.files if f.stretches]
    if maps:
        legend = "".join(f'<span><i style="background:{_SWATCH[k]}"></i>{k}</span>' for k in (READ, SKIPPED, UNREADABLE))
        parts.append(f'<p class="legend">Damage map of each data file: {legend}</p>')
        parts.extend(maps)
    parts.append("</section>")
    return "".join(parts)


def _run(report: Report) -> str:
    versions = ", ".join(f"{_e(name)} {_e(v)}" for name, v in report.versions.items())
    rows = [
        ("Command line", f"<code>{_e(' '.join(report.command_line))}</code>"),
        ("Started", f"<code>{_e(report.started)}</code>"),
        ("Ended", f"<code>{_e(report.ended)}</code>"),
        ("Versions", versions),
        ("Paths", "<br>".join(f"<code>{_e(p)}</code>" for p in report.paths)),
    ]
    table = "".join(f"<tr><th>{k}</th><td>{v}</td></tr>" for k, v in rows)
    parts = [f"<table>{table}</table>"]
    if report.problems:
        parts.append("<ul>" + "".join(f'<li class="bad">{_e(p)}</li>' for p in report.problems) + "</ul>")
    if report.outputs:
        out = "".join(f"<tr><td><code>{_e(o.path)}</code></td><td class=n>{_size(o.size)}</td>"
                      f"<td>{_digests(FileEntry(o.path, 'output', o))}</td></tr>" for o in report.outputs)
        parts.append("<h2>Outputs</h2><table><thead><tr><th>File</th><th>Bytes</th><th>Digests</th></tr></thead>"
                     f"<tbody>{out}</tbody></table>")
    return "".join(parts)


def render_html(report: Report) -> str:
    stores = len(report.stores)
    verdict = ('<span class="ok">every byte of every store was read</span>' if report.complete
               else '<span class="bad">some bytes or files could not be read: see below</span>')
    body = "".join(_store(s) for s in report.stores)
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>tarnwick report</title><style>{_CSS}</style></head><body>"
        f"<h1>Read report</h1><p>{stores} store{'s' if stores != 1 else ''} · {verdict}</p>"
        f"{_run(report)}{body}</body></html>\n"
    )
