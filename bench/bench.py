"""Runs every measurement on every data set and prints the comparison table.

Usage: bench.py --data ROOT --build BUILD_DIR [--shapes a,a_quarter,b,c,d]
                [--reps 5] [--engine-reps 3] [--out bench/results.md]
                [--salvage-only]

For each data set, in one run (the scanner's rows 1b-1d beside the list's):
  1. _tarnwick.RawLevelDb(d).iterate_records_raw()      (Python, whole list)
  1b. pa.table(tarnwick.scan(d, threads=1)), and 1c. with threads=2
  1d. tarnwick.scan(d) streamed: each batch dropped once seen (its memory is
      measured too: the bound must hold whatever the store's size, so with
      --big-store also on a store of 10 M records)
  2. the readers in C++: Db::open(d), Db::records(false)  (no Python)
     2b. the same with a callback that keeps nothing     (decoding alone)
  3. list(plyvel.DB(copy).iterator())                     (the engine, Python)
  4. every table through leveldb::Table::Open + iterator  (the engine, C++)
  5. every table carved as if its footer were lost, against reading it
     through its index (bench/salvage_scan.cpp); alone with --salvage-only,
     which replaces only that section of --out
Each repetition runs in a fresh process (the files in the page cache) and the
median is reported. The memory of (1) and (3) is measured in another
fresh process with one call: peak RssAnon during the call minus RssAnon
before it, sampled by a native thread.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

DESCRIPTIONS = {
    "a": "2 M small records, compacted, Snappy",
    "a_quarter": "500 k small records, compacted, Snappy",
    "b": "2 M small records, compacted, uncompressed",
    "c": "1 M small records, all in one .log",
    "d": "4,096 records of 64 KiB, compacted, Snappy",
    "a_small": "200 k small records, compacted, Snappy",
    "c_small": "200 k small records, all in one .log",
}

METHODS = [
    ("py", "`_tarnwick` `RawLevelDb(d).iterate_records_raw()`"),
    ("cpp_records", "readers in C++: `Db::open` + `Db::records(false)`"),
    ("cpp_sink", "readers in C++: `Db::read_records`, nothing kept"),
    ("scan1", "scanner: `pa.table(tarnwick.scan(d, threads=1))`"),
    ("scan2", "scanner: `pa.table(tarnwick.scan(d, threads=2))`"),
    ("stream", "scanner streaming: each batch of `RecordBatchReader.from_stream(tarnwick.scan(d))` dropped"),
    ("plyvel", "engine from Python: `list(plyvel.DB(d).iterator())`"),
    ("engine_cpp", "engine in C++: `Table::Open` + iterator, all tables"),
]


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def run_json(command: list[str], env: dict | None = None) -> dict:
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise SystemExit(f"failed ({done.returncode}): {' '.join(command)}\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def total(rep: dict) -> float:
    return rep["open"] + rep["scan"]


def median_total(result: dict) -> float:
    return statistics.median(total(r) for r in result["reps"])


def spread(result: dict) -> float:
    times = [total(r) for r in result["reps"]]
    return max(times) / min(times) - 1 if len(times) > 1 and min(times) > 0 else 0.0


def run_interleaved(plan: list[tuple[str, list[str], int]]) -> dict[str, dict]:
    """Runs each command of the plan its number of times, one repetition per
    fresh process, taking the commands in turn (one repetition of each, then
    the next round), so that a change in the machine's load falls on all of
    them alike.

    A fresh process per repetition is how the reader is used: one call in a
    process whose heap has not grown yet, so the page faults of new memory are
    paid as they are in practice. Later calls in the same process reuse memory
    already faulted in, and come out faster than any user sees.
    """
    merged: dict[str, dict] = {}
    for round_ in range(max(times for _, _, times in plan)):
        for key, command, times in plan:
            if round_ >= times:
                continue
            result = run_json(command)
            if key not in merged:
                merged[key] = result
            else:
                merged[key]["reps"] += result["reps"]
                merged[key]["maxrss_kib"] = max(merged[key]["maxrss_kib"], result["maxrss_kib"])
    return merged


def commands(directory: Path, build: Path) -> dict[str, list[str]]:
    programs = build / "bench"
    scan = str(programs / "tarnwick_scan")
    measure = [sys.executable, str(HERE / "measure.py")]
    return {
        "cpp_records": [scan, str(directory), "1", "records"],
        "cpp_sink": [scan, str(directory), "1", "sink"],
        "engine_cpp": [str(programs / "leveldb_table_scan"), str(directory), "1"],
        "py": [*measure, "tarnwick", str(directory), "--reps", "1"],
        "plyvel": [*measure, "plyvel", str(directory), "--reps", "1"],
        "scan1": [*measure, "scan", str(directory), "--reps", "1", "--threads", "1"],
        "scan2": [*measure, "scan", str(directory), "--reps", "1", "--threads", "2"],
        "stream": [*measure, "scan-stream", str(directory), "--reps", "1"],
        "touch": [*measure, "touch", str(directory), "--reps", str(3)],
    }


LABELS = {
    "cpp_records": "readers C++ (records)",
    "cpp_sink": "readers C++ (sink)",
    "engine_cpp": "engine C++ table scan",
    "py": "_tarnwick (Python)",
    "plyvel": "plyvel (Python)",
    "scan1": "scanner, 1 thread",
    "scan2": "scanner, 2 threads",
    "stream": "scanner streaming",
}


def measure_shape(name: str, directory: Path, build: Path, reps: int, engine_reps: int,
                  has_tables: bool) -> dict:
    command = commands(directory, build)
    keys = ["cpp_records", "cpp_sink", "py", "scan1", "scan2", "stream", "plyvel"]
    if has_tables and (build / "bench" / "leveldb_table_scan").exists():
        keys.insert(2, "engine_cpp")
    out = run_interleaved([(key, command[key], engine_reps if key == "plyvel" else reps) for key in keys])
    for key in keys:
        log(f"  {name:9} {LABELS[key]:24} {median_total(out[key]):8.3f} s  ({out[key]['records']:,} records)")

    if has_tables:
        out["salvage"] = measure_salvage(name, directory, build, reps)

    sampler = str(build / "bench" / "libtarnwick_rss_sampler.so")
    out["py_mem"] = run_json([*command["py"], "--memory", sampler])
    out["py_tracemalloc"] = run_json([*command["py"], "--tracemalloc"])
    out["plyvel_mem"] = run_json([*command["plyvel"], "--memory", sampler])
    out["stream_mem"] = run_json([*command["stream"], "--memory", sampler])
    if "scan1" in out and out["scan1"].get("table_bytes"):
        # What the table's fresh memory alone costs, whoever fills it.
        out["touch"] = run_json([*command["touch"], "--bytes", str(out["scan1"]["table_bytes"])])
    return out


def measure_salvage(name: str, directory: Path, build: Path, reps: int) -> dict:
    """Carving every table as if its footer were lost, against reading it
    through its index (bench/salvage_scan.cpp)."""
    tables = sorted(str(p) for p in directory.glob("*.ldb"))
    out = run_json([str(build / "bench" / "salvage_scan"), str(reps), *tables])
    log(f"  {name:9} {'carving / normal read':24} {out['ratio']:8.2f} × ({out.get('cpu_ratio', float('nan')):.2f} × "
        f"in CPU time)")
    return out


def render_salvage(results: dict) -> list[str]:
    """The salvage table: one row per shape with table files."""
    rows = [(name, res["salvage"]) for name, res in results.items() if res.get("salvage")]
    if not rows:
        return []
    lines = ["## Salvage: carving vs a normal read", "",
             "Every table of the shape read through its index (`LdbFile::open` + `read_records`), and again as if "
             "its footer were lost (`LdbFile::open_unindexed` + `salvage_records`: every block found by its "
             "checksum, then decoded), the two in alternation; best of the repetitions. CPU time is the measuring "
             "thread's, which other work on a busy machine disturbs far less than the wall clock. The last columns "
             "time the carving pass alone (every block accepted undecoded) with each way of running CRC-32C: the "
             "slicing tables, and the processor's instruction where it has one (the method carving uses then).",
             "",
             "| shape | records (read / carved) | table MiB | read s | carve s | ratio | read CPU s | carve CPU s | "
             "CPU ratio | pass, tables CPU s | pass, instruction CPU s |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    for name, sv in rows:
        passes = sv.get("pass", {})

        def cpu(key: str) -> str:
            return f"{passes[key]['cpu_seconds']:.3f}" if key in passes else "–"

        cells = [f"{name} ({DESCRIPTIONS.get(name, '')})", f"{sv['read_records']:,} / {sv['carve_records']:,}",
                 mib(sv["table_bytes"]) if "table_bytes" in sv else "–",
                 f"{sv['read_seconds']:.3f}", f"{sv['carve_seconds']:.3f}", f"{sv['ratio']:.2f}",
                 f"{sv['read_cpu_seconds']:.3f}" if "read_cpu_seconds" in sv else "–",
                 f"{sv['carve_cpu_seconds']:.3f}" if "carve_cpu_seconds" in sv else "–",
                 f"{sv['cpu_ratio']:.2f}" if "cpu_ratio" in sv else "–", cpu("software"), cpu("hardware")]
        lines.append("| " + " | ".join(cells) + " |")
    lines.append("")
    return lines


def splice_section(report: str, section: list[str]) -> str:
    """`report` with its salvage section replaced by `section` (inserted
    before the targets when it has none)."""
    lines = report.splitlines()
    heading = section[0]
    if heading in lines:
        start = lines.index(heading)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
    else:
        start = end = next((i for i, line in enumerate(lines) if line.startswith("## Targets")), len(lines))
    return "\n".join(lines[:start] + section + lines[end:]) + "\n"


# A store of 10 M records, for the scanner's streaming memory only: the bound
# must not grow with the store. Building it takes the engine a while (about
# ten minutes on 2 cores), so it is made and measured only when asked for
# (--big-store, or TARNWICK_BENCH_BIG=1).
BIG_STORE = "a_10m"


def measure_big_store(data: Path, build: Path) -> dict:
    sys.path.insert(0, str(HERE))
    import make_data

    make_data.SHAPES.setdefault(BIG_STORE, make_data.Shape(10_000_000, 50, 200, "snappy", "compacted", 1000, 7))
    log(f"data set {BIG_STORE} in {data} (made once; about ten minutes)")
    make_data.ensure(data, [BIG_STORE])
    sampler = str(build / "bench" / "libtarnwick_rss_sampler.so")
    out = {"stream_mem": run_json([*commands(data / BIG_STORE, build)["stream"], "--memory", sampler])}
    mem = out["stream_mem"]
    log(f"  {BIG_STORE}: streaming anonymous memory added "
        f"{(mem['rss_anon_peak_kib'] - mem['rss_anon_baseline_kib']) / 1024:.1f} MiB ({mem['records']:,} records)")
    return out


def measure_linearity(data: Path, build: Path, reps: int) -> dict:
    """a and a_quarter measured in alternation, for the linearity check; the
    engine's C++ table scan beside them shows what the machine itself does."""
    big, small = commands(data / "a", build), commands(data / "a_quarter", build)
    plan = [("py_quarter", small["py"], reps), ("py", big["py"], reps)]
    if (build / "bench" / "leveldb_table_scan").exists():
        plan += [("engine_quarter", small["engine_cpp"], reps), ("engine", big["engine_cpp"], reps)]
    out = run_interleaved(plan)
    log(f"  linearity: _tarnwick {median_total(out['py']) / median_total(out['py_quarter']):.2f}× the time "
        f"for {out['py']['records'] / out['py_quarter']['records']:.2f}× the records")
    return out


# ---------------------------------------------------------------------------
# Report


def mib(n: float) -> str:
    return f"{n / 2**20:,.1f}"


def machine() -> dict:
    model = "unknown"
    cpus = 0
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name") and model == "unknown":
                model = line.split(":", 1)[1].strip()
            if line.startswith("processor"):
                cpus += 1
    except OSError:
        pass
    memory = ""
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                memory = f"{int(line.split()[1]) / 2**20:.0f} GiB"
    except OSError:
        pass
    return {
        "cpu": model,
        "cores": cpus or os.cpu_count(),
        "memory": memory,
        "kernel": platform.release(),
        "python": platform.python_version(),
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "load": " ".join(f"{x:.2f}" for x in os.getloadavg()),
    }


def render(results: dict, linearity: dict | None, metas: dict, info: dict, reps: int, engine_reps: int) -> str:
    lines: list[str] = []
    add = lines.append
    add("# Benchmark results")
    add("")
    load = f"load average at start {info['load']}"
    if info.get("load_end"):
        load += f", at the end {info['load_end']}"
    add(f"Machine: {info['cpu']}, {info['cores']} cores, {info['memory']} RAM, Linux {info['kernel']}, "
        f"Python {info['python']}. Run: {info['date']}, {load}.")
    add("")
    busiest = max(float(x) for x in (info["load"] + " " + info.get("load_end", "")).split())
    if busiest > 0.5 * float(info["cores"] or 1):
        add(f"**The machine was busy during this run (load average up to {busiest:.1f} on {info['cores']} "
            "cores): the times are noisy and slower than on a quiet machine. Rerun `./dev bench` on a quiet "
            "machine before judging the targets.**")
        add("")
    add(f"Times are medians of {reps} repetitions ({engine_reps} for plyvel), each in a fresh process (one call "
        "per process, as in use: new memory is paid for in page faults) with the files in the page cache, and "
        "cover opening the directory plus reading every record. "
        "\"spread\" is slowest/fastest − 1; MiB/s counts the key and value bytes delivered. \"× floor\" is ns per record divided by that of the engine's C++ "
        "table scan (lower is better); \"plyvel ÷\" is how many times faster per record than plyvel. "
        "Peak RSS is the process's ru_maxrss (it includes the pages of the mapped files); \"anon added\" is the "
        "peak of RssAnon during the read minus RssAnon before it; \"B/rec over k+v\" is that minus the key and "
        "value bytes held by the records, per record.")
    add("")

    add("## Data sets")
    add("")
    add("| shape | what | records (ours: table / log) | key bytes | value bytes | on disk MiB | table files / logs |")
    add("|---|---|---|---|---|---|---|")
    measured = {name: res for name, res in results.items() if name != BIG_STORE}
    for name, res in measured.items():
        meta, ours = metas[name], res["cpp_records"]
        add(f"| {name} | {DESCRIPTIONS.get(name, '')} | {ours['records']:,} ({ours['table_records']:,} / "
            f"{ours['log_records']:,}) | {mib(ours['key_bytes'])} MiB | {mib(ours['value_bytes'])} MiB | "
            f"{mib(meta['disk_bytes'])} | {meta['table_files']} / {meta['log_files']} |")
    add("")
    add("Key bytes are those of our records: a table record's key includes its 8-byte trailer, a log record's "
        "does not.")
    add("")

    for name, res in measured.items():
        add(f"## Shape {name}: {DESCRIPTIONS.get(name, '')}")
        add("")
        add("| method | records | median s | open s | spread | ns/rec | M rec/s | MiB/s | × floor | plyvel ÷ | "
            "peak RSS MiB | anon added MiB | B/rec over k+v |")
        add("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        floor = res.get("engine_cpp")
        floor_ns = median_total(floor) / floor["records"] * 1e9 if floor and floor["records"] else None
        ply = res["plyvel"]
        ply_ns = median_total(ply) / ply["records"] * 1e9 if ply["records"] else None
        kv = res["cpp_records"]["key_bytes"] + res["cpp_records"]["value_bytes"]
        for key, label in METHODS:
            r = res.get(key)
            if r is None:
                add(f"| {label} | – | n/a (no table files) | | | | | | | | | | |")
                continue
            n = r["records"]
            t = median_total(r)
            opened = statistics.median(x["open"] for x in r["reps"])
            ns = t / n * 1e9 if n else float("nan")
            own_kv = r.get("key_bytes", 0) + r.get("value_bytes", 0)
            if key in ("py", "scan1", "scan2", "stream"):  # the same records as the readers'
                own_kv = kv
            elif key == "plyvel":
                own_kv = res["plyvel_mem"].get("key_bytes", 0) + res["plyvel_mem"].get("value_bytes", 0)
            cells = [label, f"{n:,}", f"{t:.3f}", f"{opened:.3f}", f"{spread(r) * 100:.0f} %", f"{ns:,.0f}",
                     f"{n / t / 1e6:.3g}" if t else "–", f"{own_kv / t / 2**20:,.0f}" if t else "–",
                     f"{ns / floor_ns:.2f}" if floor_ns else "–",
                     f"{ply_ns / ns:.1f}" if ply_ns and key != "plyvel" else "–"]
            if key == "stream":
                mem = res["stream_mem"]
                added = (mem["rss_anon_peak_kib"] - mem["rss_anon_baseline_kib"]) * 1024
                cells += [mib(mem["maxrss_kib"] * 1024), mib(added), "–"]
            elif key in ("py", "plyvel"):
                mem = res[f"{key}_mem"]
                added = (mem["rss_anon_peak_kib"] - mem["rss_anon_baseline_kib"]) * 1024
                held = kv if key == "py" else mem.get("key_bytes", 0) + mem.get("value_bytes", 0)
                cells += [mib(mem["maxrss_kib"] * 1024), mib(added), f"{(added - held) / n:,.0f}" if n else "–"]
            else:
                cells += [mib(r["maxrss_kib"] * 1024), "–", "–"]
            add("| " + " | ".join(cells) + " |")
        tm = res["py_tracemalloc"]
        py = res["py"]
        free = statistics.median(x["free"] for x in py["reps"])
        add("")
        add(f"_tarnwick: tracemalloc peak {mib(tm['tracemalloc_peak_bytes'])} MiB "
            f"({tm['tracemalloc_peak_bytes'] / max(py['records'], 1):.0f} B/record; Python allocators only, so "
            f"the record objects and the list but not the key and value buffers); freeing the list afterwards "
            f"takes {free:.3f} s (not included above). Engine from Python: each repetition opens its own copy of "
            f"the directory.")
        if metas[name].get("layout") == "log":
            add("")
            add(f"Shape {name} holds no table file, so there is no engine C++ table scan to compare with. plyvel "
                "replays the log into a table when it opens the directory (each repetition opens a fresh copy); "
                "that replay is in its time (see the open column).")
        add("")

    lines.extend(render_salvage(measured))

    add("## Targets (shape a)")
    add("")
    for line in checks(results, linearity):
        add(f"- {line}")
    add("")
    return "\n".join(lines)


def checks(results: dict, linearity: dict | None) -> list[str]:
    out = []

    def verdict(ok: bool) -> str:
        return "PASS" if ok else "FAIL"

    a = results.get("a")
    if a is None:
        return ["shape a was not measured"]
    py = a["py"]
    py_ns = median_total(py) / py["records"] * 1e9
    floor = a.get("engine_cpp")
    if floor:
        floor_ns = median_total(floor) / floor["records"] * 1e9
        ratio = py_ns / floor_ns
        out.append(f"{verdict(ratio <= 1.5)} iterate_records_raw vs engine C++ table scan: {py_ns:,.0f} vs "
                   f"{floor_ns:,.0f} ns per record = {ratio:.2f}× (target ≤ 1.5×)")
    else:
        out.append("FAIL iterate_records_raw vs engine C++ table scan: not measured (leveldb_table_scan missing)")
    ply_ns = median_total(a["plyvel"]) / a["plyvel"]["records"] * 1e9
    speedup = ply_ns / py_ns
    out.append(f"{verdict(speedup >= 4)} faster than list(plyvel.DB(d).iterator()): {ply_ns:,.0f} vs "
               f"{py_ns:,.0f} ns per record = {speedup:.1f}× (target ≥ 4×)")
    mem = a["py_mem"]
    added = (mem["rss_anon_peak_kib"] - mem["rss_anon_baseline_kib"]) * 1024
    kv = a["cpp_records"]["key_bytes"] + a["cpp_records"]["value_bytes"]
    limit = kv + 128 * py["records"]
    out.append(f"{verdict(added <= limit)} peak anonymous memory added: {mib(added)} MiB for {mib(kv)} MiB of keys "
               f"and values = {(added - kv) / py['records']:.0f} B per record beyond them "
               f"(target ≤ {mib(limit)} MiB, 128 B/record)")
    out += scanner_checks(a, results.get(BIG_STORE))
    for name in ("a", "b"):
        salvage = results.get(name, {}).get("salvage")
        if salvage is None:
            out.append(f"FAIL carving the tables of {name} vs reading them through their index: not measured")
            continue
        ratio = salvage["ratio"]
        out.append(f"{verdict(ratio <= 2 and salvage['same_bytes'])} carving the tables of {name} (footer taken as "
                   f"lost) vs reading them through their index: {salvage['carve_seconds']:.3f} vs "
                   f"{salvage['read_seconds']:.3f} s = {ratio:.2f}× (target ≤ 2×; in CPU time "
                   f"{salvage.get('cpu_ratio', float('nan')):.2f}×), "
                   f"{salvage['carve_records']:,} of {salvage['read_records']:,} records")
    lin = linearity
    if lin is None:
        out.append("FAIL linear cost: shapes a and a_quarter were not both measured")
    else:
        records_ratio = lin["py"]["records"] / lin["py_quarter"]["records"]
        time_ratio = median_total(lin["py"]) / median_total(lin["py_quarter"])
        limit = 1.1 * records_ratio
        engine = ""
        if "engine" in lin:
            engine_ratio = median_total(lin["engine"]) / median_total(lin["engine_quarter"])
            engine = f"; the engine's C++ table scan, measured alongside, took {engine_ratio:.2f}×"
        out.append(f"{verdict(time_ratio <= limit)} linear cost: {records_ratio:.2f}× the records took "
                   f"{time_ratio:.2f}× the time (target ≤ {limit:.2f}×; a and a_quarter measured in "
                   f"alternation, {len(lin['py']['reps'])} times each{engine})")
    return out


def scanner_checks(a: dict, big: dict | None) -> list[str]:
    def verdict(ok: bool) -> str:
        return "PASS" if ok else "FAIL"

    out = []
    floor = a.get("engine_cpp")
    for key, threads, target in (("scan1", 1, 1.0), ("scan2", 2, 0.6)):
        if key not in a or not floor:
            out.append(f"FAIL pa.table(tarnwick.scan(d, threads={threads})) vs engine C++ table scan: not measured")
            continue
        ratio = median_total(a[key]) / median_total(floor)
        ns = median_total(a[key]) / a[key]["records"] * 1e9
        line = (f"{verdict(ratio <= target)} pa.table(tarnwick.scan(d, threads={threads})) vs engine C++ table "
                f"scan: {ns:,.0f} vs {median_total(floor) / floor['records'] * 1e9:,.0f} ns per record = "
                f"{ratio:.2f}× (target ≤ {target}×)")
        touch = a.get("touch")
        if ratio > target and touch and "stream" in a:
            fresh_ns = median_total(touch) / a[key]["records"] * 1e9
            stream_ns = median_total(a["stream"]) / a["stream"]["records"] * 1e9
            line += (f". Bounded by the table's fresh memory: writing its {mib(a[key]['table_bytes'])} MiB once "
                     f"into fresh pages, with no decoding at all, takes {fresh_ns:,.0f} ns per record here "
                     f"(page faults), while the same scan streamed, keeping no batch, takes {stream_ns:,.0f}")
        out.append(line)
    for name, res in (("a", a), (BIG_STORE, big)):
        if res is None:
            out.append(f"– streaming memory on {name}: not measured (run with --big-store or TARNWICK_BENCH_BIG=1)")
            continue
        mem = res["stream_mem"]
        added = (mem["rss_anon_peak_kib"] - mem["rss_anon_baseline_kib"]) * 1024
        out.append(f"{verdict(added <= 64 * 2**20)} streaming anonymous memory beyond the interpreter's baseline on "
                   f"{name} ({mem['records']:,} records): {mib(added)} MiB (target ≤ 64 MiB)")
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, required=True)
    parser.add_argument("--build", type=Path, required=True)
    parser.add_argument("--shapes", default="a,a_quarter,b,c,d")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--engine-reps", type=int, default=3)
    parser.add_argument("--out", type=Path, default=HERE / "results.md")
    parser.add_argument("--json", type=Path, help="also write the raw measurements here")
    parser.add_argument("--from-json", type=Path, help="measure nothing: render the table from this file")
    parser.add_argument("--salvage-only", action="store_true",
                        help="measure only carving vs a normal read, and replace that section of --out")
    parser.add_argument("--big-store", action="store_true", default=os.environ.get("TARNWICK_BENCH_BIG") == "1",
                        help=f"also build {BIG_STORE} (10 M records) and measure the scanner's streaming memory on it")
    args = parser.parse_args()

    if args.salvage_only:
        info = machine()
        results = {}
        for name in args.shapes.split(","):
            if json.loads((args.data / f"{name}.json").read_text())["table_files"] > 0:
                results[name] = {"salvage": measure_salvage(name, args.data / name, args.build, args.reps)}
        info["load_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
        section = render_salvage(results)
        section[1:1] = ["", f"Measured alone (`bench.py --salvage-only`): {info['date']}, {info['cpu']}, load "
                            f"average at start {info['load']}, at the end {info['load_end']}."]
        print("\n".join(section))
        previous = args.out.read_text() if args.out.exists() else ""
        args.out.write_text(splice_section(previous, section))
        log(f"salvage section written to {args.out}")
        return

    if args.from_json:
        saved = json.loads(args.from_json.read_text())
        info, results, linearity = saved["machine"], saved["results"], saved.get("linearity")
        reps, engine_reps = saved.get("reps", args.reps), saved.get("engine_reps", args.engine_reps)
    else:
        info = machine()
        results = {}
        reps, engine_reps = args.reps, args.engine_reps
        for name in args.shapes.split(","):
            meta = json.loads((args.data / f"{name}.json").read_text())
            results[name] = measure_shape(name, args.data / name, args.build, reps, engine_reps,
                                          has_tables=meta["table_files"] > 0)
        linearity = None
        if "a" in results and "a_quarter" in results:
            linearity = measure_linearity(args.data, args.build, reps)
        if args.big_store:
            results[BIG_STORE] = measure_big_store(args.data, args.build)
        info["load_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    metas = {name: json.loads((args.data / f"{name}.json").read_text()) for name in results if name != BIG_STORE}
    report = render(results, linearity, metas, info, reps, engine_reps)
    print()
    print(report)
    args.out.write_text(report)
    log(f"written to {args.out}")
    if args.json and not args.from_json:
        args.json.write_text(json.dumps({"machine": info, "reps": reps, "engine_reps": engine_reps,
                                         "results": results, "linearity": linearity}, indent=1))


if __name__ == "__main__":
    main()
