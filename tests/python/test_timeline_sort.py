"""The timeline's sort in bounded memory: sorted runs spilled beside the
output and merged give the order of one in-memory sort, byte for byte; the
temporary file is gone however the command ends; the evidence is not touched.
The events are those of the profile headless Chromium wrote."""

from __future__ import annotations

import json
import os
import re
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from tarnwick._cli_errors import EXIT_ERROR, EXIT_INTERRUPTED
from tarnwick.cli import main
from tarnwick.timeline import WRITERS, Event, SortedEvents, event_order, found_events
from tarnwick.timeline import _collect, _sort
from tarnwick.timeline._rows import loads, loads_flat, marked_lines
from test_raw_level_db import open_files_under

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"


@pytest.fixture(scope="module")
def profile_events() -> list[Event]:
    problems: list[str] = []
    events = [event for event, _ in found_events([str(PROFILE)], problems)]
    assert not problems and events
    # Several events share a time (the records of one commit): their order is
    # decided by the later keys, and by the order found when all are equal.
    assert len({e.when for e in events}) < len(events)
    return events


@pytest.mark.parametrize(
    ("run_events", "run_bytes", "block_events", "merge_runs"),
    [(1, None, 1, 64), (2, None, 1, 64), (3, None, 2, 64), (7, None, 256, 64), (None, 1, 256, 64),
     (None, None, 256, 64), (1, None, 1, 2), (3, None, 2, 3), (4, None, 256, 3),
     (1, None, 1, 60)],
    ids=["one-event runs", "two-event runs", "blocks split runs", "uneven last run", "bytes bound", "one run",
         "merged in pairs", "merged in threes", "merged in levels with a lone group",
         "a few runs too many folded into one"],
)
def test_spilled_runs_merge_into_one_stable_sort(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                 profile_events: list[Event], run_events: int | None,
                                                 run_bytes: int | None, block_events: int, merge_runs: int) -> None:
    monkeypatch.setattr(_sort, "BLOCK_EVENTS", block_events)
    monkeypatch.setattr(_sort, "MERGE_RUNS", merge_runs)
    # Every event twice: each pair is equal in every key, so only stability
    # (runs merged in the order they were made) puts the first one first.
    events = [Event(e.when, e.desc, e.message, {**e.fields, "found": i})
              for i, e in enumerate(profile_events + profile_events)]
    expected = [e.fields["found"] for e in sorted(events, key=event_order)]
    with SortedEvents(str(tmp_path), run_events=run_events, run_bytes=run_bytes) as ordered:
        for e in events:
            ordered.add(e, len(e.message))
        spilled = run_events is not None or run_bytes is not None
        assert (len(ordered._runs) > 1) == spilled
        assert [e.fields["found"] for e in ordered.sorted()] == expected
        assert len(ordered._runs) <= merge_runs


def _snapshot(folder: Path) -> list[tuple[str, int, int, int]]:
    """Every entry under ``folder`` with its size, modification time and mode."""
    out = []
    for path in sorted(folder.rglob("*")):
        info = path.lstat()
        out.append((str(path.relative_to(folder)), info.st_size, info.st_mtime_ns, info.st_mode))
    return out


@pytest.fixture
def evidence(tmp_path: Path) -> Path:
    copy = tmp_path / "evidence" / "profile"
    shutil.copytree(PROFILE, copy, symlinks=True)
    return copy


def spills(monkeypatch: pytest.MonkeyPatch) -> list[str | None]:
    """Tiny runs, so that every timeline spills; the folders the temporary
    files were made in."""
    monkeypatch.setattr(_sort, "RUN_EVENTS", 3)
    folders: list[str | None] = []
    made = tempfile.TemporaryFile

    def spy(*args: Any, **kwargs: Any) -> Any:
        folders.append(kwargs.get("dir"))
        return made(*args, **kwargs)

    monkeypatch.setattr(_sort.tempfile, "TemporaryFile", spy)
    return folders


@pytest.mark.parametrize("fmt", ["jsonl", "csv"])
def test_spilled_timeline_is_the_same_bytes_and_leaves_nothing(tmp_path: Path, evidence: Path, fmt: str,
                                                               monkeypatch: pytest.MonkeyPatch) -> None:
    whole = tmp_path / "whole" / f"t.{fmt}"
    whole.parent.mkdir()
    assert main(["timeline", str(evidence), "-o", str(whole), "--format", fmt]) == 0
    before = _snapshot(evidence.parent)

    folders = spills(monkeypatch)
    out = tmp_path / "out" / f"t.{fmt}"
    out.parent.mkdir()
    assert main(["timeline", str(evidence), "-o", str(out), "--format", fmt]) == 0
    assert out.read_bytes() == whole.read_bytes()
    assert folders == [str(out.parent)]  # spilled, once, beside the output
    assert os.listdir(out.parent) == [out.name]
    assert not open_files_under(out.parent)
    assert _snapshot(evidence.parent) == before


@pytest.mark.parametrize(
    ("where", "error", "status"),
    [("reading", KeyboardInterrupt, EXIT_INTERRUPTED), ("reading", MemoryError, EXIT_ERROR),
     ("writing", KeyboardInterrupt, EXIT_INTERRUPTED), ("writing", OSError, EXIT_ERROR)],
    ids=["interrupted reading", "failed reading", "interrupted writing", "failed writing"],
)
def test_no_temporary_file_outlives_a_failure(tmp_path: Path, evidence: Path, monkeypatch: pytest.MonkeyPatch,
                                              where: str, error: type[BaseException], status: int) -> None:
    folders = spills(monkeypatch)
    before = _snapshot(evidence.parent)

    def failing(events: Iterator[Any]) -> Iterator[Any]:
        for n, item in enumerate(events):
            if n == 10:  # three runs have been spilled by then
                raise error("stop")
            yield item

    if where == "reading":
        store_events = _collect.store_events
        monkeypatch.setattr(_collect, "store_events", lambda *a: failing(store_events(*a)))
    else:
        write = WRITERS["jsonl"]
        monkeypatch.setitem(WRITERS, "jsonl", lambda events, out: write(failing(events), out))
    out = tmp_path / "out" / "t.jsonl"
    out.parent.mkdir()
    assert main(["timeline", str(evidence), "-o", str(out)]) == status
    assert folders == [str(out.parent)]
    assert os.listdir(out.parent) == []
    assert not open_files_under(out.parent)
    assert _snapshot(evidence.parent) == before


@pytest.mark.parametrize(
    "text",
    ['{}', '[]', ' [ 1 , [ ] , { "k" : "v" } ] ', '"s\\u00e9\\ud800"', '-12', '0.5', '1E+2', '-0.0',
     '{"a":[1,2.5,true,false,null,{}],"b":{"c":[[]]},"a":3}', '{"$date":"2020-01-01T00:00:00.000Z"}'],
)
def test_flat_parse_gives_what_json_gives(text: str) -> None:
    got, expected = loads_flat(text), json.loads(text)
    assert got == expected and json.dumps(got) == json.dumps(expected)  # key order and number types too


@pytest.mark.parametrize("text", ["[1,]", '{"a" 1}', "[1 2]", "{1:2}", "[", "tru", "[1]x", '{"a":1,}', ""])
def test_flat_parse_refuses_what_json_refuses(text: str) -> None:
    with pytest.raises(ValueError):
        json.loads(text)
    with pytest.raises(ValueError):
        loads_flat(text)


def test_a_value_nested_beyond_the_recursion_limit_is_parsed() -> None:
    depth = 10_000  # as deep as the decoders let a stored value nest
    value = loads("[" * depth + '{"$date":"2020-01-01T00:00:00.000Z"}' + "]" * depth)
    for _ in range(depth):
        (value,) = value
    assert value == {"$date": "2020-01-01T00:00:00.000Z"}


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        (b'{"v":{"$date":1}}\n{"v":2}\n{"v":{"$file":{}},"k":{"$date":3}}\n',
         [b'{"v":{"$date":1}}', b'{"v":{"$file":{}},"k":{"$date":3}}']),  # two marks, one line
        (b'{"v":1}\n{"v":2}\n', []),
        (b'{"v":{"$date":1}}\n', [b'{"v":{"$date":1}}']),  # the first line is the last
        (b'{"v":1}\n{"v":{"$filelist":[]}}\n{"v":{"$date"', [b'{"v":{"$filelist":[]}}']),  # a line cut short
    ],
    ids=["several", "none", "only", "cut short"],
)
def test_marked_lines_are_whole_lines_once_each(text: bytes, expected: list[bytes]) -> None:
    marks = re.compile(rb'"\$date"|"\$file')
    assert list(marked_lines(marks, text, text.rfind(b"\n") + 1)) == expected


@pytest.mark.parametrize(("inside", "status"), [(False, 0), (True, EXIT_ERROR)], ids=["outside", "inside the evidence"])
def test_a_device_output_spills_to_the_temporary_folder_never_into_the_evidence(
        tmp_path: Path, evidence: Path, monkeypatch: pytest.MonkeyPatch, inside: bool, status: int) -> None:
    folders = spills(monkeypatch)
    temporary = evidence / "IndexedDB" if inside else tmp_path / "temporary"
    temporary.mkdir(exist_ok=True)
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))
    before = _snapshot(evidence.parent)
    assert main(["timeline", str(evidence), "-o", os.devnull]) == status
    assert folders == ([] if inside else [str(temporary)])
    assert _snapshot(evidence.parent) == before
