"""Seed corpora for the fuzz targets, cut from databases that LevelDB wrote.

    python fuzz/make_corpus.py OUT_DIR [--max-size BYTES] [--max-files N]

writes OUT_DIR/<target>/<sha1> for each target:

  table_reader  whole table files
  log_reader    whole log files and manifests (both are in the log format)
  version_edit  each logical record of each manifest
  block         each block of each table file, behind one byte that tells the
                target how to take it: 0 for block contents, 1 for the Snappy
                data of a compressed block
  block_carver  whole table files, and each cut short at a third and at two
                thirds of its length

The databases are written by plyvel with several block sizes, restart
intervals and both compression settings, with deletions, overwrites and a
batch large enough to be cut into fragments across log blocks. The same seed
always gives the same files.
"""

from __future__ import annotations

import argparse
import hashlib
import random
import sys
import tempfile
from collections.abc import Iterator
from pathlib import Path

import plyvel

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
from engine_db import snappy_decompress  # noqa: E402
from test_damage_sweep import (  # noqa: E402  (the layout readers of the damage sweep)
    LOG_BLOCK_SIZE,
    LOG_HEADER_SIZE,
    TableLayout,
)

VARIANTS = [
    # compression, block size, restart interval, large batch in the log
    (None, 1024, 16, False),
    ("snappy", 1024, 16, False),
    (None, 1024, 1, True),
    ("snappy", 4096, 4, True),
]


def write_database(path: Path, compression: str | None, block_size: int, restart: int, large: bool, seed: int) -> None:
    rng = random.Random(seed)
    db = plyvel.DB(
        str(path),
        create_if_missing=True,
        compression=compression,
        block_size=block_size,
        block_restart_interval=restart,
        bloom_filter_bits=10,
    )
    for round_ in range(2):
        for _ in range(80):
            key = b"user:%03d:%s" % (rng.randrange(120), b"name" if rng.random() < 0.5 else b"mail")
            if rng.random() < 0.2:
                db.delete(key)
            else:
                db.put(key, b"v" * rng.randrange(8) + bytes(rng.randrange(97, 105) for _ in range(rng.randrange(60))))
        db.compact_range()
    if large:
        db.put(b"large", bytes(rng.randrange(256) for _ in range(LOG_BLOCK_SIZE + 5000)))
    with db.write_batch() as batch:
        for i in range(5):
            batch.put(b"batch-%d" % i, b"x" * i)
        batch.delete(b"user:001:name")
    for i in range(20):
        db.put(b"late-%02d" % i, b"y" * rng.randrange(40))
    db.close()


def logical_payloads(data: bytes) -> Iterator[bytes]:
    """The logical records of a sound log-format file."""
    gathered = b""
    for base in range(0, len(data), LOG_BLOCK_SIZE):
        block = data[base : base + LOG_BLOCK_SIZE]
        p = 0
        while p + LOG_HEADER_SIZE <= len(block):
            length = int.from_bytes(block[p + 4 : p + 6], "little")
            kind = block[p + 6]
            payload = block[p + LOG_HEADER_SIZE : p + LOG_HEADER_SIZE + length]
            p += LOG_HEADER_SIZE + length
            if kind == 1:
                yield payload
            elif kind in (2, 3):
                gathered = (b"" if kind == 2 else gathered) + payload
            elif kind == 4:
                yield gathered + payload


def block_seeds(data: bytes) -> Iterator[bytes]:
    layout = TableLayout.of(data)
    for block in [*layout.data_blocks, *layout.meta_blocks, layout.index_block]:
        raw = data[block.offset : block.offset + block.size]
        if block.compressed:
            yield b"\x01" + raw
            yield b"\x00" + snappy_decompress(raw)
        else:
            yield b"\x00" + raw


def seeds(work: Path) -> Iterator[tuple[str, bytes]]:
    for number, (compression, block_size, restart, large) in enumerate(VARIANTS):
        directory = work / f"db{number}"
        write_database(directory, compression, block_size, restart, large, seed=number)
        for path in sorted(directory.iterdir()):
            data = path.read_bytes()
            if path.suffix == ".ldb":
                yield "table_reader", data
                yield "block_carver", data
                yield "block_carver", data[: len(data) // 3]
                yield "block_carver", data[: 2 * len(data) // 3]
                for block in block_seeds(data):
                    yield "block", block
            elif path.suffix == ".log":
                yield "log_reader", data
            elif path.name.startswith("MANIFEST-"):
                yield "log_reader", data
                for payload in logical_payloads(data):
                    yield "version_edit", payload


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--max-size", type=int, default=None, help="leave out seeds larger than this")
    parser.add_argument("--max-files", type=int, default=None, help="at most this many seeds per target")
    args = parser.parse_args()
    candidates: dict[str, list[bytes]] = {}
    with tempfile.TemporaryDirectory() as work:
        for target, data in seeds(Path(work)):
            if args.max_size is None or len(data) <= args.max_size:
                candidates.setdefault(target, []).append(data)
    for target, found in sorted(candidates.items()):
        if args.max_files is not None and len(found) > args.max_files:
            # Spread the choice over all databases and kinds of block.
            step = (len(found) - 1) / max(args.max_files - 1, 1)
            found = [found[round(i * step)] for i in range(args.max_files)]
        directory = args.out / target
        directory.mkdir(parents=True, exist_ok=True)
        for data in found:
            (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)
        print(f"{target}: {len(found)} seeds in {directory}")


if __name__ == "__main__":
    main()
