"""One command line: every subcommand registered statically with the same help,
errors, exit-status table, --strict and closing line."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import plyvel
import pytest

from tarnwick import _progress, cli

PROFILE = Path(__file__).resolve().parents[1] / "fixtures" / "chromium" / "profile"
SUBCOMMANDS = ("summary", "dump", "chromium", "find", "export", "report", "timeline")


def run(*args: str | Path, stdin: int | None = subprocess.DEVNULL) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tarnwick", *map(str, args)], capture_output=True, text=True, timeout=300, stdin=stdin
    )


@pytest.fixture(scope="module")
def store(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("spine") / "store"
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(120):
        db.put(b"key%04d" % i, b"value %d" % i)
    db.compact_range()
    for i in range(0, 120, 4):
        db.delete(b"key%04d" % i)
    db.close()
    return path


@pytest.mark.parametrize("command", SUBCOMMANDS)
def test_every_help_lists_the_exit_statuses_and_an_example(command: str) -> None:
    result = run(command, "--help")
    assert result.returncode == 0
    assert "exit status:" in result.stdout and "examples:" in result.stdout
    for status in ("0 ", "1 ", "2 ", "130", "143"):
        assert f"\n  {status}" in result.stdout or f"; {status}" in result.stdout
    assert f"  tarnwick {command} " in result.stdout and "--strict" in result.stdout


def test_subcommands_are_registered_without_their_heavy_imports() -> None:
    probe = (
        "import sys; from tarnwick import cli; parser = cli.build_parser(); "
        "print(sorted(parser._subparsers._group_actions[0].choices)); "
        "print([m for m in ('tarnwick.chromium', 'tarnwick.stores._export', 'pyarrow') if m in sys.modules])"
    )
    lines = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True).stdout.splitlines()
    assert lines == [repr(sorted(SUBCOMMANDS)), "[]"]


# summary, dump and report read a file given alone, whatever its name.
FAILING_INPUTS = [
    (command, problem)
    for problem in ("missing", "not a folder", "unreadable")
    for command in SUBCOMMANDS
    if not (problem == "not a folder" and command in ("summary", "dump", "report"))
]


@pytest.mark.parametrize(("command", "problem"), FAILING_INPUTS)
def test_every_subcommand_fails_in_one_line(command: str, problem: str, tmp_path: Path) -> None:
    target = tmp_path / "input"
    if problem == "not a folder":
        target.write_text("x")
    elif problem == "unreadable":
        target.mkdir(mode=0)
    extra = ["-o", str(tmp_path / "output")] if command in ("export", "report", "timeline") else []
    try:
        result = run(command, target, *extra)
    finally:
        if target.is_dir():
            target.chmod(0o700)
    if problem == "unreadable" and result.returncode != 2:
        pytest.skip("root reads a folder of mode 0")
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith("tarnwick: error: ") and result.stderr.count("\n") == 1, result.stderr
    assert "[Errno" not in result.stderr and "Traceback" not in result.stderr


@pytest.mark.parametrize("spelling", ["Deleted", "deleted", "DELETED"])
def test_states_are_spelt_as_the_data_spells_them(store: Path, spelling: str) -> None:
    result = run("dump", store, "--state", spelling, "--file-type", "Log")
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    assert result.returncode == 0 and rows and {(r["state"], r["file_type"]) for r in rows} == {("Deleted", "Log")}


def test_an_unknown_state_is_a_usage_error(store: Path) -> None:
    result = run("dump", store, "--state", "gone")
    assert result.returncode == 2 and "invalid state: 'gone' (choose from Deleted, Live, Unknown)" in result.stderr


@pytest.mark.parametrize(
    ("args", "noun", "what"),
    [
        (["dump", "{store}"], "records", "standard output"),
        (["dump", "{store}", "--format", "csv", "-o", "{out}"], "records", "'{out}'"),
        (["dump", "{store}", "--format", "parquet", "-o", "{out}"], "records", "'{out}'"),
        (["chromium", str(PROFILE), "-f", "jsonl"], "records", "standard output"),
        (["chromium", str(PROFILE), "-f", "jsonl", "-o", "{out}"], "records", "'{out}'"),
    ],
)
def test_every_writer_ends_with_one_closing_line(store: Path, tmp_path: Path, args: list[str], noun: str, what: str) -> None:
    out = tmp_path / "out"
    result = run(*(a.format(store=store, out=out) for a in args))
    assert result.returncode == 0, result.stderr
    last = result.stderr.splitlines()[-1]
    expected_what = what.format(out=out)
    assert last.startswith("tarnwick: wrote ") and last.endswith(f"to {expected_what}; nothing left out"), last
    count = int(last.split()[2].replace(",", ""))
    if "parquet" in args:
        import pyarrow.parquet as pq

        assert count == pq.read_metadata(out).num_rows
    elif "-o" in args:
        assert count == len(out.read_text().splitlines()) - (1 if "csv" in args else 0)
    else:
        assert count == len(result.stdout.splitlines()) > 0


def test_the_closing_line_counts_what_was_left_out(store: Path, tmp_path: Path) -> None:
    damaged = tmp_path / "damaged"
    damaged.mkdir()
    for part in store.iterdir():
        (damaged / part.name).write_bytes(part.read_bytes())
    table = next(p for p in damaged.iterdir() if p.suffix == ".ldb")
    table.write_bytes(table.read_bytes()[:-8] + b"\0" * 8)  # its footer's magic number gone
    loose = run("dump", damaged)
    strict = run("dump", damaged, "--strict")
    assert (loose.returncode, strict.returncode) == (0, 1)
    assert loose.stderr.splitlines()[-1].endswith("; left out: 1 file")
    assert strict.stdout == loose.stdout


@pytest.mark.parametrize(
    ("done", "total", "unit", "elapsed", "text"),
    [
        (0, 10, "stores", 0.0, "0 of 10 stores (0%)"),
        (5, 10, "stores", 10.0, "5 of 10 stores (50%), 0 stores/s, 0:10 left"),
        (3 << 20, 12 << 20, "MiB", 3.0, "3.0 of 12.0 MiB (25%), 1.0 MiB/s, 0:09 left"),
        (120_000, None, "records", 2.0, "120,000 records, 60,000 records/s"),
        (7200, 10800, "records", 7200.0, "7,200 of 10,800 records (67%), 1 records/s, 1:00:00 left"),
    ],
)
def test_progress_tells_done_of_total_rate_and_time_left(done: float, total: float | None, unit: str, elapsed: float, text: str) -> None:
    assert _progress.describe(done, total, unit, elapsed) == text


def test_progress_is_drawn_only_where_enabled_and_not_too_often() -> None:
    import io

    now = [0.0]
    screen = io.StringIO()
    progress = _progress.Progress("stores", 4, enabled=True, stream=screen, clock=lambda: now[0])
    progress.update(1)  # within the first second: nothing
    now[0] = 2.0
    progress.update(2)
    progress.update(3)  # too soon after the last drawing
    progress.clear()
    assert screen.getvalue().count("tarnwick: 2 of 4 stores") == 1 and "3 of 4" not in screen.getvalue()
    assert screen.getvalue().endswith("\r")
    quiet = io.StringIO()
    _progress.Progress("stores", 4, enabled=False, stream=quiet, clock=lambda: 1e9).update(2)
    assert quiet.getvalue() == ""


def test_main_keeps_the_parsers_of_all_subcommands() -> None:
    # Registered statically: building the parser needs no module of a subcommand.
    parser = cli.build_parser()
    args = parser.parse_args(["export", "tree", "-o", "dataset", "--strict"])
    assert (args.tree, args.output, args.strict, args.jobs) == ("tree", "dataset", True, 1)


@pytest.mark.parametrize(("strict", "status"), [(False, 0), (True, 1)])
def test_chromium_counts_what_it_could_not_decode(tmp_path: Path, strict: bool, status: int) -> None:
    store = tmp_path / "Local Storage" / "leveldb"
    store.parent.mkdir()
    db = plyvel.DB(str(store), create_if_missing=True)
    db.put(b"VERSION", b"1")
    db.put(b"_https://a.example\x00\x01good", b"\x01fine")
    db.put(b"_https://a.example\x00\x01bad", b"\x07not a script string")
    db.close()
    result = run("chromium", store, "-f", "jsonl", *(["--strict"] if strict else []))
    assert result.returncode == status, result.stderr
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    assert sorted((r["key"], r["error"] is None) for r in rows) == [("bad", False), ("good", True)]
    warning, closing = result.stderr.splitlines()
    assert warning.startswith("tarnwick: warning: 1 records of ") and "could not be decoded" in warning
    assert closing == "tarnwick: wrote 2 records to standard output; left out: 1 undecoded record"


@pytest.mark.parametrize(
    ("raised", "shown"),
    [
        (PermissionError(13, "Permission denied", "/evidence/x"), "'/evidence/x': Permission denied"),
        (OSError(5, "Input/output error"), "Input/output error"),
        (MemoryError(), "out of memory"),
    ],
)
def test_a_failure_from_anywhere_is_one_line_in_the_systems_words(
    store: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], raised: BaseException, shown: str
) -> None:
    from tarnwick import _commands

    def fail(*args: object, **kwargs: object) -> object:
        raise raised

    monkeypatch.setattr(_commands, "check_path", fail)
    assert cli.main(["dump", str(store)]) == 2
    assert capsys.readouterr().err == f"tarnwick: error: {shown}\n"


@pytest.mark.parametrize("inside", [False, True], ids=["elsewhere", "in_the_evidence"])
@pytest.mark.parametrize(
    ("args", "evidence"),
    [
        (["dump", "{store}", "-o", "-"], "store"),
        (["chromium", str(PROFILE), "-f", "jsonl", "-o", "-"], "profile"),
        (["report", "{store}", "--format", "json", "-o", "-"], "store"),
        (["timeline", str(PROFILE), "-o", "-"], "profile"),
    ],
    ids=["dump", "chromium", "report", "timeline"],
)
def test_dash_is_standard_output_never_a_file(store: Path, tmp_path: Path, args: list[str], evidence: str,
                                             inside: bool) -> None:
    """``-o -`` writes standard output, also where the working folder is the
    evidence itself; no file named ``-`` appears anywhere."""
    folder = (store if evidence == "store" else PROFILE) if inside else tmp_path
    before = sorted(folder.rglob("*"))
    result = subprocess.run([sys.executable, "-m", "tarnwick", *(a.format(store=store) for a in args)], cwd=folder,
                            capture_output=True, text=True, timeout=300, stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    assert result.stdout
    assert result.stderr.splitlines()[-1].split("; ")[0].endswith(" to standard output")
    assert sorted(folder.rglob("*")) == before
