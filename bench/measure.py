"""One measurement in a fresh Python process; prints one JSON object.

  measure.py tarnwick DIR --reps N
      RawLevelDb(DIR).iterate_records_raw(), N times
  measure.py scan DIR --reps N [--threads T]
      pa.table(tarnwick.scan(DIR, threads=T)), N times: every batch kept
  measure.py scan-stream DIR --reps N [--threads T]
      every batch of tarnwick.scan(DIR, threads=T) read through
      pa.RecordBatchReader.from_stream and dropped (the streaming use)
  measure.py touch DIR --bytes B
      no reading: B bytes of fresh anonymous memory written once, page by
      page (what keeping every batch costs the kernel, whoever decodes)
  measure.py plyvel DIR --reps N [--copy-each-rep]
      list(plyvel.DB(COPY).iterator()), N times, on a copy of DIR made
      beforehand (opening a database with the engine can rewrite it); with
      --copy-each-rep a fresh copy before every repetition (for a directory
      whose log the engine replays into a table on opening)

  --memory LIB      one call only, with the anonymous resident memory sampled
                    by the native sampler LIB (rss_sampler.cpp) during the call
  --tracemalloc     one call only, under tracemalloc (Python allocators only)
  --scratch DIR     where the engine's copies go (default: beside DIR)
  --perf-control CTL,ACK
                    fifos of `perf record --control fifo:CTL,ACK -D -1`: the
                    events are enabled for the reading call only

Each repetition times opening and reading apart; freeing the result list is
timed too but not part of the figure. The process's peak resident set
(ru_maxrss) is reported as well; it includes the pages of mapped files.
"""

from __future__ import annotations

import os

# pyarrow imports numpy, whose OpenBLAS starts a thread per core that spins
# waiting for work; on two cores that takes a core from the scanner's workers.
# Nothing measured here uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse
import ctypes
import gc
import json
import resource
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import TextIO


def _copy(source: Path, scratch: Path) -> Path:
    target = Path(tempfile.mkdtemp(prefix=f"{source.name}.engine-", dir=scratch))
    shutil.rmtree(target)
    shutil.copytree(source, target)
    return target


class Method:
    """Opens the database, then reads every record into one list."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args

    def prepare(self) -> None: ...

    def open(self): ...

    def read(self, db) -> list:
        raise NotImplementedError

    def close(self, db) -> None: ...

    def cleanup(self) -> None: ...

    def totals(self, records: list) -> dict:
        return {}


class Tarnwick(Method):
    def prepare(self) -> None:
        import _tarnwick

        self.module = _tarnwick

    def open(self):
        return self.module.RawLevelDb(str(self.args.dir))

    def read(self, db) -> list:
        return db.iterate_records_raw()

    def close(self, db) -> None:
        db.close()


class Scan(Method):
    """The scanner: a pyarrow Table of every batch."""

    def prepare(self) -> None:
        import pyarrow
        import tarnwick

        self.pa = pyarrow
        self.tarnwick = tarnwick

    def open(self):
        threads = self.args.threads or None
        return self.tarnwick.scan(str(self.args.dir), threads=threads)

    def read(self, scan):
        return self.pa.table(scan)

    def totals(self, table) -> dict:
        return {
            "key_bytes": table.column("key").nbytes,
            "value_bytes": table.column("value").nbytes,
            "batches": table.column("key").num_chunks,
            "table_bytes": table.nbytes,
        }


class ScanStream(Scan):
    """The scanner streaming: each batch dropped once seen. The result is a
    range as long as the records, so that the caller can count them."""

    def read(self, scan):
        rows = 0
        for batch in self.pa.RecordBatchReader.from_stream(scan):
            rows += batch.num_rows
        return range(rows)

    def totals(self, records) -> dict:
        return {}


class Touch(Method):
    """Fresh memory only: an anonymous mapping of --bytes written once."""

    def open(self):
        return None

    def read(self, _):
        import ctypes
        import mmap

        size = self.args.bytes
        memory = mmap.mmap(-1, size)
        address = ctypes.addressof(ctypes.c_char.from_buffer(memory))
        ctypes.memset(address, 1, size)
        return range(0)


class Plyvel(Method):
    def prepare(self) -> None:
        import plyvel

        self.module = plyvel
        self.scratch = Path(self.args.scratch or self.args.dir.parent)
        self.copy: Path | None = None

    def open(self):
        if self.copy is None or self.args.copy_each_rep:
            self.cleanup()
            self.copy = _copy(self.args.dir, self.scratch)
        return self.module.DB(str(self.copy))

    def read(self, db) -> list:
        return list(db.iterator())

    def close(self, db) -> None:
        db.close()

    def cleanup(self) -> None:
        if self.copy is not None:
            shutil.rmtree(self.copy, ignore_errors=True)
            self.copy = None

    def totals(self, records: list) -> dict:
        return {
            "key_bytes": sum(len(k) for k, _ in records),
            "value_bytes": sum(len(v) for _, v in records),
        }


class PerfControl:
    """Switches a waiting `perf record` on and off through its control fifos."""

    def __init__(self, fifos: str | None) -> None:
        self.ctl: TextIO | None = None
        self.ack: TextIO | None = None
        if fifos:
            ctl, ack = fifos.split(",")
            self.ctl = open(ctl, "w")
            self.ack = open(ack)

    def command(self, text: str) -> None:
        if self.ctl is not None and self.ack is not None:
            self.ctl.write(text + "\n")
            self.ctl.flush()
            self.ack.readline()


def run(args: argparse.Namespace) -> dict:
    method = {"tarnwick": Tarnwick, "plyvel": Plyvel, "scan": Scan, "scan-stream": ScanStream,
              "touch": Touch}[args.method](args)
    method.prepare()
    out: dict = {"method": args.method, "dir": str(args.dir), "reps": []}
    sampler = None
    if args.memory:
        sampler = ctypes.CDLL(args.memory)
        sampler.rss_sampler_current_kib.restype = ctypes.c_longlong
        sampler.rss_sampler_stop.restype = ctypes.c_longlong
        sampler.rss_sampler_samples.restype = ctypes.c_longlong
    perf = PerfControl(args.perf_control)
    reps = 1 if (args.memory or args.tracemalloc) else args.reps
    try:
        for rep in range(reps):
            start = time.perf_counter()
            db = method.open()
            opened = time.perf_counter()
            if sampler is not None:
                gc.collect()
                baseline = sampler.rss_sampler_current_kib()
                sampler.rss_sampler_start(500)
                start_read = time.perf_counter()
                records = method.read(db)
                done = time.perf_counter()
                peak = sampler.rss_sampler_stop()
                out["rss_anon_baseline_kib"] = baseline
                out["rss_anon_peak_kib"] = peak
                out["rss_anon_after_kib"] = sampler.rss_sampler_current_kib()
                out["rss_samples"] = sampler.rss_sampler_samples()
            elif args.tracemalloc:
                import tracemalloc

                tracemalloc.start()
                before = tracemalloc.get_traced_memory()[0]
                start_read = time.perf_counter()
                records = method.read(db)
                done = time.perf_counter()
                current, peak = tracemalloc.get_traced_memory()
                tracemalloc.stop()
                out["tracemalloc_peak_bytes"] = peak - before
                out["tracemalloc_current_bytes"] = current - before
            else:
                perf.command("enable")
                start_read = time.perf_counter()
                records = method.read(db)
                done = time.perf_counter()
                perf.command("disable")
            method.close(db)
            out["records"] = len(records)
            if rep == 0:
                out |= method.totals(records)
            freeing = time.perf_counter()
            del records
            freed = time.perf_counter()
            out["reps"].append({
                "open": opened - start,
                "scan": done - start_read,
                "free": freed - freeing,
            })
    finally:
        method.cleanup()
    out["maxrss_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("method", choices=["tarnwick", "plyvel", "scan", "scan-stream", "touch"])
    parser.add_argument("dir", type=Path)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--copy-each-rep", action="store_true")
    parser.add_argument("--threads", type=int, default=0, help="scanner threads (default: the cores)")
    parser.add_argument("--bytes", type=int, default=0, help="touch: how many bytes")
    parser.add_argument("--memory", metavar="LIB")
    parser.add_argument("--tracemalloc", action="store_true")
    parser.add_argument("--scratch")
    parser.add_argument("--perf-control", metavar="CTL,ACK")
    json.dump(run(parser.parse_args()), sys.stdout)
    print()


if __name__ == "__main__":
    main()
