#!/usr/bin/env python3
"""Coverage-guided fuzzing of the Chromium store decoders (pure Python) with atheris.

    fuzz/chromium_decoders.py --smoke [SECONDS]          each target SECONDS (default 5)
    fuzz/chromium_decoders.py TARGET [libFuzzer options]  one target, for long runs,
                                                          e.g. v8 -max_total_time=3600

Targets: v8 (Blink/V8 values), idb_key, indexeddb (one record: key and value),
localstorage, sessionstorage (one record each). Every input must decode to entries
or to DecodeError (record decoders: to entries only, whatever the bytes), and what
comes out must stay within the budget for the input: no JSON larger than
JSON_CHARS_PER_UNIT times the record's budget. Every entry must also write as one
line of text. The seeds are the records of the real-browser fixtures
(tests/fixtures/chromium), written to fuzz/corpus/chromium_<target>/generated/.

atheris has wheels for CPython 3.11 and later only, so it is not part of the
``test`` extra: this script installs it (pip) into the running interpreter when it
is missing. ``check(target, data)`` is the per-input check, which the tests also
run over the seeds without atheris.
"""

from __future__ import annotations

import functools
import io
import os
import subprocess
import sys
from collections.abc import Callable, Iterable
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FIXTURES = ROOT / "tests" / "fixtures" / "chromium"
# A budget unit is about one JSON character; an escaped control character is six.
JSON_CHARS_PER_UNIT = 6
ATHERIS = "atheris==3.0.0"
SMOKE_SECONDS = 5


@functools.cache
def _decoders() -> dict[str, Callable[[bytes], list[object]]]:
    from tarnwick.chromium import indexeddb, localstorage, sessionstorage
    from tarnwick.chromium._binary import DecodeError
    from tarnwick.chromium._records import RawRecord
    from tarnwick.chromium.idb_key import decode_whole_key
    from tarnwick.chromium.v8value import decode_ssv

    def raw_or_refused(decode: Callable[[bytes], object]) -> Callable[[bytes], list[object]]:
        def run(data: bytes) -> list[object]:
            try:
                return [decode(data)]
            except DecodeError:
                return []
        return run

    def record(decode: Callable[..., object]) -> Callable[[bytes], list[object]]:
        def run(data: bytes) -> list[object]:
            # The first byte says how much of the rest is the key.
            split = data[0] if data else 0
            key, value = data[1:1 + split], data[1 + split:]
            records = [RawRecord(key, value, 1, "live", "fuzz", 0)]
            entries = list(decode(records, "store"))  # type: ignore[operator]
            assert len(entries) == 1
            return entries
        return run

    return {"v8": raw_or_refused(lambda d: decode_ssv(d)[0]), "idb_key": raw_or_refused(decode_whole_key),
            "indexeddb": record(indexeddb.decode), "localstorage": record(localstorage.decode),
            "sessionstorage": record(sessionstorage.decode)}


TARGETS = ("v8", "idb_key", "indexeddb", "localstorage", "sessionstorage")


def check(target: str, data: bytes) -> None:
    """Decode ``data`` with ``target`` and assert the budget and the line safety."""
    from tarnwick.chromium import _json
    from tarnwick.chromium._budget import budget_for
    from tarnwick.chromium.entry import Entry
    from tarnwick.chromium.output import row, write_text

    limit = JSON_CHARS_PER_UNIT * budget_for(len(data))
    for result in _decoders()[target](data):
        if isinstance(result, Entry):
            r = row(result)
            size = len(_json.dumps(r["key"])) + len(_json.dumps(r["value"]))
            out = io.BytesIO()
            write_text([r], out)
            assert out.getvalue().count(b"\n") == 1, "an entry made more than one line"
        else:
            size = len(_json.dumps(result))
        assert size <= limit, f"{size} characters of JSON from {len(data)} bytes (limit {limit})"


def seeds(target: str) -> list[bytes]:
    """Inputs for ``target`` from the real-browser fixtures."""
    from tarnwick.chromium._records import iter_records

    stores = {"localstorage": ["Local Storage/leveldb"], "sessionstorage": ["Session Storage"],
              "indexeddb": ["IndexedDB/*.indexeddb.leveldb"], "v8": ["IndexedDB/*.indexeddb.leveldb"],
              "idb_key": ["IndexedDB/*.indexeddb.leveldb"]}[target]
    out = []
    for profile in (FIXTURES / "profile", FIXTURES / "hostile" / "profile"):
        for pattern in stores:
            for store in profile.glob(pattern):
                for r in iter_records(store):
                    if target == "v8":
                        # A data record's value after its record-version varint.
                        if len(r.value) > 2 and r.value[1] == 0xFF:
                            out.append(r.value[1:])
                    elif target == "idb_key":
                        out.append(r.user_key[4:])
                    elif len(r.user_key) < 256:
                        out.append(bytes([len(r.user_key)]) + r.user_key + r.value)
    return out


def _ensure_atheris() -> None:
    try:
        import atheris  # noqa: F401
    except ImportError:
        print(f"installing {ATHERIS} (pip)", file=sys.stderr)
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", ATHERIS], check=True)


def fuzz(target: str, options: list[str]) -> None:
    run_atheris(f"chromium_{target}", lambda: seeds(target), lambda data: check(target, data), options)


def run_atheris(corpus_name: str, first_seeds: Callable[[], Iterable[bytes]], one_input: Callable[[bytes], object],
                options: list[str]) -> None:
    """Fuzzes ``one_input`` with the decoders instrumented, starting from
    fuzz/corpus/<corpus_name>/generated, which ``first_seeds()`` fill once."""
    _ensure_atheris()
    import atheris

    with atheris.instrument_imports():
        import tarnwick.chromium  # noqa: F401
    corpus = ROOT / "fuzz" / "corpus" / corpus_name / "generated"
    if not corpus.exists():
        corpus.mkdir(parents=True)
        for i, seed in enumerate(first_seeds()):
            (corpus / f"seed-{i}").write_bytes(seed)
    atheris.Setup([sys.argv[0], *options, str(corpus)], one_input)
    atheris.Fuzz()


def smoke(seconds: int, script: str = __file__, targets: tuple[str, ...] = TARGETS) -> int:
    """Each of ``script``'s ``targets`` for ``seconds``; 1 when any failed."""
    failed = []
    # What libFuzzer writes (a crash, a slow unit on a loaded machine) goes
    # into the build folder, never into the working directory.
    artifacts = ROOT / "build" / "fuzz-artifacts"
    artifacts.mkdir(parents=True, exist_ok=True)
    for target in targets:
        print(f"==> {target}: {seconds} s", file=sys.stderr, flush=True)
        result = subprocess.run([sys.executable, script, target, f"-max_total_time={seconds}",
                                 "-rss_limit_mb=2048", "-timeout=30",
                                 f"-artifact_prefix={artifacts}/{Path(script).stem}-{target}-"], check=False)
        if result.returncode:
            failed.append(target)
    if failed:
        print(f"failed: {' '.join(failed)}", file=sys.stderr)
    return 1 if failed else 0


def command(argv: list[str], script: str, targets: tuple[str, ...], run: Callable[[str, list[str]], None],
            usage: str | None) -> int:
    """A fuzz script's command line: ``--smoke [SECONDS]`` runs every target
    briefly, ``TARGET [libFuzzer options]`` one target (at a lower priority,
    for long runs beside other work)."""
    if argv and argv[0] == "--smoke":
        return smoke(int(argv[1]) if len(argv) > 1 else SMOKE_SECONDS, script, targets)
    if not argv or argv[0] not in targets:
        print(usage, file=sys.stderr)
        return 2
    os.nice(5)
    run(argv[0], argv[1:])
    return 0


def main(argv: list[str]) -> int:
    return command(argv, __file__, TARGETS, fuzz, __doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
