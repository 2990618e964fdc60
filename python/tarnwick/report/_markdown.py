"""The report as Markdown: the same facts as the HTML page, as tables that
read well as plain text and paste into a case note."""

from __future__ import annotations

from ._collect import READ, Report, StoreEntry
from ._read import STATES


def _cell(text: object) -> str:
    # A pipe ends a table cell and a line break ends the row; backticks would
    # open code spans.
    return str(text).replace("\\", "\\\\").replace("|", "\\|").replace("`", "\\`").replace("\n", " ").replace("\r", " ")


def _store(store: StoreEntry) -> list[str]:
    states = ", ".join(f"{s} {store.states[s]:,}" for s in STATES)
    lines = [
        f"## {_cell(store.path)}", "",
        f"Kind {_cell(store.kind)}" + (f", origin {_cell(store.origin)}" if store.origin else "")
        + f"; {'everything read' if store.complete else 'NOT everything could be read'}; records: {states}.", "",
    ]
    if store.error:
        lines += [f"**{_cell(store.error)}**", ""]
    lines += ["| File | Role | Bytes | Modified (UTC) | Changed (UTC) | SHA-256 | Status | Live / Deleted / Unknown | Bytes not decoded |",
              "|---|---|--:|---|---|---|---|--:|--:|"]
    for f in store.files:
        records = " / ".join(str(f.states.get(s, 0)) for s in STATES) if f.states else "-"
        status = f.status + (f": {f.reason}" if f.reason and f.status != "not_data" else "")
        digest = f.facts.digests.get("sha256", f"not hashed: {f.facts.error}")
        lines.append(f"| {_cell(f.name)} | {f.role} | {f.facts.size if f.facts.size is not None else '-'} | "
                     f"{f.facts.mtime or '-'} | {f.facts.ctime or '-'} | {_cell(digest)} | {_cell(status)} | "
                     f"{records} | {f.lost_bytes if f.stretches else '-'} |")
    extra = [(f, name, value) for f in store.files for name, value in f.facts.digests.items() if name != "sha256"]
    if extra:
        lines += ["", "| File | Digest | Value |", "|---|---|---|"]
        lines += [f"| {_cell(f.name)} | {name} | {value} |" for f, name, value in extra]
    lost = [(f, s) for f in store.files for s in f.stretches if s.kind != READ]
    if lost:
        lines += ["", "Bytes from which nothing was decoded:", "",
                  "| File | From byte | To byte | Kind | Reason |", "|---|--:|--:|---|---|"]
        lines += [f"| {_cell(f.name)} | {s.begin} | {s.end} | {s.kind} | {_cell(s.reason)} |" for f, s in lost]
    return lines + [""]


def render_markdown(report: Report) -> str:
    lines = [
        "# Read report", "",
        f"- Command line: `{' '.join(report.command_line).replace('`', '')}`",
        f"- Started: {report.started}", f"- Ended: {report.ended}",
        "- Versions: " + ", ".join(f"{k} {v}" for k, v in report.versions.items()),
        f"- Result: {'every byte of every store was read' if report.complete else 'some bytes or files could not be read'}",
        "",
    ]
    lines += [f"- **{_cell(p)}**" for p in report.problems]
    if report.outputs:
        lines += ["## Outputs", "", "| File | Bytes | SHA-256 |", "|---|--:|---|"]
        lines += [f"| {_cell(o.path)} | {o.size} | {o.digests.get('sha256', o.error)} |" for o in report.outputs]
        lines.append("")
    for store in report.stores:
        lines += _store(store)
    return "\n".join(lines)
