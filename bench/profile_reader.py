"""Where the reader's time goes: profiles, summarised as Markdown.

Usage: profile_reader.py --data ROOT --build BUILD_DIR [--out bench/profile.md]

Two kinds of profile:
  instructions  on the 200 k-record shapes a_small (tables) and c_small (log):
                callgrind, or perf with the cycles event where this machine
                has hardware counters; for the readers in C++ (Db::records)
                and for iterate_records_raw() called from Python
  time          perf with the cpu-clock event (no hardware counter needed) on
                the full shapes a and c, for iterate_records_raw() only (perf
                is switched on and off around the call), kernel included:
                page faults and clearing new memory do not show in callgrind

The Python calls use the copy of the module in BUILD_DIR, which has symbols.
Raw profiles stay in BUILD_DIR/profile.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from collections import defaultdict
from pathlib import Path

HERE = Path(__file__).resolve().parent


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Names


def _strip_balanced(text: str, open_char: str, close_char: str) -> str:
    out, depth = [], 0
    for ch in text:
        if ch == open_char:
            depth += 1
            if depth == 1:
                out.append(open_char + close_char)
            continue
        if ch == close_char and depth:
            depth -= 1
            continue
        if depth == 0:
            out.append(ch)
    return "".join(out)


def short_name(name: str, width: int = 110) -> str:
    """A C++ symbol without parameter lists and with the usual noise removed."""
    name = name.strip()
    name = re.sub(r"\s*\[[^\]]*\]$", "", name)  # [object file]
    name = re.sub(r"^/tmp/python-build[^:]*/", "python/", name)
    name = name.replace(str(HERE.parent) + "/", "")
    name = re.sub(r"^\./[^:]*/", "", name)  # glibc source paths
    name = name.replace("std::span<unsigned char const, 18446744073709551615ul>", "Bytes")
    name = name.replace("tarnwick::FunctionRef<void (tarnwick::RecordView const&)>", "RecordSink")
    name = name.replace("(anonymous namespace)::", "").replace("tarnwick::", "")
    name = name.replace("{lambda(", "{lambda<").replace(")#", ">#")
    name = _strip_balanced(name, "(", ")")
    name = name.replace("{lambda<", "{lambda(").replace(">#", ")#")
    name = re.sub(r"\{lambda\([^)]*\)#(\d+)\}", r"{lambda#\1}", name)
    name = re.sub(r"\(\)( const)?", "", name)
    return name if len(name) <= width else name[: width - 1] + "…"


def category(name: str) -> str:
    if "snappy" in name:
        return "Snappy decompression"
    if re.search(r"malloc|_int_free|cfree|\bfree\b|operator new|operator delete|unlink_chunk|alloc_perturb", name):
        return "malloc / free"
    if "memmove" in name or "memcpy" in name:
        return "memcpy"
    if "memset" in name:
        return "memset"
    if "python" in name.lower() or re.search(r"\bPy|_Py", name):
        return "Python runtime"
    if "tarnwick" in name or re.search(r"^(src|bench|/usr/include)/", name):
        return "reader code (src/, inlined std)"
    return "other"


# ---------------------------------------------------------------------------
# callgrind

_ROW = re.compile(r"^\s*([\d,]+)\s+\(\s*([\d.]+)%\)\s+(.*)$")


def _annotate_rows(path: Path, inclusive: bool) -> list[tuple[int, float, str]]:
    command = ["callgrind_annotate", "--threshold=100", f"--inclusive={'yes' if inclusive else 'no'}", str(path)]
    text = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    rows, in_table = [], False
    for line in text.splitlines():
        if re.match(r"^Ir\s+file:function", line):
            in_table = True
            continue
        if in_table:
            if not line.strip():
                break
            m = _ROW.match(line)
            if m:
                rows.append((int(m.group(1).replace(",", "")), float(m.group(2)), m.group(3)))
    return rows


def callgrind_section(title: str, path: Path) -> list[str]:
    exclusive = _annotate_rows(path, inclusive=False)
    inclusive = _annotate_rows(path, inclusive=True)
    total = sum(r[0] for r in exclusive) or 1
    out = [f"### {title}", "", f"{total:,} instructions in all.", ""]
    by_category: dict[str, int] = defaultdict(int)
    for count, _, name in exclusive:
        by_category[category(name)] += count
    out += ["| where | share |", "|---|---|"]
    for name, count in sorted(by_category.items(), key=lambda kv: -kv[1]):
        out.append(f"| {name} | {100 * count / total:.1f} % |")
    out += ["", "Self cost (top 15):", "", "| % | function |", "|---|---|"]
    for count, pct, name in exclusive[:15]:
        out.append(f"| {pct:.1f} | `{short_name(name)}` |")
    skip = re.compile(r"python-build|/csu/|below main|0x0|\?\?\?:\(|_start|main\b|PyEval|Vectorcall|"
                      r"_PyEval|run_mod|PyRun|Py_RunMain|Py_BytesMain|method_vectorcall")
    shown, seen = [], set()
    for count, pct, name in inclusive:
        short = short_name(name)
        if skip.search(name) or short in seen or pct > 99.9:
            continue
        seen.add(short)
        shown.append((pct, short))
        if len(shown) == 15:
            break
    out += ["", "Inclusive cost (top 15 below the entry point):", "", "| % | function |", "|---|---|"]
    out += [f"| {pct:.1f} | `{name}` |" for pct, name in shown]
    return out + [""]


# ---------------------------------------------------------------------------
# perf


def perf_usable(event: str) -> bool:
    if not shutil.which("perf"):
        return False
    done = subprocess.run(["perf", "stat", "-x,", "-e", event, "true"], capture_output=True, text=True)
    return done.returncode == 0 and "not supported" not in done.stderr and "not counted" not in done.stderr


def perf_record_call(event: str, command: list[str], output: Path, env: dict) -> None:
    """perf record around the reading call only (measure.py switches it)."""
    with tempfile.TemporaryDirectory() as tmp:
        ctl, ack = Path(tmp, "ctl"), Path(tmp, "ack")
        os.mkfifo(ctl)
        os.mkfifo(ack)
        subprocess.run(["perf", "record", "-q", "-e", event, "-F", "2000", "-D", "-1",
                        "--control", f"fifo:{ctl},{ack}", "-o", str(output), "--",
                        *command, "--perf-control", f"{ctl},{ack}"],
                       check=True, env=env, stdout=subprocess.DEVNULL)


def perf_stat_call(command: list[str], env: dict) -> tuple[int, float]:
    """Page faults during the reading call, and the call's time."""
    with tempfile.TemporaryDirectory() as tmp:
        ctl, ack, out = Path(tmp, "ctl"), Path(tmp, "ack"), Path(tmp, "stat")
        os.mkfifo(ctl)
        os.mkfifo(ack)
        done = subprocess.run(["perf", "stat", "-x,", "-e", "page-faults", "-D", "-1", "--control",
                               f"fifo:{ctl},{ack}", "-o", str(out), "--", *command, "--perf-control",
                               f"{ctl},{ack}"], check=True, env=env, capture_output=True, text=True)
        faults = 0
        for line in out.read_text().splitlines():
            fields = line.split(",")
            if len(fields) > 2 and "page-faults" in fields[2] and fields[0].strip().isdigit():
                faults = int(fields[0])
    result = json.loads(done.stdout.strip().splitlines()[-1])
    return faults, result["reps"][0]["scan"]


def page_fault_section(data: Path, measure: list[str], env: dict) -> list[str]:
    """How much of the cost is first touches of new memory: page faults with
    malloc's default 4 KiB pages, and with glibc putting its heap on
    transparent huge pages (GLIBC_TUNABLES=glibc.malloc.hugetlb=1)."""
    out = ["## Page faults during the call", "",
           "Median of 3 fresh processes each. The tunable makes glibc's malloc ask for transparent huge "
           "pages for its heap; the Python objects (pymalloc arenas) and the mapped files keep 4 KiB pages.", "",
           "| shape | malloc heap | page faults | faults per 1000 records | call s |", "|---|---|---|---|---|"]
    for shape, records in (("a", 2_000_000), ("c", 1_000_000)):
        for label, tunable in (("4 KiB pages", ""), ("huge pages", "glibc.malloc.hugetlb=1")):
            runs = [perf_stat_call([*measure, str(data / shape), "--reps", "1"],
                                   dict(env, GLIBC_TUNABLES=tunable)) for _ in range(3)]
            faults = statistics.median(r[0] for r in runs)
            seconds = statistics.median(r[1] for r in runs)
            out.append(f"| {shape} | {label} | {faults:,.0f} | {1000 * faults / records:.1f} | {seconds:.3f} |")
    return out + [""]


def perf_rows(path: Path, sort: str) -> list[tuple[float, str]]:
    text = subprocess.run(["perf", "report", "-i", str(path), "--stdio", "--no-children", "--sort", sort,
                           "-g", "none", "--percent-limit", "0.3"],
                          capture_output=True, text=True).stdout
    rows = []
    for line in text.splitlines():
        m = re.match(r"^\s*([\d.]+)%\s+(.*?)[\s-]*$", line)
        if m:
            rows.append((float(m.group(1)), m.group(2)))
    return rows


def perf_section(title: str, path: Path) -> list[str]:
    out = [f"### {title}", "", "| where (object) | share |", "|---|---|"]
    for pct, name in perf_rows(path, "dso"):
        out.append(f"| {name} | {pct:.1f} % |")
    out += ["", "Self time (top 20; [k] is the kernel):", "", "| % | function |", "|---|---|"]
    for pct, name in perf_rows(path, "symbol")[:20]:
        kernel = name.startswith("[k]")
        name = re.sub(r"^\[[.k]\]\s*", "", name)
        out.append(f"| {pct:.1f} | {'[k] ' if kernel else ''}`{short_name(name)}` |")
    return out + [""]


# ---------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, required=True)
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--out", type=Path, default=HERE / "profile.md")
    args = parser.parse_args()

    raw = args.build / "profile"
    raw.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, PYTHONPATH=str(args.build))
    scan = str(args.build / "bench" / "tarnwick_scan")
    measure = [sys.executable, str(HERE / "measure.py"), "tarnwick"]

    hardware = perf_usable("instructions")
    lines = ["# Profiles of the reader", "",
             f"Made by `bench/run.sh profile` on {datetime.datetime.now().astimezone():%Y-%m-%d %H:%M %Z}. "
             f"Raw profiles: `{raw}`.", ""]

    lines += ["## Instructions", ""]
    if hardware:
        lines += ["perf with the cycles event. 'C++' is `tarnwick_scan` (Db::open + Db::records, whole program); "
                  "'Python' is the iterate_records_raw() call alone.", ""]
    else:
        lines += ["callgrind (this machine has no hardware counters for perf): counts instructions, not time; "
                  "cache misses and the kernel are not in it. 'C++' is `Db::records` in `tarnwick_scan`; 'Python' "
                  "is the iterate_records_raw() call alone.", ""]
    for shape in ("a_small", "c_small"):
        for kind in ("C++", "Python"):
            directory = str(args.data / shape)
            command = [scan, directory, "1", "records"] if kind == "C++" else [*measure, directory, "--reps", "1"]
            base = raw / f"{shape}.{'cpp' if kind == 'C++' else 'python'}"
            log(f"  {shape} ({kind})")
            if hardware:
                if kind == "Python":
                    perf_record_call("cycles", command, base.with_suffix(".perf"), env)
                else:
                    subprocess.run(["perf", "record", "-q", "-F", "2000", "-o", str(base.with_suffix(".perf")),
                                    "--", *command], check=True, env=env, stdout=subprocess.DEVNULL)
                lines += perf_section(f"{shape}, {kind}", base.with_suffix(".perf"))
            else:
                toggle = "*iterate_records_raw*" if kind == "Python" else "*Db::records*"
                with open(base.with_suffix(".valgrind.log"), "w") as err:
                    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={base}.callgrind",
                                    f"--toggle-collect={toggle}", *command],
                                   check=True, env=env, stdout=subprocess.DEVNULL, stderr=err)
                lines += callgrind_section(f"{shape}, {kind}", Path(f"{base}.callgrind"))

    if perf_usable("cpu-clock"):
        lines += ["## Time, kernel included", "",
                  "perf with the cpu-clock event, switched on for the iterate_records_raw() call only, on the "
                  "full shapes, one call in a fresh process (as in the benchmark).", ""]
        for shape in ("a", "c"):
            log(f"  {shape} (time)")
            path = raw / f"{shape}.time.perf"
            perf_record_call("cpu-clock", [*measure, str(args.data / shape), "--reps", "1"], path, env)
            lines += perf_section(f"{shape}, Python", path)
        log("  page faults")
        lines += page_fault_section(args.data, measure, env)
    else:
        lines += ["## Time", "", "perf cannot sample here: no time profile.", ""]

    args.out.write_text("\n".join(lines))
    log(f"written to {args.out}")


if __name__ == "__main__":
    main()
