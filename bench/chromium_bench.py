"""Decoding throughput of tarnwick.chromium on a large synthetic Local Storage store.

    .venv/bin/python bench/chromium_bench.py [--records 1000000] [--data DIR] [--reps 3]

The store is written once with plyvel in the browser's key/value format (one origin,
keys ``_<origin>\\x00\\x01key<n>``, values Latin-1 or UTF-16 text of 20-120 characters,
Snappy tables after compaction, plus a tail of overwrites and deletions in the log) and
cached under DIR (default ${TARNWICK_BENCH_DATA:-/var/tmp/tarnwick-bench}/chromium-ls-<n>).
Each repetition runs in a fresh process and measures the CPU time (the machine may be
shared; CPU time is what a busy neighbour disturbs least) of: reading the records alone
(``_records.iter_records``), decoding them (``read_store``), and decoding with the
history labels (``history(read_store(...))``). Prints records per second (medians).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

ORIGIN = b"https://app.example.com"
STEPS = {
    "records": "list(iter_records(d))",
    "decode": "list(read_store(d))",
    "history": "history(read_store(d))",
}


def make_store(path: Path, n: int) -> None:
    import plyvel

    rng = random.Random(16)
    db = plyvel.DB(str(path), create_if_missing=True, compression="snappy",
                   write_buffer_size=8 << 20)
    db.put(b"VERSION", b"1")
    words = ["alpha", "βeta", "gamma", "delta", "日本", "epsilon", "zeta", "eta"]
    wb = db.write_batch()
    for i in range(n):
        text = " ".join(rng.choice(words) for _ in range(rng.randint(3, 20)))
        if all(ord(c) < 256 for c in text):
            v = b"\x01" + text.encode("latin-1")
        else:
            v = b"\x00" + text.encode("utf-16-le")
        wb.put(b"_" + ORIGIN + b"\x00\x01key" + str(i).encode(), v)
        if i % 100_000 == 99_999:
            wb.write()
            wb = db.write_batch()
    wb.write()
    db.compact_range()
    # A tail in the log: overwrites and deletions of 1 % of the keys.
    for i in rng.sample(range(n), n // 100):
        key = b"_" + ORIGIN + b"\x00\x01key" + str(i).encode()
        if i % 2:
            db.delete(key)
        else:
            db.put(key, b"\x01overwritten")
    db.close()


def child(step: str, store: str) -> None:
    from tarnwick.chromium import history, read_store  # noqa: F401
    from tarnwick.chromium._records import iter_records  # noqa: F401

    d = store
    t = time.process_time()
    result = eval(STEPS[step])  # noqa: S307 - the three fixed expressions above
    elapsed = time.process_time() - t
    print(json.dumps({"seconds": elapsed, "n": len(result)}))


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", type=int, default=1_000_000)
    ap.add_argument("--data", type=Path)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return 0
    root = Path(os.environ.get("TARNWICK_BENCH_DATA", "/var/tmp/tarnwick-bench"))
    store = args.data or root / f"chromium-ls-{args.records}"
    if not (store / "CURRENT").exists():
        store.parent.mkdir(parents=True, exist_ok=True)
        print(f"writing {args.records} records to {store} ...", file=sys.stderr)
        make_store(store, args.records)
    print(f"| step | records | CPU seconds (median of {args.reps}) | records/s |")
    print("|---|---|---|---|")
    for step in STEPS:
        runs = []
        for _ in range(args.reps):
            out = subprocess.run([sys.executable, __file__, "--child", step, str(store)],
                                 capture_output=True, text=True, check=True).stdout
            runs.append(json.loads(out))
        s = statistics.median(r["seconds"] for r in runs)
        n = runs[0]["n"]
        print(f"| {STEPS[step]} | {n:,} | {s:.2f} | {n / s:,.0f} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
