"""What the scanner does where the list API cannot: a table that expands to
gigabytes streams in bounded memory, files are opened one at a time relative
to the directory (so more files than the process may open, and a directory
path near the system's limit, are read), and dropping a stream stops its
workers and closes every file."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pyarrow as pa
import pytest

import _tarnwick
import craft
import tarnwick
from craft import block_entry, varint
from test_resource_bounds import table

SAMPLE = Path(__file__).resolve().parent.parent / "fixtures" / "sample_db"
KEY_SIZE = 65_536
RECORDS = 65_536


def snappy_runs(runs: list[tuple[bytes, int]], tail: bytes) -> bytes:
    """Snappy data for each (pattern, length): the pattern as a literal, then
    64-byte copies from len(pattern) back that go on repeating it until the
    run is `length` bytes long; then `tail` as a literal."""
    def literal(data: bytes) -> bytes:
        return b"".join(bytes([(len(p) - 1) << 2]) + p for p in (data[i:i + 60] for i in range(0, len(data), 60)))

    def copy(length: int, offset: int) -> bytes:
        return bytes([((length - 1) << 2) | 2]) + struct.pack("<H", offset)

    body = bytearray()
    total = len(tail)
    for pattern, length in runs:
        total += length
        body += literal(pattern)
        left = length - len(pattern)
        while left > 0:
            body += copy(min(64, left), len(pattern))
            left -= min(64, left)
    return varint(total) + bytes(body) + literal(tail)


def expanding_table() -> bytes:
    """About 18 KB of table: one Snappy block whose first entry holds a 64 KiB
    key and whose 65,535 others repeat it whole (shared = 64 KiB, nothing new)."""
    first = block_entry(0, b"p" * KEY_SIZE, b"")
    head = first[: len(first) - KEY_SIZE]  # the three varints of the first entry
    repeat = block_entry(KEY_SIZE, b"", b"")
    restarts = struct.pack("<II", 0, 1)
    contents = snappy_runs([(head + b"p" * 60, len(head) + KEY_SIZE), (repeat, len(repeat) * (RECORDS - 1))], restarts)
    return table([(contents, True)])


def run_child(code: str, *, timeout: float = 300) -> str:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, env=os.environ | {"PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_table_that_expands_to_gigabytes_streams_in_bounded_memory(tmp_path: Path) -> None:
    data = expanding_table()
    assert len(data) < 20_000
    (tmp_path / "000001.ldb").write_bytes(data)
    out = run_child(f"""
        import pyarrow as pa, tarnwick
        rows = key_bytes = biggest = 0
        for batch in pa.RecordBatchReader.from_stream(tarnwick.scan({str(tmp_path)!r}, threads=2)):
            rows += batch.num_rows
            key_bytes += batch.column("key").nbytes
            biggest = max(biggest, batch.nbytes)
        # VmHWM starts afresh with the new program; ru_maxrss would carry
        # over the peak of the test process that started this one.
        peak = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:"))
        print(rows, key_bytes, biggest, peak)
    """)
    rows, key_bytes, biggest, max_rss_kib = map(int, out.split())
    assert rows == RECORDS
    assert key_bytes > 4 * 2**30  # 4 GiB of keys went through
    assert biggest < 16 * 2**20
    assert max_rss_kib < 512 * 1024


def test_dropping_a_stream_stops_the_workers_and_closes_every_file(tmp_path: Path) -> None:
    files = {f"{n:06d}.log": craft.log_file([craft.write_batch(n, [craft.put(b"k%d" % i, b"v" * 500)
                                                                    for i in range(200)])])
             for n in range(1, 41)}
    directory = craft.write_files(tmp_path / "db", files)
    out = run_child(f"""
        import os, time, pyarrow as pa, tarnwick
        def fds(): return len(os.listdir("/proc/self/fd"))
        def threads(): return len(os.listdir("/proc/self/task"))
        pa.table(tarnwick.scan({str(directory)!r}, threads=1))  # pyarrow's own threads start here, if at all
        before = fds(), threads()
        reader = pa.RecordBatchReader.from_stream(tarnwick.scan({str(directory)!r}, threads=4, batch_rows=10))
        first = reader.read_next_batch()
        during = fds(), threads()
        start = time.monotonic()
        try:
            for batch in reader:
                raise KeyboardInterrupt
        except KeyboardInterrupt:
            pass
        del reader, batch
        took = time.monotonic() - start
        print(*before, *during, fds(), threads(), took)
    """)
    fds_before, threads_before, fds_during, threads_during, fds_after, threads_after, took = out.split()
    assert int(threads_during) > int(threads_before)
    assert (int(fds_after), int(threads_after)) == (int(fds_before), int(threads_before))
    assert float(took) < 10


def test_more_files_than_the_process_may_open_are_all_read(tmp_path: Path) -> None:
    count = 300
    files = {f"{n:06d}.log": craft.log_file([craft.write_batch(n, [craft.put(b"key%d" % n, b"value")])])
             for n in range(1, count + 1)}
    directory = craft.write_files(tmp_path / "db", files)
    out = run_child(f"""
        import resource, tarnwick
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        records = list(tarnwick.records({str(directory)!r}, threads=4))
        report = tarnwick.inspect({str(directory)!r}, threads=4)
        print(len(records), len(report.left_out), len({{r.origin_file for r in records}}))
    """)
    assert out.split() == [str(count), "0", str(count)]


def test_a_directory_path_near_the_limit_is_read(tmp_path: Path) -> None:
    want = len(_tarnwick.RawLevelDb(str(SAMPLE)).iterate_records_raw())
    # Nest directories until the store's path is 4,085 bytes: it can still be
    # opened, but the path of a file in it passes PATH_MAX (4,096 with its NUL).
    # Each directory is made relative to the last.
    target = 4085 - len("/db")
    deep = str(tmp_path)
    fd = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
    try:
        while len(deep) < target:
            left = target - len(deep) - 1  # after this one's separator
            size = min(250, left)
            if left - size == 1:  # no room for a separator and a name after it
                size -= 1
            name = "d" * size
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd, deep = inner, f"{deep}/{name}"
        os.mkdir("db", dir_fd=fd)
        store = os.open("db", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        for source in SAMPLE.iterdir():
            out = os.open(source.name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=store)
            os.write(out, source.read_bytes())
            os.close(out)
        os.close(store)
    finally:
        os.close(fd)
    path = f"{deep}/db"
    assert len(path) == 4085 and len(f"{path}/000005.ldb") >= 4096
    got = pa.table(tarnwick.scan(path))
    assert got.num_rows == want
    assert got.column("file").to_pylist()[0] == f"{path}/000005.ldb"
    report = tarnwick.inspect(path)
    assert report.complete and not report.left_out


def test_a_slow_consumer_holds_the_workers_back(tmp_path: Path) -> None:
    files = {f"{n:06d}.log": craft.log_file([craft.write_batch(n, [craft.put(b"k%d" % i, b"v" * 100)
                                                                    for i in range(1000)])])
             for n in range(1, 101)}
    directory = craft.write_files(tmp_path / "db", files)
    it = tarnwick.records(directory, threads=2, batch_rows=100)
    next(it)
    time.sleep(0.5)  # ample time for unbounded workers to read all 100 files
    read = sum(f.status == "read" for f in it.report.files)
    assert read < 10
    it.close()
