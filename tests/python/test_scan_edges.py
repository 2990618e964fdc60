"""The scanner's API at its edges: iterators shared by threads, scans carried
across fork(), and memory running out inside native code."""

from __future__ import annotations

import os
import subprocess
import sys
import threading
from pathlib import Path

import plyvel
import pytest

import craft
import tarnwick


@pytest.fixture(scope="module")
def store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("edges") / "db"
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(20_000):
        db.put(b"key%06d" % i, b"v%d" % i)
        if i % 5000 == 4999:
            db.compact_range()
    db.close()
    return path


def keys_of(store: Path) -> list[bytes]:
    with tarnwick.RawLevelDb(str(store)) as db:
        return [r.key for r in db.iterate_records_raw()]


@pytest.mark.parametrize("threads", [2, 4])
def test_an_iterator_shared_by_threads_hands_out_each_record_once(store: Path, threads: int) -> None:
    shared = tarnwick.records(store, batch_rows=7, threads=2)
    taken: list[list[bytes]] = [[] for _ in range(threads)]
    failures: list[BaseException] = []

    def take(into: list[bytes]) -> None:
        try:
            for record in shared:
                into.append(record.key)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    workers = [threading.Thread(target=take, args=(t,)) for t in taken]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert not failures
    every = sorted(k for t in taken for k in t)
    assert every == sorted(keys_of(store))


def test_text_chunks_shared_by_threads_are_all_delivered(store: Path) -> None:
    shared = tarnwick.scan_text(store, "jsonl", chunk_bytes=4096)
    got: list[bytes] = []
    workers = [threading.Thread(target=lambda: got.extend(shared)) for _ in range(3)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert sum(chunk.count(b"\n") for chunk in got) == len(keys_of(store))


def test_taking_from_a_scan_while_it_is_taking_is_refused(store: Path) -> None:
    # The native scan hands out its batches to one taker at a time, as a
    # generator does: re-entering it while it is busy (here from inside the
    # conversion of a batch) is refused, not a second reader of its queue.
    from tarnwick import _scan
    from tarnwick._names import FILE_TYPES, KEY_STATES

    native = tarnwick.records(store, batch_rows=5)._native
    refusals: list[str] = []

    class ReEntering(tuple):  # type: ignore[type-arg]
        def __getitem__(self, index):  # type: ignore[no-untyped-def]
            try:
                native.next_records(KEY_STATES, FILE_TYPES)
            except ValueError as error:
                refusals.append(str(error))
            return super().__getitem__(index)

    batch = native.next_records(ReEntering(KEY_STATES), FILE_TYPES)
    assert batch is not None and len(batch) == 5
    assert refusals and all("already executing" in r for r in refusals)
    assert isinstance(native, _scan.ArrowScan)
    assert len(native.next_records(KEY_STATES, FILE_TYPES)) == 5  # free again afterwards


def in_child(work: str, store: Path) -> tuple[int, str]:
    """Runs `work` in a child forked from a process holding a started scan;
    the child's exit status and what it printed."""
    script = f"""
import os, sys, tarnwick
import pyarrow as pa
store = {str(store)!r}
rs = tarnwick.records(store, batch_rows=10)
next(rs)
s = tarnwick.scan(store, batch_rows=10)
reader = pa.RecordBatchReader.from_stream(s)
reader.read_next_batch()
text = tarnwick.scan_text(store)
next(text)
pid = os.fork()
if pid == 0:
    try:
        {work}
        print("no error", flush=True)
    except Exception as error:
        print(type(error).__name__, error, flush=True)
    os._exit(0)
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout.strip()


@pytest.mark.parametrize(
    "work",
    [
        "[r for r in rs]",
        "reader.read_next_batch()",
        "next(text)",
        "rs.report",
        "rs.close()",
    ],
)
def test_a_scan_used_in_a_forked_child_says_so(store: Path, work: str) -> None:
    code, printed = in_child(work, store)
    assert code == 0
    assert "started in another process" in printed and "fork()" in printed


def test_a_forked_child_may_start_scans_of_its_own(store: Path) -> None:
    code, printed = in_child("print(sum(1 for _ in tarnwick.records(store)))", store)
    assert (code, printed.split()) == (0, [str(len(keys_of(store))), "no", "error"])


@pytest.fixture(scope="module")
def expanding(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """One table block whose entries repeat a 32 KiB key, each only 12 bytes
    long in the file: 32,768 records of 32 KiB keys, 1 GiB decoded from
    400 KiB."""
    key = craft.internal_key(b"p" * 32768, 1)
    entries = craft.block_entry(0, key, b"") + b"".join(
        craft.block_entry(len(key) - 8, craft.fixed64(((n + 2) << 8) | 1), b"") for n in range(32767)
    )
    writer = craft.TableWriter()
    writer.add_block(contents=entries + craft.restart_array([0]))
    return craft.write_files(tmp_path_factory.mktemp("expanding"), {"000001.ldb": writer.finish()})


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's shadow needs the address space")
@pytest.mark.parametrize(
    "consume",
    [
        "list(tarnwick.records(store, batch_rows=1 << 40, batch_bytes=1 << 40))",
        "list(tarnwick.scan_text(store, 'csv', chunk_bytes=1 << 40))",
        "pa.table(tarnwick.scan(store, batch_rows=1 << 40, batch_bytes=1 << 40))",
    ],
)
def test_memory_running_out_in_a_worker_is_memory_error(expanding: Path, consume: str) -> None:
    # Batches allowed to grow without bound, over a table that expands to
    # 1 GiB, in a process limited to 1 GiB of address space: a worker's
    # allocation fails, and the consumer gets MemoryError (pyarrow's own
    # ArrowMemoryError is one), never an abort.
    script = f"""
import resource
import pyarrow as pa
import tarnwick
store = {str(expanding)!r}
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
try:
    {consume}
    print("read")
except MemoryError:
    print("MemoryError")
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout.strip()) == (0, "MemoryError"), done.stderr[-2000:]
