"""Files that change or are odd while they are read: sparse files whose holes
must stay holes, and a reading thread that blocks every signal while the file
shrinks under it.

Holes are made on tmpfs (/dev/shm), where reading a hole through a mapping
would allocate it: a file's block count shows whether anything touched one.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import plyvel
import pytest

import _tarnwick
from craft import LOG_BLOCK_SIZE as LOG_BLOCK
from engine_db import record_fields

MiB = 1 << 20
SHM = Path("/dev/shm")


def supports_holes(directory: Path) -> bool:
    if not directory.is_dir() or not os.access(directory, os.W_OK):
        return False
    probe = directory / f"tarnwick-hole-probe-{os.getpid()}"
    try:
        with open(probe, "wb") as f:
            f.truncate(4 * MiB)
            f.seek(2 * MiB)
            f.write(b"x")
        fd = os.open(probe, os.O_RDONLY)
        try:
            return os.lseek(fd, 0, os.SEEK_HOLE) == 0 and os.stat(probe).st_blocks * 512 < 4 * MiB
        finally:
            os.close(fd)
    except OSError:
        return False
    finally:
        probe.unlink(missing_ok=True)


needs_holes = pytest.mark.skipif(not supports_holes(SHM), reason="/dev/shm cannot hold sparse files here")


@pytest.fixture(scope="module")
def engine_log(tmp_path_factory: pytest.TempPathFactory) -> bytes:
    """The log of an engine-written database: puts and deletes in batches."""
    path = tmp_path_factory.mktemp("engine") / "db"
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(400):
        db.put(b"key-%04d" % i, b"value-%d-" % i * (i % 40 + 1))
        if i % 7 == 0:
            db.delete(b"key-%04d" % (i // 2))
    db.close()
    (log,) = path.glob("*.log")
    return log.read_bytes()


@pytest.fixture
def shm_dir():
    directory = SHM / f"tarnwick-test-{os.getpid()}"
    directory.mkdir()
    yield directory
    shutil.rmtree(directory)


def read(directory: Path) -> list[tuple]:
    with _tarnwick.RawLevelDb(str(directory)) as db:
        return [record_fields(r, lambda p: Path(p).name) for r in db.iterate_records_raw()]


def write_sparse(path: Path, pieces: dict[int, bytes], size: int) -> None:
    with open(path, "wb") as f:
        for offset, data in pieces.items():
            f.seek(offset)
            f.write(data)
        f.truncate(size)


def with_offset(record: tuple, delta: int) -> tuple:
    # record_fields: key, value, seq, state, file type, file, offset, compressed
    return record[:6] + (record[6] + delta,) + record[7:]


@needs_holes
def test_a_sparse_log_is_read_without_touching_its_holes(engine_log: bytes, shm_dir: Path, tmp_path: Path) -> None:
    alone = tmp_path / "alone"
    alone.mkdir()
    (alone / "000003.log").write_bytes(engine_log)
    expected_once = read(alone)
    assert len(expected_once) > 400

    # The log, a hole, the log again at a block boundary, and a long hole to
    # the end: the zeros of the holes give nothing, so the records are those
    # of the two copies.
    second = 40 * MiB
    log = shm_dir / "000003.log"
    write_sparse(log, {0: engine_log, second: engine_log}, 512 * MiB)
    blocks = log.stat().st_blocks

    assert read(shm_dir) == expected_once + [with_offset(r, second) for r in expected_once]
    assert log.stat().st_blocks == blocks, "reading allocated the holes"


@needs_holes
def test_a_huge_sparse_manifest_does_not_stall_the_open(engine_log: bytes, shm_dir: Path) -> None:
    (shm_dir / "000003.log").write_bytes(engine_log)
    manifest = shm_dir / "MANIFEST-000009"
    # Almost all hole; a little data far in, which the manifest reader skips to.
    write_sparse(manifest, {3 * 1024 * MiB: b"\x00" * 100}, 4 * 1024 * MiB)
    blocks = manifest.stat().st_blocks
    assert len(read(shm_dir)) > 400
    assert manifest.stat().st_blocks == blocks


# In a child: block every signal in the reading thread, then read a large log
# while another process truncates it. A blocked bus error would end the child.
BLOCKED_READER = textwrap.dedent(
    """
    import os, signal, subprocess, sys, time
    import _tarnwick

    directory, log = sys.argv[1], sys.argv[2]
    signal.pthread_sigmask(signal.SIG_BLOCK, set(signal.Signals) - {signal.SIGKILL, signal.SIGSTOP})
    truncator = subprocess.Popen([sys.executable, "-c",
        "import os, sys, time; sys.stdin.read(1); time.sleep(0.02); os.truncate(sys.argv[1], 70000)", log],
        stdin=subprocess.PIPE)
    db = _tarnwick.RawLevelDb(directory)
    truncator.stdin.write(b"x"); truncator.stdin.flush()
    records = db.iterate_records_raw()
    truncator.wait()
    bad = sum(1 for r in records if r.value and r.value != r.value[:1] * len(r.value))
    still_blocked = signal.SIGBUS in signal.pthread_sigmask(signal.SIG_BLOCK, [])
    print(len(records), bad, still_blocked)
    """
)


def test_a_thread_blocking_all_signals_survives_a_truncation(tmp_path: Path) -> None:
    directory = tmp_path / "db"
    db = plyvel.DB(str(directory), create_if_missing=True, write_buffer_size=1 << 30)
    for i in range(600):
        db.put(b"key-%04d" % i, bytes([65 + i % 26]) * (256 * 1024))
    db.close()
    (log,) = directory.glob("*.log")
    done = subprocess.run(
        [sys.executable, "-c", BLOCKED_READER, str(directory), str(log)], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, f"child ended with {done.returncode}: {done.stderr[-2000:]}"
    count, bad, still_blocked = done.stdout.split()
    # Whatever the timing, no value holds a byte the file did not: each was
    # written as one repeated letter. The thread's mask is as it was.
    assert int(bad) == 0 and int(count) <= 600 and still_blocked == "True"
