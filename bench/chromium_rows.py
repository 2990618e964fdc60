"""``tarnwick chromium`` beside ``tarnwick dump`` on bulk profiles written by headless
Chromium (bench/chromium_profile.py), at scale 1 and 10.

Usage: chromium_rows.py --data ROOT [--scales 1,10] [--reps 3] [--timeout S]
                        [--into bench/results.md] [--json FILE] [--from-json FILE]

For each scale and each store kind (the profile's Local Storage, its IndexedDB store),
in one run, alternating so that a change in the machine's load falls on both alike:

  tarnwick dump STORE --format jsonl -o G
  tarnwick chromium STORE --history --format jsonl -o F

each in a fresh process, as an examiner runs them: the wall time (start-up included),
the processor seconds, and the peak resident set (ru_maxrss of the child, which counts
the pages of mapped store files while they are mapped). Then, on the whole profile,

  tarnwick chromium PROFILE --key K | head -1

through bash, timed until the pipeline ends (what a user waits for); K is a key the
page wrote in every origin.

The targets: chromium --history within 3× the time of dump on the same store; its
peak RSS at most 256 MiB at either scale; the --key lookup under 1 s. The section is
printed, and with --into written into that Markdown file (replacing its previous
Chromium section, or appended). A command that runs past --timeout is stopped and
shown as such.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import chromium_profile  # noqa: E402
from bench import machine, mib  # noqa: E402
from dump_bench import record_count  # noqa: E402

HEADING = "## Chromium stores: `tarnwick chromium` beside `tarnwick dump`"
KINDS = {"localstorage": "Local Storage", "indexeddb": "IndexedDB"}
RATIO_TARGET = 3.0
RSS_TARGET = 256 * 2**20
KEY_TARGET_S = 1.0


def log(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def run(command: list[str], timeout: float | None) -> dict:
    """One command in a fresh process: wall and processor seconds, peak RSS in bytes,
    and its stdout's first line. Stopped (and marked so) past the timeout."""
    with tempfile.TemporaryFile() as errors, tempfile.TemporaryFile() as output:
        start = time.perf_counter()
        # A session of its own, so that stopping it stops a whole pipeline.
        process = subprocess.Popen(command, stdout=output, stderr=errors, start_new_session=True)
        stopped = threading.Event()

        def stop() -> None:
            stopped.set()
            os.killpg(process.pid, signal.SIGKILL)

        timer = threading.Timer(timeout, stop) if timeout else None
        if timer:
            timer.start()
        _, status, usage = os.wait4(process.pid, 0)
        elapsed = time.perf_counter() - start
        if timer:
            timer.cancel()
        process.returncode = code = os.waitstatus_to_exitcode(status)
        if stopped.is_set():
            return {"stopped": f"stopped after {elapsed:.0f} s", "seconds": elapsed}
        if code != 0:
            # Reported in its row, and the run goes on: the other rows still count.
            errors.seek(0)
            message = errors.read().decode(errors="replace").strip().splitlines() or [""]
            log(f"failed ({code}): {shlex.join(command)}\n  {message[-1]}")
            return {"stopped": f"failed (exit {code}: {message[-1][:120]})", "seconds": elapsed}
        output.seek(0)
        first = output.readline().decode(errors="replace").rstrip("\n")
    return {"seconds": elapsed, "cpu": usage.ru_utime + usage.ru_stime, "maxrss": usage.ru_maxrss * 1024,
            "first_line": first}


def summarise(runs: list[dict]) -> dict:
    done = [r for r in runs if not r.get("stopped")]
    if not done:
        return {"stopped": runs[-1]["stopped"], "seconds": max(r["seconds"] for r in runs), "runs": len(runs)}
    return {"seconds": statistics.median(r["seconds"] for r in done),
            "cpu": statistics.median(r["cpu"] for r in done),
            "maxrss": max(r["maxrss"] for r in done),
            "runs": len(done), "stopped_runs": len(runs) - len(done),
            "first_line": done[0]["first_line"]}


def disk_bytes(directory: Path) -> int:
    return sum(p.stat().st_size for p in directory.iterdir() if p.is_file())


def measure_scale(python: str, made: dict, scratch: Path, reps: int, timeout: float | None) -> dict:
    tarnwick = [python, "-m", "tarnwick"]
    out: dict = {"browser": made["browser"], "making_seconds": made["making_seconds"],
                 "recipe": made["recipe_used"], "stores": {}}
    for kind, store in made["stores"].items():
        store_dir = Path(store)
        dump_out, chromium_out = scratch / "dump.jsonl", scratch / "chromium.jsonl"
        commands = {
            "dump": [*tarnwick, "dump", store, "--format", "jsonl", "-o", str(dump_out), "--force"],
            "chromium": [*tarnwick, "chromium", store, "--history", "--format", "jsonl", "-o", str(chromium_out),
                         "--force"],
        }
        runs: dict[str, list[dict]] = {name: [] for name in commands}
        for _ in range(reps):
            for name, command in commands.items():
                runs[name].append(run(command, timeout))
        row = {name: summarise(r) for name, r in runs.items()}
        row["records"] = record_count(python, store_dir)
        row["disk_bytes"] = disk_bytes(store_dir)
        row["rows"] = sum(1 for _ in chromium_out.open("rb")) if chromium_out.exists() else None
        for target in (dump_out, chromium_out):
            target.unlink(missing_ok=True)
        out["stores"][kind] = row
        log(f"  {made['recipe_used']['scale']}x {KINDS[kind]:13} {row['records']:>10,} records: dump "
            f"{seconds(row['dump'])}, chromium --history {seconds(row['chromium'])}")
    key = made["probe_key"]
    pipeline = (f"{shlex.join([*tarnwick, 'chromium', made['profile'], '--key', key])} 2>/dev/null | head -1")
    lookups = [run(["bash", "-c", pipeline], timeout) for _ in range(reps)]
    out["key"] = summarise(lookups) | {"key": key, "command": f"tarnwick chromium PROFILE --key {key} | head -1"}
    log(f"  {made['recipe_used']['scale']}x --key {key} | head -1: {seconds(out['key'])}")
    return out


def seconds(result: dict) -> str:
    if result.get("stopped"):
        return result["stopped"]
    return f"{result['seconds']:.2f} s"


def render(results: dict, info: dict, reps: int) -> str:
    lines = [HEADING, ""]
    add = lines.append
    add(f"Machine as above; this section run {info['date']}, load average at start {info['load']}"
        + (f", at the end {info['load_end']}" if info.get("load_end") else "") + ".")
    add("")
    add("The stores are those of a profile written by real headless Chromium "
        "(`bench/chromium_profile.py`: many origins of Local Storage, one IndexedDB store of two object "
        "stores with values of many V8 types, then a second browser session overwriting and deleting some "
        "keys), at scale 1 and 10. Each command runs in a fresh process, the two commands alternating; "
        f"times are {'the medians of ' + str(reps) + ' runs' if reps > 1 else 'of one run'}, wall time with start-up included (CPU: user + system seconds, "
        "all threads); peak RSS is the largest ru_maxrss of the process (it includes the pages of mapped "
        "store files). \"×\" is chromium's time over dump's on the same store.")
    add("")
    add("| scale | store | records | on disk MiB | rows | dump s | dump CPU s | chromium --history s | "
        "chromium CPU s | × (wall) | × (CPU) | dump peak RSS MiB | chromium peak RSS MiB |")
    add("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for scale, res in results.items():
        for kind, row in res["stores"].items():
            dump, chromium = row["dump"], row["chromium"]
            both = not dump.get("stopped") and not chromium.get("stopped")
            cells = [f"{scale}x", KINDS[kind], f"{row['records']:,}", mib(row["disk_bytes"]),
                     f"{row['rows']:,}" if row.get("rows") is not None else "–",
                     seconds(dump).removesuffix(" s"), cpu(dump), seconds(chromium).removesuffix(" s"), cpu(chromium),
                     f"{chromium['seconds'] / dump['seconds']:.2f}" if both else "–",
                     f"{chromium['cpu'] / dump['cpu']:.2f}" if both else "–",
                     rss(dump), rss(chromium)]
            add("| " + " | ".join(cells) + " |")
    add("")
    add("| scale | command | median s | first line |")
    add("|---|---|---|---|")
    for scale, res in results.items():
        key = res["key"]
        first = key.get("first_line", "")
        first = (first[:77] + "…") if len(first) > 78 else first
        shown = f"`{cell(first.replace('`', 'ʼ'))}`" if first else "–"
        add(f"| {scale}x | `{cell(key['command'])}` | {seconds(key).removesuffix(' s')} | {shown} |")
    add("")
    made = ", ".join(f"{scale}x in {res['making_seconds']:.0f} s" for scale, res in results.items())
    browser = next(iter(results.values()))["browser"] if results else "?"
    add(f"Profiles made once by {browser} ({made}).")
    add("")
    add("Targets:")
    add("")
    for line in checks(results):
        add(f"- {line}")
    add("")
    return "\n".join(lines)


def cell(text: str) -> str:
    """Text for a Markdown table cell: a pipe, even inside code, would end the cell."""
    return text.replace("|", "\\|")


def cpu(result: dict) -> str:
    return "–" if result.get("stopped") else f"{result['cpu']:.2f}"


def rss(result: dict) -> str:
    return "–" if result.get("stopped") else mib(result["maxrss"])


def checks(results: dict) -> list[str]:
    def verdict(ok: bool) -> str:
        return "PASS" if ok else "FAIL"

    out = []
    for scale, res in results.items():
        for kind, row in res["stores"].items():
            dump, chromium = row["dump"], row["chromium"]
            name = f"{KINDS[kind]} {scale}x ({row['records']:,} records)"
            if dump.get("stopped") or chromium.get("stopped"):
                out.append(f"FAIL chromium --history vs dump on {name}: dump {seconds(dump)}, chromium "
                           f"{seconds(chromium)} (target ≤ {RATIO_TARGET:g}×)")
                out.append(f"FAIL chromium --history peak RSS on {name}: not measured, the command "
                           f"{chromium.get('stopped') or 'ran'} (target ≤ {mib(RSS_TARGET)} MiB)")
                continue
            ratio = chromium["seconds"] / dump["seconds"]
            out.append(f"{verdict(ratio <= RATIO_TARGET)} chromium --history vs dump on {name}: "
                       f"{chromium['seconds']:.2f} vs {dump['seconds']:.2f} s = {ratio:.2f}× "
                       f"(target ≤ {RATIO_TARGET:g}×)")
            out.append(f"{verdict(chromium['maxrss'] <= RSS_TARGET)} chromium --history peak RSS on {name}: "
                       f"{mib(chromium['maxrss'])} MiB (target ≤ {mib(RSS_TARGET)} MiB)")
    for scale, res in results.items():
        key = res["key"]
        found = not key.get("stopped") and key["key"] in key.get("first_line", "")
        ok = found and key["seconds"] < KEY_TARGET_S
        note = "" if found or key.get("stopped") else ", but the first line is not the key's row"
        out.append(f"{verdict(ok)} --key {key['key']} | head -1 on the {scale}x profile: {seconds(key)}{note} "
                   f"(target < {KEY_TARGET_S:g} s)")
    return out


def write_into(path: Path, section: str) -> None:
    """Puts the section into the Markdown file in place of its previous one (from its
    heading to the next heading of the same level), or at the end."""
    text = path.read_text() if path.exists() else ""
    lines = text.splitlines()
    if HEADING in lines:
        start = lines.index(HEADING)
        end = next((i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines))
        lines[start:end] = section.rstrip("\n").splitlines() + ([""] if end < len(lines) else [])
        path.write_text("\n".join(lines) + "\n")
    else:
        path.write_text(text.rstrip("\n") + "\n\n" + section.rstrip("\n") + "\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path,
                        default=Path(os.environ.get("TARNWICK_BENCH_DATA", "/var/tmp/tarnwick-bench")))
    parser.add_argument("--scales", default="1,10")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--timeout", type=float, default=0, help="seconds after which a command is stopped")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--into", type=Path, help="write the section into this Markdown file")
    parser.add_argument("--json", type=Path, help="also write the raw measurements here")
    parser.add_argument("--from-json", type=Path, help="measure nothing: render the section from this file")
    args = parser.parse_args()

    if args.from_json:
        saved = json.loads(args.from_json.read_text())
        info, results, reps = saved["machine"], saved["results"], saved["reps"]
    else:
        info, results, reps = machine(), {}, args.reps
        for scale in (int(s) for s in args.scales.split(",")):
            made = chromium_profile.ensure(args.data, scale, log)
            with tempfile.TemporaryDirectory(prefix="chromium-rows-", dir=args.data) as scratch:
                results[str(scale)] = measure_scale(args.python, made, Path(scratch), reps, args.timeout or None)
        info["load_end"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
        if args.json:
            args.json.write_text(json.dumps({"machine": info, "reps": reps, "results": results}, indent=1))
    section = render(results, info, reps)
    print()
    print(section)
    if args.into:
        write_into(args.into, section)
        log(f"written into {args.into}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
