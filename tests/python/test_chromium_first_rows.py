"""The first rows of ``tarnwick chromium`` reach a reader as soon as they are made,
and a reader that has seen enough (``| head -1``) stops the scan.

A store's first chunk holds one row and each next one twice as many, so a filter
that keeps few rows does not hold them back until a full batch; the command
flushes each chunk; and when the pipe's reader goes away the scan is stopped
rather than read on until the next rows come to be written.
"""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from tarnwick.chromium.cli import _ReaderWatch
from tarnwick.chromium.discover import find_stores
from tarnwick.chromium.scan import ChromiumScan, store_sources

pa = pytest.importorskip("pyarrow")

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"
# The page's IndexedDB store, of about a thousand records.
STORE = next(s for s in find_stores(str(PROFILE)) if Path(s[1]).name.startswith("http_"))
GROWTH = [1, 2, 4, 8, 16, 32]


def scan(**options: object) -> ChromiumScan:
    return ChromiumScan(store_sources([STORE]), history=True, all_records=True, **options)  # type: ignore[arg-type]


def test_arrow_batches_grow_from_one_row() -> None:
    sizes = [b.num_rows for b in pa.RecordBatchReader.from_stream(scan())]
    assert sum(sizes) > sum(GROWTH) and sizes[:len(GROWTH)] == GROWTH


def test_jsonl_chunks_grow_from_one_row() -> None:
    sizes = [chunk.count(b"\n") for chunk in scan().jsonl()]
    assert sizes[:len(GROWTH)] == GROWTH


def test_growth_stays_within_the_row_bound() -> None:
    sizes = [b.num_rows for b in pa.RecordBatchReader.from_stream(scan(batch_rows=3))]
    assert sizes[:4] == [1, 2, 3, 3] and max(sizes) == 3


class Rows:
    def __init__(self) -> None:
        self.closed = threading.Event()

    def close(self) -> None:
        self.closed.set()


def test_reader_watch_stops_the_scan_when_the_pipe_reader_goes() -> None:
    read_end, write_end = os.pipe()
    rows = Rows()
    with os.fdopen(write_end, "wb") as out:
        watch = _ReaderWatch(out, rows)
        assert not watch.gone()
        os.close(read_end)
        assert rows.closed.wait(60), "the scan was not stopped"
        assert watch.gone()
        watch.stop()


def test_reader_watch_leaves_a_live_pipe_and_a_file_alone(tmp_path: Path) -> None:
    read_end, write_end = os.pipe()
    rows = Rows()
    with os.fdopen(write_end, "wb") as out:
        watch = _ReaderWatch(out, rows)
        out.write(b"row\n")
        out.flush()
        assert os.read(read_end, 4) == b"row\n"
        watch.stop()  # ends its thread: the pipe's reader is still there
    os.close(read_end)
    assert not rows.closed.is_set() and not watch.gone()
    with open(tmp_path / "out", "wb") as out:
        file_watch = _ReaderWatch(out, rows)
        file_watch.stop()
    assert not file_watch.gone()


@pytest.mark.parametrize("fmt", ["text", "jsonl", "csv"])
def test_a_reader_that_stops_after_one_line_ends_the_command_quietly(fmt: str) -> None:
    command = [sys.executable, "-m", "tarnwick", "chromium", str(PROFILE), "--history", "--all-records", "-f", fmt]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.stdout is not None and process.stderr is not None
        first = process.stdout.readline()
        process.stdout.close()
        errors = process.stderr.read()
        status = process.wait(timeout=120)
    assert first.strip() and status == 0 and b"Traceback" not in errors and b"error" not in errors.lower()
