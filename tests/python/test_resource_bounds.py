"""Memory and time stay proportional to the bytes of the files, whatever the
files claim.

Each case is a database directory of hand-built files, each file making a
claim that the engine would never write: a Snappy header announcing
gigabytes, log records of the largest length, restart counts in the billions,
an index that lists one block a million times, write batches announcing 2^32 - 1
entries, varints of the largest width wherever a varint is read. Each is read
in a fresh interpreter that reports its peak resident memory (VmHWM), so
that one case's garbage does not hide another's.

The bound checked, with F the total size of the directory's files, R the number
of records returned and O the bytes of their keys and values:

    peak memory of RawLevelDb(dir) and iterate_records_raw()
        <= 256 * F + 256 * R + 2 * O + 16 MiB   (over the interpreter at rest)

where the parts come from:

* the mapping of every file (F), one block's decompressed contents at a time
  (Snappy cannot expand input more than 64 bytes per 3, so at most about 21 F),
  and the table index kept from open, at most one 16-byte handle per 5 bytes
  of decompressed index block (with a vector's growth, about 150 F for an
  index that is itself compressed as tightly as Snappy allows; about 7 F for a
  stored one);
* each record's Python object, its C++ part and its allocation (R), and its
  key and value bytes (O).

R itself is bounded by the files: every table entry takes at least 3 bytes of
its decompressed block, and every log entry at least 2 bytes of its batch, so
R <= 7.2 F + 1 for a compressed table and R <= F / 2 for a log. O is not bounded
by F: a block entry may take its whole key from the previous one, so a 3-byte
entry can repeat a key of any length (the shared-prefix case below), and such
records are what the file holds. The bound therefore counts the output
separately; everything that is not output stays within a fixed multiple of F.

Time is not measured: each case runs under a timeout that only a hang would
reach. Under the sanitizer build (ASan in LD_PRELOAD) the cases still run, for
crashes and reads outside the files, but memory is not compared.
"""

from __future__ import annotations

import json
import os
import struct
import subprocess
import sys
import textwrap
from collections.abc import Callable
from pathlib import Path

import pytest

from craft import (
    MAX_VARINT32,
    MAX_VARINT64,
    TABLE_MAGIC,
    TableWriter,
    block_entry,
    block_handle,
    block_trailer,
    fixed64,
    internal_key,
    log_file,
    physical_record,
    raw_block,
    snappy_literal,
    varint,
    write_batch,
)

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
MiB = 1 << 20

# --------------------------------------------------------------------------
# Bytes: craft.py's builders, and two made of them for the cases here


def table(data_blocks: list[tuple[bytes, bool]], index: bytes | None = None, index_compressed: bool = False) -> bytes:
    """Blocks (contents as stored, compressed or not) in order, then an index
    block; by default the index lists each data block once."""
    writer = TableWriter()
    for contents, compressed in data_blocks:
        writer.add_block(contents=contents, compression=int(compressed), snappy=False)
    return writer.finish(index_contents=index, index_compression=int(index_compressed))


def snappy_repeat(head: bytes, pattern: bytes, copies: int, tail: bytes) -> bytes:
    """Valid Snappy data for `head` and `pattern`, then `copies` 64-byte
    copies from len(pattern) bytes back, which go on repeating `pattern`, then
    `tail`. Each copy turns 3 input bytes into 64 output bytes, the most
    Snappy can expand."""
    total = len(head) + len(pattern) + 64 * copies + len(tail)
    literals = snappy_literal(head + pattern)[len(varint(len(head + pattern))) :]
    copy = bytes([(63 << 2) | 2]) + struct.pack("<H", len(pattern))
    body = literals + copy * copies + snappy_literal(tail)[len(varint(len(tail))) :]
    return varint(total) + body


# --------------------------------------------------------------------------
# Measuring in a fresh interpreter

MEASURE = textwrap.dedent(
    """
    import json, sys
    import _tarnwick

    # VmHWM is the peak resident memory of this process image. (ru_maxrss
    # would do, but after a fork it starts from the parent's peak.)
    def status(field):
        with open("/proc/self/status") as f:
            line = next(line for line in f if line.startswith(field + ":"))
        return int(line.split()[1]) * 1024

    before = status("VmRSS")
    with _tarnwick.RawLevelDb(sys.argv[1]) as db:
        records = db.iterate_records_raw()
        after = status("VmHWM")
    print(json.dumps({
        "extra": after - before,
        "records": len(records),
        "output": sum(len(r.key) + len(r.value) for r in records),
        "first": [(r.key.hex(), r.value[:64].hex(), r.seq, r.offset) for r in records[:4]],
    }))
    """
)


def measure(directory: Path) -> dict:
    done = subprocess.run(
        [sys.executable, "-c", MEASURE, str(directory)], capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout)
    result["files"] = sum(p.stat().st_size for p in directory.iterdir())
    return result


def check_bound(result: dict) -> None:
    bound = 256 * result["files"] + 256 * result["records"] + 2 * result["output"] + 16 * MiB
    if not UNDER_ASAN:
        assert result["extra"] <= bound, (
            f"peak {result['extra'] / MiB:.1f} MiB over a bound of {bound / MiB:.1f} MiB "
            f"for {result['files']} bytes of files and {result['records']} records"
        )


# --------------------------------------------------------------------------
# The cases: each writes files into a directory and says how many records
# must come out (or None when only the bound matters).

SOUND = raw_block(block_entry(0, internal_key(b"sound", 7), b"value"))


def snappy_claims_gigabytes(d: Path) -> int:
    # Compressed blocks whose headers claim 4 GiB, 2^35 - 1 bytes and 1 GiB over
    # a few bytes of body, beside one sound stored block.
    claims = [varint(0xFFFFFFFF) + b"\x00" * 8, MAX_VARINT32 + b"\x00" * 8, varint(1 << 30) + b"\xfc" + b"\x00" * 64]
    (d / "000001.ldb").write_bytes(table([(c, True) for c in claims] + [(SOUND, False)]))
    # An index block whose header claims 4 GiB: the file is refused at open.
    index = varint(0xFFFFFFFF) + bytes(20)
    (d / "000002.ldb").write_bytes(table([(SOUND, False)], index=index, index_compressed=True))
    return 1


def snappy_at_most_expansion(d: Path) -> int:
    # A block that really expands 64 bytes for each 3: 3-byte entries with an
    # empty key and value, as many as the decompressed contents hold.
    copies = 4000
    contents = snappy_repeat(b"", b"\x00" * 4, copies, b"\x00\x00\x00\x00\x01\x00\x00\x00")
    (d / "000001.ldb").write_bytes(table([(contents, True)]))
    decompressed = 4 + 64 * copies  # then the restart array of one slot and its count
    return decompressed // 3 + (1 if decompressed % 3 else 0)


def log_lengths_at_most(d: Path) -> int:
    # Every header claims 65535 bytes, more than any block holds.
    block_bytes = physical_record(1, b"", length=0xFFFF) * (32768 // 7)
    (d / "000001.log").write_bytes(block_bytes * 32)
    return 0


def log_fragments_across_file(d: Path) -> int:
    # One batch in fragments across 16 blocks, announcing 2^32 - 1 entries and
    # holding deletions of the empty key: two bytes each.
    entries = b"\x00\x00" * (16 * 32768 // 2)
    (d / "000001.log").write_bytes(log_file([write_batch(1, [entries], count=0xFFFFFFFF)]))
    return len(entries) // 2


def batch_count_at_most(d: Path) -> int:
    # 2^32 - 1 announced, one entry present, in a single Full record.
    (d / "000001.log").write_bytes(physical_record(1, write_batch(5, [b"\x01\x01k\x01v"], count=0xFFFFFFFF)))
    return 1


def restart_counts_huge(d: Path) -> int:
    # Restart counts that cannot fit, including ones whose size in bytes
    # overflows 32 bits, beside one sound block.
    blocks = [
        raw_block(block_entry(0, b"a" * 9, b"x"), num_restarts=0xFFFFFFFF),
        raw_block(block_entry(0, b"b" * 9, b"x"), num_restarts=0x40000000),
        raw_block(block_entry(0, b"c" * 9, b"x"), num_restarts=0x3FFFFFFF),
        raw_block(b"", restarts=(), num_restarts=0x80000000),
    ]
    (d / "000001.ldb").write_bytes(table([(b, False) for b in blocks] + [(SOUND, False)]))
    # An index block with such a count: refused at open.
    index = raw_block(b"", restarts=(), num_restarts=0xFFFFFFFF)
    (d / "000002.ldb").write_bytes(table([(SOUND, False)], index=index))
    return 1


def index_lists_one_block_a_million_times(d: Path) -> int:
    repeat = block_entry(1, b"", block_handle(0, len(SOUND)))  # the same key and handle
    index = raw_block(block_entry(0, b"k", block_handle(0, len(SOUND))) + repeat * 1_000_000)
    (d / "000001.ldb").write_bytes(table([(SOUND, False)], index=index))
    return 1


def index_lists_overlapping_distinct_handles(d: Path) -> None:
    # 10^5 distinct handles into one large block, each starting a byte later:
    # every one lies within the file, and together they would cover it
    # 10^5 times over. Only a bound on the bytes decoded per file keeps this
    # linear; which handles still decode is not the point.
    entries = b"".join(block_entry(0, b"k%07d" % i + struct.pack("<Q", 1 << 8 | 1), b"v" * 8) for i in range(6000))
    big = raw_block(entries)
    assert len(big) > 100_000
    index = raw_block(b"".join(block_entry(0, b"k%06d" % i, block_handle(i, len(big) - i)) for i in range(100_000)))
    (d / "000001.ldb").write_bytes(table([(big, False)], index=index))
    return None


def index_keys_share_a_long_prefix(d: Path) -> int:
    # Index entries that each take a 60 KB key from the one before: the keys
    # are never needed, and copying them would make 140 KB of file cost over
    # a gigabyte.
    key = b"x" * 60000
    repeat = block_entry(len(key), b"", block_handle(0, len(SOUND)))
    index = raw_block(block_entry(0, key, block_handle(0, len(SOUND))) + repeat * 20_000)
    (d / "000001.ldb").write_bytes(table([(SOUND, False)], index=index))
    return 1


def compressed_index_lists_one_block_millions_of_times(d: Path) -> int:
    # The same, with the index block compressed as tightly as Snappy allows:
    # the smallest entries (5 bytes) repeated by 64-byte copies, over 4 index
    # entries per byte of file. A multiple of 5 copies ends on a whole entry.
    value = block_handle(0, len(SOUND))
    repeat = block_entry(1, b"", value)
    assert len(repeat) == 5
    copies = 40_000
    contents = snappy_repeat(block_entry(0, b"k", value), repeat, copies, struct.pack("<II", 0, 1))
    (d / "000001.ldb").write_bytes(table([(SOUND, False)], index=contents, index_compressed=True))
    return 1


def many_tiny_blocks(d: Path) -> int:
    count = 100_000
    blocks = [(raw_block(block_entry(0, b"%08d" % i, b"")), False) for i in range(count)]
    (d / "000001.ldb").write_bytes(table(blocks))
    return count


def widest_varints_everywhere(d: Path) -> int:
    """Varints of the largest width in every place one is read: over-long
    encodings of small values decode, values too large to fit stop decoding."""
    key = b"wide" + struct.pack("<Q", 1 << 8 | 1)  # sequence number 1, a value
    wide_entry = varint(0, 5) + varint(len(key), 5) + varint(1, 5) + key + b"v"  # decodes
    too_long = varint(0, 5) + MAX_VARINT32 + MAX_VARINT32 + b"never"  # stops its block
    blocks = [(raw_block(wide_entry), False), (raw_block(too_long), False)]
    data = bytearray()
    handles = []
    for contents, _ in blocks:
        handles.append(varint(len(data), 10) + varint(len(contents), 10))
        data += contents + block_trailer()
    handles.append(MAX_VARINT64 + MAX_VARINT64)  # a block at 2^64 - 1: skipped
    handles.append(varint(0, 10) + MAX_VARINT64)  # a size of 2^64 - 1: skipped
    index = raw_block(b"".join(block_entry(0, b"k%d" % i, h) for i, h in enumerate(handles)))
    index_at = len(data)
    data += index + block_trailer()
    # Both footer handles at their widest: 40 bytes, the padding taken up.
    data += varint(0, 10) + varint(0, 10) + varint(index_at, 10) + varint(len(index), 10)
    data += fixed64(TABLE_MAGIC)
    (d / "000001.ldb").write_bytes(bytes(data))
    # A footer whose index handle is the largest value: refused at open.
    (d / "000002.ldb").write_bytes(SOUND + block_trailer() + MAX_VARINT64 * 4 + fixed64(TABLE_MAGIC))

    # Log: key and value lengths over-long but small, then at their largest.
    good = b"\x01" + varint(3, 5) + b"abc" + varint(2, 5) + b"xy"
    bad = b"\x01" + MAX_VARINT32 + b"abc"
    (d / "000003.log").write_bytes(
        physical_record(1, write_batch(7, [good, good])) + physical_record(1, write_batch(9, [good, bad]))
    )

    # Manifest: every tag and field at its widest, lengths at their largest.
    edit = (
        varint(2, 5) + MAX_VARINT64  # log number
        + varint(7, 5) + varint(3, 5) + MAX_VARINT64 + MAX_VARINT64 + MAX_VARINT64 + b"smallest"  # new file
        + varint(5, 5) + MAX_VARINT32 + MAX_VARINT64 + b"key"  # compact pointer
        + varint(1, 5) + MAX_VARINT64 + b"comparator"
    )
    (d / "MANIFEST-000004").write_bytes(physical_record(1, edit) * 100)
    return 1 + 2 + 1


def shared_prefix_output(d: Path) -> int:
    # 4-byte entries each repeating a 10 KiB key: the output is what the file
    # holds, about 2500 times its size.
    key = b"p" * 10240
    entries = block_entry(0, key, b"") + block_entry(len(key), b"", b"") * 5000
    (d / "000001.ldb").write_bytes(table([(raw_block(entries), False)]))
    return 5001


CASES: list[Callable[[Path], int | None]] = [
    snappy_claims_gigabytes,
    snappy_at_most_expansion,
    log_lengths_at_most,
    log_fragments_across_file,
    batch_count_at_most,
    restart_counts_huge,
    index_lists_one_block_a_million_times,
    index_lists_overlapping_distinct_handles,
    index_keys_share_a_long_prefix,
    compressed_index_lists_one_block_millions_of_times,
    many_tiny_blocks,
    widest_varints_everywhere,
    shared_prefix_output,
]


@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
def test_memory_stays_within_the_bound(case: Callable[[Path], int | None], tmp_path: Path) -> None:
    expected_records = case(tmp_path)
    result = measure(tmp_path)
    print(
        f"\n{case.__name__}: {result['files']} bytes of files, {result['records']} records, "
        f"{result['output']} output bytes, peak +{result['extra'] / MiB:.1f} MiB"
    )
    if expected_records is not None:
        assert result["records"] == expected_records
    check_bound(result)


def test_widest_varints_decode_to_the_right_records(tmp_path: Path) -> None:
    widest_varints_everywhere(tmp_path)
    first = measure(tmp_path)["first"]
    key = b"wide" + struct.pack("<Q", 1 << 8 | 1)
    assert [(bytes.fromhex(k), bytes.fromhex(v), seq) for k, v, seq, _ in first] == [
        (key, b"v", 1),
        (b"abc", b"xy", 7),
        (b"abc", b"xy", 8),
        (b"abc", b"xy", 9),
    ]
