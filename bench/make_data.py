"""Benchmark data sets, written once by the LevelDB engine (plyvel) and cached.

Each shape is a database directory ROOT/<name>, with ROOT/<name>.json beside it
describing how it was made. A shape whose description matches the current
recipe is reused; anything else is rebuilt (into <name>.tmp, renamed when
complete, so an interrupted build never passes for a finished one).

Shapes:
  a          2,000,000 records, 20-byte keys, 50-200-byte JSON-like values,
             compacted into tables, Snappy on
  a_quarter  the same recipe with 500,000 records (for the linearity check)
  b          shape a with compression off
  c          1,000,000 records of the same kind that all sit in one .log: a
             write buffer of 1 GiB keeps the engine from flushing, and the
             directory is copied while the database is still open (closing and
             reopening would replay the log into a table)
  d          4,096 records with 64 KiB values, compacted, Snappy on
  a_small, c_small
             200,000-record versions of a and c, for profiling under valgrind

Usage: make_data.py ROOT [SHAPE...]   (default: a a_quarter b c d)
"""

from __future__ import annotations

import json
import os
import random
import shutil
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import plyvel

RECIPE_VERSION = 2


@dataclass(frozen=True)
class Shape:
    records: int
    value_min: int
    value_max: int
    compression: str | None  # "snappy" or None
    layout: str  # "compacted" or "log"
    batch: int  # records per write batch
    seed: int


SHAPES: dict[str, Shape] = {
    "a": Shape(2_000_000, 50, 200, "snappy", "compacted", 1000, 1),
    "a_quarter": Shape(500_000, 50, 200, "snappy", "compacted", 1000, 2),
    "b": Shape(2_000_000, 50, 200, None, "compacted", 1000, 1),
    "c": Shape(1_000_000, 50, 200, "snappy", "log", 10, 3),
    "d": Shape(4_096, 65_536, 65_536, "snappy", "compacted", 16, 4),
    "a_small": Shape(200_000, 50, 200, "snappy", "compacted", 1000, 5),
    "c_small": Shape(200_000, 50, 200, "snappy", "log", 10, 6),
}
DEFAULT_SHAPES = ["a", "a_quarter", "b", "c", "d"]

# ---------------------------------------------------------------------------
# Record contents. Values look like small JSON documents drawn from a limited
# vocabulary, so that Snappy finds repeats inside a block, as it would in real
# application data; each starts with a unique id.


def _vocabulary(rng: random.Random) -> list[str]:
    syllables = ["ka", "lo", "mi", "ne", "ru", "ta", "shi", "po", "ve", "dan", "el", "or", "qui", "zen", "bar", "fu"]
    words: set[str] = set()
    while len(words) < 600:
        words.add("".join(rng.choice(syllables) for _ in range(rng.randint(1, 4))))
    return sorted(words)


def _fragments(rng: random.Random, count: int) -> list[str]:
    """JSON-ish tails, each well over 200 characters."""
    words = _vocabulary(rng)
    out = []
    for _ in range(count):
        w = [rng.choice(words) for _ in range(40)]
        out.append(
            f'"user":"{w[0]}_{w[1]}","score":{rng.randint(0, 99999)},"active":{"true" if rng.random() < 0.5 else "false"},'
            f'"tags":["{w[2]}","{w[3]}","{w[4]}"],"created":"20{rng.randint(10, 24)}-{rng.randint(1, 12):02d}-'
            f'{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00Z","note":"{" ".join(w[5:])}"}}'
        )
    return out


def generate(shape: Shape):
    """Yields (key, value) pairs: random 20-byte hex keys, in random order."""
    rng = random.Random(shape.seed)
    fragments = _fragments(rng, 16384)
    getrandbits, randint = rng.getrandbits, rng.randint
    for i in range(shape.records):
        key = b"%020x" % getrandbits(80)
        length = randint(shape.value_min, shape.value_max)
        text = '{"id":%d,' % i
        while len(text) < length:
            text += fragments[getrandbits(14)]
        yield key, text[:length].encode()


# ---------------------------------------------------------------------------


def _description(name: str, shape: Shape) -> dict:
    return {"recipe": RECIPE_VERSION, "name": name, **asdict(shape)}


def is_current(root: Path, name: str) -> bool:
    meta = root / f"{name}.json"
    if not meta.is_file() or not (root / name).is_dir():
        return False
    try:
        stored = json.loads(meta.read_text())
    except ValueError:
        return False
    return {k: stored.get(k) for k in _description(name, SHAPES[name])} == _description(name, SHAPES[name])


def _write(db: plyvel.DB, shape: Shape) -> tuple[int, int]:
    key_bytes = value_bytes = 0
    batch = db.write_batch()
    in_batch = 0
    for key, value in generate(shape):
        batch.put(key, value)
        key_bytes += len(key)
        value_bytes += len(value)
        in_batch += 1
        if in_batch == shape.batch:
            batch.write()
            batch = db.write_batch()
            in_batch = 0
    if in_batch:
        batch.write()
    return key_bytes, value_bytes


def _listing(directory: Path) -> list[tuple[str, int]]:
    return sorted((p.name, p.stat().st_size) for p in directory.iterdir() if p.name != "LOG")


def _wait_until_still(directory: Path) -> None:
    """Waits for the engine's background compactions to end.

    Closing the database while one runs abandons it and leaves its half-written
    output table behind, which a benchmark should not read. The engine has no
    call that waits for them, so wait until the files stop changing.
    """
    previous, still = _listing(directory), 0
    while still < 3:
        time.sleep(0.5)
        current = _listing(directory)
        still = still + 1 if current == previous else 0
        previous = current


def _check_tables(directory: Path) -> None:
    magic = (0xDB4775248B80FB57).to_bytes(8, "little")
    for path in directory.iterdir():
        if path.suffix in (".ldb", ".sst"):
            with path.open("rb") as f:
                size = f.seek(0, 2)
                f.seek(max(size - 8, 0))
                if size < 48 or f.read(8) != magic:
                    raise SystemExit(f"{path}: not a complete table; remove {directory.parent} and retry")


def build(root: Path, name: str) -> None:
    shape = SHAPES[name]
    final = root / name
    work = root / f"{name}.tmp"
    live = root / f"{name}.live"
    for path in (work, live):
        shutil.rmtree(path, ignore_errors=True)
    (root / f"{name}.json").unlink(missing_ok=True)
    started = time.monotonic()
    print(f"  making {name}: {shape.records:,} records ({shape.layout}, compression {shape.compression})",
          file=sys.stderr, flush=True)

    if shape.layout == "compacted":
        db = plyvel.DB(str(work), create_if_missing=True, error_if_exists=True, compression=shape.compression,
                       write_buffer_size=4 << 20)
        key_bytes, value_bytes = _write(db, shape)
        # Every key is below 0xff. (Called without bounds, compact_range
        # compacts nothing: the engine receives empty keys for both ends.)
        db.compact_range(start=b"", stop=b"\xff" * 32)
        _wait_until_still(work)
        db.close()
        _check_tables(work)
    else:
        # Everything stays in the memtable and its log. The engine writes each
        # log record through to the file as it goes, so a copy taken while the
        # database is open holds every record; closing leaves the log as it is,
        # but any reopening would turn it into a table.
        db = plyvel.DB(str(live), create_if_missing=True, error_if_exists=True, compression=shape.compression,
                       write_buffer_size=1 << 30)
        key_bytes, value_bytes = _write(db, shape)
        shutil.copytree(live, work)
        db.close()
        shutil.rmtree(live)
        logs = [p for p in work.iterdir() if p.suffix == ".log"]
        tables = [p for p in work.iterdir() if p.suffix in (".ldb", ".sst")]
        if tables or not logs:
            raise SystemExit(f"{name}: expected only a log, found {len(tables)} tables and {len(logs)} logs")

    shutil.rmtree(final, ignore_errors=True)
    work.rename(final)
    files = sorted(p.name for p in final.iterdir())
    disk = sum((final / f).stat().st_size for f in files)
    meta = _description(name, shape) | {
        "user_key_bytes": key_bytes,
        "value_bytes": value_bytes,
        "disk_bytes": disk,
        "table_files": sum(f.endswith((".ldb", ".sst")) for f in files),
        "log_files": sum(f.endswith(".log") for f in files),
        "seconds": round(time.monotonic() - started, 1),
    }
    (root / f"{name}.json").write_text(json.dumps(meta, indent=1) + "\n")
    print(f"  made {name} in {meta['seconds']} s: {disk / 2**20:.0f} MiB on disk for "
          f"{(key_bytes + value_bytes) / 2**20:.0f} MiB of keys and values", file=sys.stderr, flush=True)


def ensure(root: Path, names: list[str]) -> None:
    root.mkdir(parents=True, exist_ok=True)
    for name in names:
        if name not in SHAPES:
            raise SystemExit(f"unknown shape {name!r}; known: {', '.join(SHAPES)}")
        if not is_current(root, name):
            build(root, name)


def main(argv: list[str]) -> None:
    if not argv:
        raise SystemExit(__doc__)
    ensure(Path(argv[0]), argv[1:] or DEFAULT_SHAPES)


if __name__ == "__main__":
    main(sys.argv[1:])
