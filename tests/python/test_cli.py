"""The ``tarnwick`` command line, run as a subprocess on databases written by LevelDB."""

from __future__ import annotations

import csv
import functools
import io
import json
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path

import plyvel
import pytest

from tarnwick import KeyState, RawLevelDb, Record

STATE_NAMES = {0: "Deleted", 1: "Live", 2: "Unknown"}
TYPE_NAMES = {1: "Ldb", 2: "Log"}
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")

# Keys a spreadsheet would take for formulas, and bytes that need escaping.
AWKWARD_KEYS = [b"=SUM(1+1)", b"+3", b"-2", b"@cmd", b"'quoted", b"\ttab", b"\rcr", b"", b'\x00\xff\\"\n']


def run(*args: str, prefix: tuple[str, ...] = (), **options: object) -> subprocess.CompletedProcess[str]:
    """``python -m tarnwick ARGS``; output captured as text unless redirected."""
    options.setdefault("stdin", subprocess.DEVNULL)
    if "stdout" not in options:
        options.setdefault("capture_output", True)
    return subprocess.run(
        [*prefix, sys.executable, "-m", "tarnwick", *args],
        text=True,
        encoding="utf-8",
        timeout=120,
        **options,
    )


def unescape(text: str) -> bytes:
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


def records_of(db: Path, reverse: bool = False) -> list[Record]:
    with RawLevelDb(str(db)) as raw:
        return raw.iterate_records_raw(reverse=reverse)


def expected(record: Record) -> tuple[object, ...]:
    return (
        record.key,
        record.user_key,
        record.value,
        record.seq,
        STATE_NAMES[int(record.state)],
        TYPE_NAMES[int(record.file_type)],
        record.origin_file,
        record.offset,
        record.was_compressed,
    )


def parsed(row: dict[str, str], *, undo: Callable[[str], str] = lambda s: s, hex_mark: str = "") -> tuple[object, ...]:
    """A dumped record back as the fields of ``expected``, checking that the
    escaped text forms say the same as the hex forms (which start with
    ``hex_mark``)."""

    def unhex(cell: str) -> bytes:
        assert cell.startswith(hex_mark), cell
        return bytes.fromhex(cell[len(hex_mark) :])

    for name in ("key", "user_key", "value"):
        assert unescape(undo(row[f"{name}_text"])) == unhex(row[f"{name}_hex"]), name
    compressed = row["was_compressed"]
    return (
        unhex(row["key_hex"]),
        unhex(row["user_key_hex"]),
        unhex(row["value_hex"]),
        int(row["seq"]),
        row["state"],
        row["file_type"],
        undo(row["origin_file"]),
        int(row["offset"]),
        compressed if isinstance(compressed, bool) else {"true": True, "false": False}[compressed],
    )


def undo_neutralise(cell: str) -> str:
    return cell[1:] if cell.startswith("'") else cell


@pytest.fixture(scope="session")
def mixed_db(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Compressed and uncompressed table blocks, deletions, a log with live
    and deleted entries, awkward keys, and one log entry with an unknown tag."""
    path = tmp_path_factory.mktemp("mixed") / "db"
    rng = random.Random(1234)
    db = plyvel.DB(str(path), create_if_missing=True, compression="snappy")
    for i in range(400):
        db.put(b"k%05d" % i, b"text value %d " % i * (i % 9))  # compressible
    for i in range(400, 600):
        db.put(b"k%05d" % i, rng.randbytes(300))  # stored uncompressed all the same
    for key in AWKWARD_KEYS:
        db.put(key, key + b"=1+2")
    for i in range(0, 600, 7):
        db.delete(b"k%05d" % i)
    db.compact_range()
    for i in range(0, 600, 5):
        db.put(b"k%05d" % i, b"second %d" % i)
    db.close()
    # Reopening turns the log above into a table, written uncompressed now.
    db = plyvel.DB(str(path), compression=None)
    with db.write_batch() as batch:
        batch.put(b"log-a", b"-1")
        batch.put(b"log-b", b"@2")
    db.delete(b"k00003")
    db.put(b"log-c", b"x" * 100)
    db.close()
    # The log now starts with the batch above: a 7-byte block header, the
    # batch's 12-byte header, then the tag of its first entry.
    log = next(path.glob("*.log"))
    data = bytearray(log.read_bytes())
    assert data[19] == 1
    data[19] = 2
    log.write_bytes(bytes(data))
    return path


@pytest.fixture(scope="session")
def records(mixed_db: Path) -> list[Record]:
    found = records_of(mixed_db)
    kinds = {(int(r.file_type), r.was_compressed) for r in found}
    assert kinds == {(1, True), (1, False), (2, False)}
    assert {int(r.state) for r in found} == {0, 1, 2}
    return found


@pytest.fixture(scope="session")
def empty_log_db(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A table file with records and an empty log left by a session that wrote nothing."""
    path = tmp_path_factory.mktemp("emptylog") / "db"
    db = plyvel.DB(str(path), create_if_missing=True)
    db.put(b"a", b"1")
    db.close()
    plyvel.DB(str(path)).close()
    assert [p.stat().st_size for p in path.glob("*.log")] == [0]
    return path


# --- dump ------------------------------------------------------------------------


@pytest.mark.parametrize("reverse", [False, True])
def test_jsonl_gives_exactly_the_records(mixed_db: Path, records: list[Record], reverse: bool) -> None:
    result = run("dump", str(mixed_db), *(["--reverse"] if reverse else []))
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"tarnwick: wrote {len(records)} records to standard output; nothing left out\n"
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    want = records_of(mixed_db, reverse=reverse) if reverse else records
    assert [parsed(row) for row in rows] == [expected(r) for r in want]
    assert all(isinstance(row["seq"], int) and isinstance(row["was_compressed"], bool) for row in rows)


def test_csv_gives_exactly_the_records_and_is_spreadsheet_safe(mixed_db: Path, records: list[Record]) -> None:
    result = run("dump", str(mixed_db), "--format", "csv")
    assert result.returncode == 0, result.stderr
    table = list(csv.reader(io.StringIO(result.stdout, newline="")))
    header, rows = table[0], table[1:]
    assert header[:2] == ["key_hex", "key_text"]
    for row in rows:
        for cell in row:
            assert not cell.startswith(FORMULA_STARTS), row
    dict_rows = [dict(zip(header, row)) for row in rows]
    # Hex cells carry a mark, so that readers guessing types keep them as text.
    assert [parsed(row, undo=undo_neutralise, hex_mark="\\x") for row in dict_rows] == [expected(r) for r in records]
    texts = {row["user_key_text"] for row in dict_rows}
    assert {"'=SUM(1+1)", "'+3", "'-2", "'@cmd", "''quoted", "\\ttab", "\\rcr", ""} <= texts
    assert "'-1" in {row["value_text"] for row in dict_rows}


def _keep_state(*states: int) -> Callable[[Record], bool]:
    return lambda r: int(r.state) in states


@pytest.mark.parametrize(
    ("options", "keep"),
    [
        (["--state", "live"], _keep_state(1)),
        (["--state", "deleted", "--state", "unknown"], _keep_state(0, 2)),
        (["--file-type", "log"], lambda r: r.file_type == 2),
        (["--file-type", "ldb", "--state", "deleted"], lambda r: r.file_type == 1 and r.state == KeyState.Deleted),
        (["--key-prefix", "6b3030303"], None),  # odd number of digits: refused
        (["--key-prefix", "6b303030"], lambda r: r.user_key.startswith(b"k000")),
        (["--key-prefix", "0x6C6f67"], lambda r: r.user_key.startswith(b"log")),
        (["--key-prefix", ""], lambda r: True),
        (["--reverse", "--state", "live", "--key-prefix", "6b"], "reverse"),
    ],
)
def test_filters(
    mixed_db: Path, records: list[Record], options: list[str], keep: Callable[[Record], bool] | str | None
) -> None:
    result = run("dump", str(mixed_db), *options)
    if keep is None:
        assert result.returncode == 2
        assert "--key-prefix" in result.stderr
        assert result.stdout == ""
        return
    assert result.returncode == 0, result.stderr
    if keep == "reverse":
        source = records_of(mixed_db, reverse=True)
        want = [r for r in source if r.state == KeyState.Live and r.user_key.startswith(b"k")]
    else:
        assert callable(keep)
        want = [r for r in records if keep(r)]
    assert want, "the filter should select something"
    assert [parsed(json.loads(line)) for line in result.stdout.splitlines()] == [expected(r) for r in want]


def test_text_view_has_a_line_per_record(mixed_db: Path, records: list[Record]) -> None:
    result = run("dump", str(mixed_db), "--format", "text")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == len(records)
    for line, record in zip(lines, records):
        name, offset, seq, state, kind = line.split(" ")[:5]
        assert (name, offset, seq, state, kind) == (
            os.path.basename(record.origin_file),
            f"offset={record.offset}",
            f"seq={record.seq}",
            STATE_NAMES[int(record.state)],
            TYPE_NAMES[int(record.file_type)],
        )
        assert (" compressed " in line) == record.was_compressed
        if len(record.value) > 64:
            assert line.endswith(f"... ({len(record.value)} bytes)")


def test_output_file_holds_what_stdout_would(mixed_db: Path, tmp_path: Path) -> None:
    target = tmp_path / "out.csv"
    to_file = run("dump", str(mixed_db), "--format", "csv", "--output", str(target))
    assert (to_file.returncode, to_file.stdout) == (0, "")
    assert to_file.stderr == f"tarnwick: wrote 819 records to {str(target)!r}; nothing left out\n"
    with open(tmp_path / "stdout.csv", "wb") as stdout:
        assert run("dump", str(mixed_db), "--format", "csv", stdout=stdout).returncode == 0
    assert target.read_bytes() == (tmp_path / "stdout.csv").read_bytes()
    assert target.read_bytes().count(b"\r\n") == len(records_of(mixed_db)) + 1  # CSV's own line ends


def test_empty_directory_dumps_nothing(tmp_path: Path) -> None:
    assert (run("dump", str(tmp_path)).stdout, run("dump", str(tmp_path), "--format", "csv").stdout) == (
        "",
        ",".join(
            ["key_hex", "key_text", "user_key_hex", "user_key_text", "value_hex", "value_text", "seq", "state"]
            + ["file_type", "origin_file", "offset", "was_compressed"]
        )
        + "\n",  # (CRLF read as text)
    )


# --- summary -----------------------------------------------------------------------


def summary_table(directory: Path) -> list[list[str]]:
    result = run("summary", str(directory))
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return [line.split() for line in result.stdout.splitlines()]


def test_summary_counts_every_file(mixed_db: Path, records: list[Record]) -> None:
    table = summary_table(mixed_db)
    assert table[0] == [
        *["file", "kind", "number", "size", "records", "live", "deleted", "unknown", "compressed", "undecoded"],
        "status",
    ]
    files: dict[str, list[Record]] = {}
    for record in records:
        files.setdefault(record.origin_file, []).append(record)
    want = []
    for path, held in files.items():
        name = os.path.basename(path)
        want.append(
            [
                name,
                "log" if held[0].file_type == 2 else "ldb",
                name[:6],
                str(os.stat(path).st_size),
                str(len(held)),
                *(str(sum(int(r.state) == s for r in held)) for s in (1, 0, 2)),
                str(sum(r.was_compressed for r in held)),
                "0",
                "read",
            ]
        )
    assert table[1:-1] == want
    sums = [str(sum(int(row[i]) for row in want)) for i in range(3, 10)]
    assert table[-1] == ["total", "-", "-", *sums]
    assert int(table[-1][4]) == len(records)


def test_summary_lists_files_without_records(empty_log_db: Path) -> None:
    table = summary_table(empty_log_db)
    log = next(empty_log_db.glob("*.log")).name
    ldb = next(empty_log_db.glob("*.ldb")).name
    assert table[1:] == [
        [ldb, "ldb", ldb[:6], str((empty_log_db / ldb).stat().st_size), "1", "1", "0", "0", "0", "0", "read"],
        [log, "log", log[:6], "0", "0", "0", "0", "0", "0", "0", "read"],
        ["total", "-", "-", str((empty_log_db / ldb).stat().st_size), "1", "1", "0", "0", "0", "0"],
    ]


def test_module_and_console_script_agree(mixed_db: Path) -> None:
    script = Path(sysconfig.get_path("scripts")) / "tarnwick"
    by_script = subprocess.run([str(script), "summary", str(mixed_db)], capture_output=True, text=True, timeout=60)
    assert by_script.returncode == 0, by_script.stderr
    assert by_script.stdout == run("summary", str(mixed_db)).stdout


# --- errors --------------------------------------------------------------------------


@pytest.fixture
def unreadable_directory(tmp_path: Path) -> Iterator[tuple[str, dict[str, object]]]:
    """A directory whose listing is refused, and how to run the command so
    that it is refused: as root, only another user is refused anything."""
    if os.geteuid() != 0:
        locked = tmp_path / "locked"
        locked.mkdir()
        locked.chmod(0)
        yield str(locked), {}
        locked.chmod(0o700)
        return
    # pytest's own temporary directories are private to root.
    base = Path(tempfile.mkdtemp(prefix="tarnwick-cli-unreadable-"))
    try:
        base.chmod(0o755)
        locked = base / "locked"
        locked.mkdir(mode=0o700)
        setpriv = shutil.which("setpriv")
        as_nobody: dict[str, object] = {
            "prefix": (str(setpriv), "--reuid=65534", "--regid=65534", "--clear-groups"),
            "cwd": str(base),
        }
        try:
            usable = setpriv is not None and run("--version", **as_nobody).returncode == 0
        except OSError:
            usable = False
        if not usable:
            pytest.skip("cannot run the command line as another user here")
        yield str(locked), as_nobody
    finally:
        shutil.rmtree(base)


@pytest.mark.parametrize("command", ["summary", "dump"])
@pytest.mark.parametrize("case", ["missing", "unreadable", "empty path"])
def test_unusable_directory_gives_one_line_and_status_2(
    tmp_path: Path, request: pytest.FixtureRequest, command: str, case: str
) -> None:
    options: dict[str, object] = {}
    if case == "missing":
        target = str(tmp_path / "no such db")
    elif case == "empty path":
        target = ""
    else:
        target, options = request.getfixturevalue("unreadable_directory")
    result = run(command, target, **options)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("tarnwick: error: "), result.stderr
    assert repr(target) in result.stderr


def test_output_is_never_written_into_the_database_directory(mixed_db: Path) -> None:
    before = sorted(p.name for p in mixed_db.iterdir())
    result = run("dump", str(mixed_db), "--output", str(mixed_db / "dump.jsonl"))
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "database directory" in result.stderr
    assert sorted(p.name for p in mixed_db.iterdir()) == before


def test_output_that_cannot_be_created(mixed_db: Path, tmp_path: Path) -> None:
    result = run("dump", str(mixed_db), "--output", str(tmp_path / "missing" / "out.jsonl"))
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "cannot write" in result.stderr


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize(
    ("command", "to_stdout"),
    [(["summary"], True), (["dump", "--format", "text"], True), (["dump", "--output", "/dev/full"], False)],
)
def test_full_disk_gives_one_line_and_status_2(mixed_db: Path, command: list[str], to_stdout: bool) -> None:
    with open("/dev/full", "w") as full:
        result = run(command[0], str(mixed_db), *command[1:], stdout=full if to_stdout else None, stderr=subprocess.PIPE)
    assert result.returncode == 2
    assert result.stderr.count("\n") == 1 and "No space left on device" in result.stderr, result.stderr


# --- pipes -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "command", [["summary"], ["dump"], ["dump", "--format", "csv"], ["dump", "--format", "text"]]
)
def test_reader_gone_before_the_first_write(mixed_db: Path, command: list[str]) -> None:
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        result = run(*command, str(mixed_db), stdout=write_end, stderr=subprocess.PIPE)
    finally:
        os.close(write_end)
    assert (result.returncode, result.stderr) == (0, "")


def test_reader_gone_in_the_middle(mixed_db: Path) -> None:
    # The pipe is made as small as the system allows and only a few bytes are
    # read from it, so the writer meets the closed pipe however slowly this
    # process is scheduled (a default pipe could take the whole output first).
    import fcntl

    read_end, write_end = os.pipe()
    try:
        fcntl.fcntl(write_end, getattr(fcntl, "F_SETPIPE_SZ", 1031), 4096)
        process = subprocess.Popen(
            [sys.executable, "-m", "tarnwick", "dump", str(mixed_db), "--format", "csv"],
            stdout=write_end,
            stderr=subprocess.PIPE,
        )
    finally:
        os.close(write_end)
    assert process.stderr is not None
    try:
        start = b""
        while len(start) < 8 and (more := os.read(read_end, 8 - len(start))):
            start += more
        assert start == b"key_hex,"
    finally:
        os.close(read_end)
    stderr = process.stderr.read()
    assert (process.wait(timeout=60), stderr) == (0, b"")


# --- progress --------------------------------------------------------------------------


class FakeTerminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def test_progress_goes_to_a_terminal_on_stderr_only(
    mixed_db: Path, records: list[Record], tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    from tarnwick import _progress, cli

    terminal = FakeTerminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    monkeypatch.setattr(_progress, "_DELAY", 0.0)
    monkeypatch.setattr(_progress, "_INTERVAL", 0.0)
    target = tmp_path / "out.jsonl"
    assert cli.main(["dump", str(mixed_db), "--output", str(target)]) == 0
    shown, closing = terminal.getvalue().rsplit("\r", 1)
    assert " MiB (" in shown  # done of the store's size
    assert shown.rsplit("\r", 1)[-1].strip() == ""  # cleared before the closing line
    assert closing == f"tarnwick: wrote {len(records)} records to {str(target)!r}; nothing left out\n"
    assert len(target.read_text().splitlines()) == len(records)


def test_progress_waits_before_showing_anything() -> None:
    from tarnwick._output import ByteProgress, StatusLine

    now = [100.0]
    terminal = FakeTerminal()
    progress = ByteProgress(StatusLine(terminal, True), clock=lambda: now[0], delay=1.0, interval=0.5)
    progress.add(2**20)
    assert terminal.getvalue() == ""
    now[0] += 1.0
    progress.add(2**20)
    now[0] += 0.1
    progress.add(2**20)  # too soon after the last one
    assert terminal.getvalue() == "\rtarnwick: 2.0 MiB written"

    quiet = io.StringIO()
    ByteProgress(StatusLine(quiet, False), clock=lambda: 1e9, delay=0.0).add(10)
    assert quiet.getvalue() == ""
