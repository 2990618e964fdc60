"""Manifests built to stall the open or exhaust memory.

A manifest changes no record, yet opening a directory decodes it: whatever its
content, that must cost time n log n and memory a small multiple of its size.
The engine never writes such files, so they are built here, quickly (numpy
for the large one).
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from _tarnwick import RawLevelDb
from craft import LOG_BLOCK_SIZE, LOG_HEADER_SIZE, LogWriter, RecordType, varint

# Under the sanitizer build (ASan in LD_PRELOAD) the manifests are still
# opened, for faults, but memory is not compared: ASan's shadow and redzones
# are not the reader's.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")

NEW_FILE_TAG = 7
END_OF_EDIT_TAG = 8  # an obsolete tag: decoding stops at it
LARGEST_FULL_PAYLOAD = LOG_BLOCK_SIZE - LOG_HEADER_SIZE


def new_file(level: int, number: int) -> bytes:
    """The shortest new-file field for a number: size 1 and empty keys."""
    return varint(NEW_FILE_TAG) + varint(level) + varint(number) + varint(1) + varint(0) + varint(0)


def manifest_of(fields: list[bytes]) -> bytes:
    """The fields packed into edits of at most one block each."""
    writer = LogWriter()
    edit = bytearray()
    for field in fields:
        if len(edit) + len(field) > LARGEST_FULL_PAYLOAD:
            writer.add_record(bytes(edit))
            edit.clear()
        edit += field
    if edit:
        writer.add_record(bytes(edit))
    return writer.getvalue()


# Bucket counts a standard hash map of integers (identity hash) passes through
# as it grows: every multiple of one lands in the same bucket while the map
# has that many buckets.
FLOODED_BUCKET_COUNT = 351061


def test_numbers_colliding_in_a_hash_table_do_not_stall_the_open(tmp_path):
    # 351,061 additions, 3.8 MB: a hash map took over a minute (quadratic).
    numbers = [k * FLOODED_BUCKET_COUNT for k in range(1, FLOODED_BUCKET_COUNT + 1)]
    (tmp_path / "MANIFEST-000001").write_bytes(manifest_of([new_file(k % 7, n) for k, n in enumerate(numbers)]))
    # Processor time, not the wall clock: what a quadratic blow-up spends is
    # work, and a machine busy with other builds must not fail the bound.
    start = time.process_time()
    with RawLevelDb(str(tmp_path)) as db:
        assert db.iterate_records_raw() == []
    # A generous bound, against a quadratic blow-up only: the open takes well
    # under a second.
    assert time.process_time() - start < 10


# The smallest new-file field with a distinct number among millions: tag,
# level, a 4-byte number, size and two empty keys.
ADDITION_SIZE = 9
NUMBER_BYTES = 4


def additions(count: int) -> np.ndarray:
    """`count` additions of distinct numbers in scrambled order, one per row."""
    index = np.arange(count, dtype=np.uint64)
    # Multiplying by an odd constant permutes [0, 2^27); the offset makes every
    # number take exactly four varint bytes.
    numbers = (index * np.uint64(2654435761)) % np.uint64(1 << 27) + np.uint64(1 << 21)
    rows = np.zeros((count, ADDITION_SIZE), dtype=np.uint8)
    rows[:, 0] = NEW_FILE_TAG
    rows[:, 1] = index % np.uint64(7)
    for i in range(NUMBER_BYTES):
        group = (numbers >> np.uint64(7 * i)) & np.uint64(0x7F)
        rows[:, 2 + i] = group | np.uint64(0x80 if i + 1 < NUMBER_BYTES else 0)
    rows[:, 6] = 1  # size; the two key lengths stay 0
    return rows


def large_manifest(blocks: int, *, one_edit: bool) -> bytes:
    """`blocks` full blocks of additions: an edit per block (a Full record each,
    its last byte ending the edit), or one edit spanning them all (First,
    Middle..., Last), which the reader must assemble whole."""
    payloads = np.full((blocks, LARGEST_FULL_PAYLOAD), END_OF_EDIT_TAG, dtype=np.uint8)
    if one_edit:
        count = payloads.size // ADDITION_SIZE
        payloads.reshape(-1)[: count * ADDITION_SIZE] = additions(count).reshape(-1)
    else:
        per_block = LARGEST_FULL_PAYLOAD // ADDITION_SIZE
        payloads[:, : per_block * ADDITION_SIZE] = additions(per_block * blocks).reshape(blocks, -1)

    block = np.zeros((blocks, LOG_BLOCK_SIZE), dtype=np.uint8)
    block[:, 4:6] = np.frombuffer(LARGEST_FULL_PAYLOAD.to_bytes(2, "little"), dtype=np.uint8)
    if one_edit:
        block[:, 6] = RecordType.MIDDLE
        block[0, 6] = RecordType.FIRST
        block[-1, 6] = RecordType.LAST
    else:
        block[:, 6] = RecordType.FULL
    block[:, LOG_HEADER_SIZE:] = payloads
    return block.tobytes()


# The child reads its peak from /proc: unlike getrusage's, it starts afresh at
# exec instead of carrying the parent's.
PEAK_GROWTH_SCRIPT = """
import re, sys
from _tarnwick import RawLevelDb
def peak():
    with open("/proc/self/status") as status:
        return int(re.search(r"VmHWM:\\s*(\\d+) kB", status.read()).group(1)) * 1024
before = peak()
with RawLevelDb(sys.argv[1]) as db:
    assert db.iterate_records_raw() == []
print(peak() - before)
"""


def peak_growth_of_opening(directory: Path) -> int:
    """Bytes by which opening the directory raised a fresh process's peak
    resident memory."""
    done = subprocess.run(
        [sys.executable, "-c", PEAK_GROWTH_SCRIPT, str(directory)], capture_output=True, text=True, check=True
    )
    return int(done.stdout)


@pytest.mark.parametrize("one_edit", [False, True], ids=["edit_per_block", "one_edit"])
def test_a_manifest_of_millions_of_additions_opens_within_four_times_its_size(tmp_path, one_edit):
    # 1,280 blocks: 40 MB, 4.7 million additions. Holding each as a decoded
    # field with its keys took 6 times the manifest's size with an edit per
    # block, 14 times with one edit of them all.
    data = large_manifest(1280, one_edit=one_edit)
    (tmp_path / "MANIFEST-000001").write_bytes(data)
    growth = peak_growth_of_opening(tmp_path)
    if not UNDER_ASAN:
        assert growth <= 4 * len(data)
