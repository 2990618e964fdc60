"""Evidence safety of the command line: where ``--output`` may go, how it is
written, and that nothing the command line does changes an access time in the
store. Run as a subprocess on databases written by LevelDB."""

from __future__ import annotations

import hashlib
import os
import subprocess
import sys
import types
from collections.abc import Iterator
from pathlib import Path

import plyvel
import pytest

from tarnwick import _commands, _reading, _safe_output, cli


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tarnwick", *args],
        capture_output=True,
        text=True,
        timeout=120,
        stdin=subprocess.DEVNULL,
        cwd=cwd,
    )


def make_store(path: Path, count: int = 300) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    db = plyvel.DB(str(path), create_if_missing=True)
    for i in range(count):
        db.put(b"key%05d" % i, b"value %d" % i * 5)
    db.compact_range()
    for i in range(0, count, 3):
        db.put(b"key%05d" % i, b"again")
    db.close()
    return path


def fingerprint(directory: Path) -> dict[str, tuple[str, int]]:
    """Every file's content digest and modification time."""
    return {
        p.name: (hashlib.sha256(p.read_bytes()).hexdigest(), p.stat().st_mtime_ns)
        for p in sorted(directory.iterdir())
    }


@pytest.fixture
def store(tmp_path: Path) -> Path:
    return make_store(tmp_path / "store")


@pytest.fixture
def elsewhere(tmp_path: Path) -> Path:
    path = tmp_path / "elsewhere"
    path.mkdir()
    return path


def data_file(store: Path) -> Path:
    return next(store.glob("*.log"))


# --- Where the output may go ----------------------------------------------------------


@pytest.mark.parametrize(
    "how",
    [
        "inside",  # DIR/out
        "dotdot",  # elsewhere/../store/out
        "link to a data file",  # elsewhere/link -> DIR/000005.log
        "chain of links",  # elsewhere/a -> elsewhere/b -> DIR/000005.log
        "link to the folder",  # elsewhere/folder -> DIR, target elsewhere/folder/out
        "relative link",  # elsewhere/link -> ../store/000005.log
    ],
)
@pytest.mark.parametrize("force", [False, True])
def test_output_never_lands_in_the_store(store: Path, elsewhere: Path, how: str, force: bool) -> None:
    log = data_file(store)
    if how == "inside":
        target = store / "out.jsonl"
    elif how == "dotdot":
        target = elsewhere / ".." / "store" / "out.jsonl"
    elif how == "link to a data file":
        target = elsewhere / "link"
        target.symlink_to(log)
    elif how == "chain of links":
        (elsewhere / "b").symlink_to(log)
        target = elsewhere / "a"
        target.symlink_to(elsewhere / "b")
    elif how == "link to the folder":
        (elsewhere / "folder").symlink_to(store)
        target = elsewhere / "folder" / "out.jsonl"
    else:
        target = elsewhere / "link"
        target.symlink_to(Path("..") / "store" / log.name)
    before = fingerprint(store)
    result = run("dump", str(store), "--output", str(target), *(["--force"] if force else []))
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and "database directory" in result.stderr, result.stderr
    assert fingerprint(store) == before


def test_existing_file_is_replaced_only_with_force(store: Path, elsewhere: Path) -> None:
    target = elsewhere / "out.jsonl"
    target.write_text("earlier work\n")
    refused = run("dump", str(store), "-o", str(target))
    assert refused.returncode == 2 and "--force" in refused.stderr
    assert target.read_text() == "earlier work\n"

    replaced = run("dump", str(store), "-o", str(target), "--force")
    assert (replaced.returncode, replaced.stderr.startswith("tarnwick: wrote 400 records")) == (0, True)
    assert target.read_text() == run("dump", str(store)).stdout
    assert sorted(p.name for p in elsewhere.iterdir()) == ["out.jsonl"]


def test_a_link_at_the_target_is_replaced_not_written_through(store: Path, elsewhere: Path) -> None:
    keep = elsewhere / "keep.txt"
    keep.write_text("not to be touched\n")
    target = elsewhere / "link"
    target.symlink_to(keep)
    assert run("dump", str(store), "-o", str(target)).returncode == 2  # exists
    result = run("dump", str(store), "-o", str(target), "--force")
    assert result.returncode == 0, result.stderr
    assert not target.is_symlink() and target.read_text() == run("dump", str(store)).stdout
    assert keep.read_text() == "not to be touched\n"


def test_devices_are_written_in_place(store: Path) -> None:
    assert run("dump", str(store), "-o", os.devnull).returncode == 0
    assert Path(os.devnull).exists() and not Path(os.devnull).is_file()


def test_output_in_the_current_folder(store: Path, elsewhere: Path) -> None:
    result = run("dump", str(store), "-o", "out.jsonl", cwd=elsewhere)
    assert result.returncode == 0, result.stderr
    assert (elsewhere / "out.jsonl").read_text() == run("dump", str(store)).stdout


# --- Complete or not at all -------------------------------------------------------------


@pytest.mark.parametrize("failure", [KeyboardInterrupt, OSError(28, "No space left on device")])
def test_a_failure_midway_leaves_no_file(
    store: Path, elsewhere: Path, monkeypatch: pytest.MonkeyPatch, failure: BaseException
) -> None:
    real_text_chunks = _reading.text_chunks

    def failing_text_chunks(*args: object, **kwargs: object) -> object:
        chunks, report = real_text_chunks(*args, **kwargs)  # type: ignore[arg-type]

        def broken() -> Iterator[bytes]:
            yield next(iter(chunks))
            raise failure

        return broken(), report

    monkeypatch.setattr(_reading, "text_chunks", failing_text_chunks)
    target = elsewhere / "out.jsonl"
    status = cli.main(["dump", str(store), "-o", str(target)])
    assert status == (130 if failure is KeyboardInterrupt else 2)
    assert list(elsewhere.iterdir()) == []


@pytest.mark.parametrize(("signal_name", "status"), [("SIGINT", 130), ("SIGTERM", 143)])
def test_interrupted_process_leaves_nothing_that_looks_complete(
    store: Path, elsewhere: Path, signal_name: str, status: int
) -> None:
    # A real Ctrl-C or kill, delivered while the output is being written,
    # between two chunks.
    script = (
        "import os, signal, sys\n"
        "from tarnwick import _reading, cli\n"
        "real = _reading.text_chunks\n"
        "def slow(*a, **k):\n"
        "    chunks, report = real(*a, **k)\n"
        "    def gen():\n"
        "        for c in chunks:\n"
        "            yield c\n"
        f"            os.kill(os.getpid(), signal.{signal_name})\n"
        "    return gen(), report\n"
        "_reading.text_chunks = slow\n"
        "sys.exit(cli.main(sys.argv[1:]))\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", script, "dump", str(store), "-o", str(elsewhere / "out.jsonl")],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == status
    assert "Traceback" not in result.stderr
    assert list(elsewhere.iterdir()) == []


def test_safe_output_api(tmp_path: Path) -> None:
    store = tmp_path / "store"
    store.mkdir()
    with _safe_output.open_output(str(tmp_path / "a.bin"), stores=[str(store)]) as out:
        out.write(b"abc")
        # Until the block ends, only a hidden temporary file exists.
        assert [p.name for p in tmp_path.iterdir() if p.is_file()][0].startswith(".a.bin.")
        assert not (tmp_path / "a.bin").exists()
    assert (tmp_path / "a.bin").read_bytes() == b"abc"
    with pytest.raises(_safe_output.OutputError, match="exists"):
        with _safe_output.open_output(str(tmp_path / "a.bin"), stores=[str(store)]):
            pass
    with pytest.raises(_safe_output.OutputError, match="database directory"):
        _safe_output.check_outside(str(store / "x"), [str(store)])
    with pytest.raises(_safe_output.OutputError, match="Is a directory"):
        with _safe_output.open_output(str(tmp_path), stores=[str(store)], force=True):
            pass


# --- Access times -------------------------------------------------------------------------

PAST = 946_684_800_000_000_000  # 2000-01-01, in nanoseconds


def set_access_times_in_the_past(root: Path) -> dict[Path, int]:
    paths = [root, *root.rglob("*")]
    for p in paths:
        os.utime(p, ns=(PAST, p.lstat().st_mtime_ns), follow_symlinks=False)
    return {p: p.lstat().st_atime_ns for p in paths}


@pytest.mark.skipif(os.geteuid() != 0 and not os.access("/", os.W_OK), reason="O_NOATIME needs the owner")
@pytest.mark.parametrize(
    "command",
    [
        ["summary"],
        ["dump"],
        ["dump", "--format", "csv"],
        ["dump", "--format", "text", "--state", "deleted"],
        ["dump", "-o", "OUT"],
        ["dump", "--format", "parquet", "-o", "OUT"],
        ["summary", "PARENT"],  # a folder above the store: the hint looks below it
    ],
)
def test_no_access_time_changes(tmp_path: Path, command: list[str]) -> None:
    parent = tmp_path / "profile"
    store = make_store(parent / "Local Storage" / "leveldb")
    (parent / "other").mkdir()
    (parent / "other" / "notes.txt").write_text("x")
    target = str(parent if command[-1] == "PARENT" else store)
    args = [a for a in command if a != "PARENT"]
    args = [str(tmp_path / "out.jsonl") if a == "OUT" else a for a in args]
    before = set_access_times_in_the_past(parent)
    result = run(*args[:1], target, *args[1:])
    assert result.returncode == 0, result.stderr
    after = {p: p.lstat().st_atime_ns for p in before}
    assert after == before


# --- The rest of the command line's conventions --------------------------------------------


def test_version_goes_to_standard_output() -> None:
    result = run("--version")
    assert result.returncode == 0
    assert result.stdout.startswith("tarnwick ") and result.stderr == ""


def test_key_prefix_as_text_matches_the_same_bytes_in_hex(store: Path) -> None:
    as_text = run("dump", str(store), "--key-prefix-text", "key0001")
    as_hex = run("dump", str(store), "--key-prefix", b"key0001".hex())
    assert as_text.returncode == 0 and as_text.stdout == as_hex.stdout
    assert len(as_text.stdout.splitlines()) > 10
    both = run("dump", str(store), "--key-prefix-text", "k", "--key-prefix", "6b")
    assert both.returncode == 2 and "not allowed with" in both.stderr


def test_unexpected_failures_give_one_line(store: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
    def explode(*args: object, **kwargs: object) -> object:
        raise MemoryError

    monkeypatch.setattr(_reading, "summarise", explode)
    assert cli.main(["summary", str(store)]) == 2
    assert capsys.readouterr().err == "tarnwick: error: out of memory\n"
    monkeypatch.setattr(_reading, "summarise", lambda *a: types.SimpleNamespace())
    assert cli.main(["summary", str(store)]) == 2
    err = capsys.readouterr().err
    assert err.startswith("tarnwick: error: internal error: ") and err.count("\n") == 1
    assert _commands.EXIT_ERROR == 2
