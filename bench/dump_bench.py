"""Throughput and peak memory of ``tarnwick dump``, as a user runs it.

Each measurement is ``python -m tarnwick dump DIR --format F -o FILE`` in a
fresh process, the output going to a file beside the data sets (removed
afterwards). The time is the process's wall time, start-up included; the
memory is its peak resident set (ru_maxrss of the child, which includes the
pages of mapped store files while they are mapped). Records per second
count every record of the store (all of them are dumped), by wall time;
on a machine shared with other work, the processor seconds (user and system,
all threads) tell more. Shape a_x5 (10 M records) is made from shape a.

After the dumps, ``tarnwick summary DIR`` is set against ``tarnwick.inspect(DIR)``
on each shape, both in a fresh process: the summary is a formatting of the
report that inspect() returns, so its time should stay within 1.2 times
inspect()'s and its peak memory equal to it.

Usage: dump_bench.py --data ROOT [--shapes a,a_x5] [--formats jsonl,csv,parquet]
                     [--reps N] [--out FILE]
Shapes whose data set is not in ROOT are left out with a note (make them
with make_data.py).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DEFAULT_FORMATS = "jsonl,csv,text,parquet,arrow"

# Ten million records: shape a's tables five times over, as hard links under
# new file numbers. The reader takes every table file of a folder, so this is
# a store of 10 M records that costs no disk space and no engine time.
TENFOLD = "a_x5"
TENFOLD_COPIES = 5


def make_tenfold(data: Path) -> None:
    source = data / "a"
    if not source.is_dir():
        return
    building = data / (TENFOLD + ".tmp")
    if building.exists():
        for stale in building.iterdir():
            stale.unlink()
    else:
        building.mkdir()
    tables = sorted(source.glob("*.ldb"))
    for copy in range(TENFOLD_COPIES):
        for n, table in enumerate(tables):
            os.link(table, building / f"{copy * 100_000 + n + 1:06d}.ldb")
    building.rename(data / TENFOLD)


def run_dump(python: str, directory: Path, fmt: str, target: Path) -> tuple[float, float, int]:
    """(wall seconds, processor seconds, peak RSS in bytes) of one dump."""
    return run_measured([python, "-m", "tarnwick", "dump", str(directory), "--format", fmt, "-o", str(target), "--force"])


# The two ways to get a store's report: the command, and the function it formats.
REPORT_COMMANDS = {
    "summary": lambda python, directory: [python, "-m", "tarnwick", "summary", str(directory)],
    "inspect()": lambda python, directory: [python, "-c", "import sys, tarnwick; tarnwick.inspect(sys.argv[1])",
                                            str(directory)],
}


def run_measured(command: list[str]) -> tuple[float, float, int]:
    """(wall seconds, processor seconds, peak RSS in bytes) of one command."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - start
        process.returncode = code = os.waitstatus_to_exitcode(status)
        if code != 0:
            errors.seek(0)
            raise SystemExit(f"failed ({code}): {' '.join(command)}\n{errors.read().decode(errors='replace')}")
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024


def record_count(python: str, directory: Path) -> int:
    """Every record of the store: the total line of ``tarnwick summary``."""
    result = subprocess.run([python, "-m", "tarnwick", "summary", str(directory)], capture_output=True, text=True, check=True)
    total = next(line for line in result.stdout.splitlines() if line.startswith("total "))
    return int(total.split()[4])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", required=True, type=Path)
    parser.add_argument("--shapes", default=f"a,{TENFOLD}")
    parser.add_argument("--formats", default=DEFAULT_FORMATS)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--out", type=Path, help="also write the table here (Markdown)")
    args = parser.parse_args()

    rows = [
        "| shape | format | records | seconds (median) | records/s | CPU seconds | output MiB | peak RSS MiB |",
        "|---|---|---|---|---|---|---|---|",
    ]
    print(rows[0], rows[1], sep="\n", flush=True)
    for shape in args.shapes.split(","):
        directory = args.data / shape
        if shape == TENFOLD and not directory.is_dir():
            make_tenfold(args.data)
        if not directory.is_dir():
            print(f"(shape {shape}: no data set in {args.data}; make it with bench/make_data.py)", flush=True)
            continue
        records = record_count(args.python, directory)
        for fmt in args.formats.split(","):
            with tempfile.TemporaryDirectory(prefix="dump-bench-", dir=args.data) as scratch:
                target = Path(scratch) / f"out.{fmt}"
                times, cpu, peaks = [], [], []
                for _ in range(args.reps):
                    seconds, processor, peak = run_dump(args.python, directory, fmt, target)
                    times.append(seconds)
                    cpu.append(processor)
                    peaks.append(peak)
                size = target.stat().st_size
            median = statistics.median(times)
            row = (
                f"| {shape} | {fmt} | {records:,} | {median:.2f} | {records / median:,.0f} | "
                f"{statistics.median(cpu):.2f} | {size / 2**20:,.0f} | {max(peaks) / 2**20:,.0f} |"
            )
            rows.append(row)
            print(row, flush=True)
    rows += report_rows(args)
    if args.out:
        args.out.write_text("\n".join(rows) + "\n")
    return 0


def report_rows(args: argparse.Namespace) -> list[str]:
    """summary against inspect(): time, its ratio to inspect()'s, and peak memory."""
    rows = [
        "",
        "| shape | command | seconds (median) | × inspect() | CPU seconds | peak RSS MiB |",
        "|---|---|---|---|---|---|",
    ]
    print(*rows, sep="\n", flush=True)
    for shape in args.shapes.split(","):
        directory = args.data / shape
        if not directory.is_dir():
            continue
        measured = {}
        for name, command in REPORT_COMMANDS.items():
            runs = [run_measured(command(args.python, directory)) for _ in range(args.reps)]
            measured[name] = (
                statistics.median(r[0] for r in runs),
                statistics.median(r[1] for r in runs),
                max(r[2] for r in runs),
            )
        for name, (seconds, processor, peak) in measured.items():
            row = (
                f"| {shape} | {name} | {seconds:.2f} | {seconds / measured['inspect()'][0]:.2f} | "
                f"{processor:.2f} | {peak / 2**20:,.0f} |"
            )
            rows.append(row)
            print(row, flush=True)
    return rows


if __name__ == "__main__":
    sys.exit(main())
