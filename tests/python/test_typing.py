"""The type stub of ``_tarnwick``: installed where tools look, strict enough to
catch misuse, and in agreement with the module at run time."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import _tarnwick

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "typed_usage.py"
PACKAGE = ROOT / "python" / "tarnwick"

# Each line marked "# error" must draw a mypy error, and no other line may.
MISUSE = """\
from tarnwick import FileType, KeyState, RawLevelDb, Record

db = RawLevelDb("somewhere")
records: list[Record] = db.iterate_records_raw()
db.iterate_records_raw(True)  # error
RawLevelDb(b"somewhere")  # error
seq: str = records[0].seq  # error
path: bytes = records[0].origin_file  # error
records[0].key = b""  # error
state: KeyState = records[0].file_type  # error
number: int = int(records[0].state) + int(FileType.Log)
with RawLevelDb("elsewhere") as opened:
    opened.iterate_records_raw(reverse=False)
    opened.close(1)  # error
"""


def mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cwd / "cache"), *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=300,
    )


def test_stub_is_installed_beside_the_module_and_as_a_stub_package() -> None:
    beside = Path(_tarnwick.__file__).with_name("_tarnwick.pyi")
    package = Path(_tarnwick.__file__).with_name("_tarnwick-stubs") / "__init__.pyi"
    assert beside.read_text() == package.read_text()


def test_example_and_package_pass_strict_mypy_and_misuse_does_not(tmp_path: Path) -> None:
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    marked = {n for n, line in enumerate(MISUSE.splitlines(), 1) if line.endswith("# error")}
    result = mypy(str(EXAMPLE), *map(str, sorted(PACKAGE.glob("*.py"))), "misuse.py", cwd=tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error: " in line]
    outside = [line for line in errors if not line.startswith("misuse.py:")]
    assert outside == [], result.stdout + result.stderr
    flagged = {int(line.split(":")[1]) for line in errors}
    assert flagged == marked, result.stdout


def test_stub_agrees_with_the_module(tmp_path: Path) -> None:
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_tarnwick"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
