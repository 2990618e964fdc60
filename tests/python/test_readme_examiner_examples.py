"""The README's report and timeline examples, run as written on the real-browser
profile and the bundled sample (the placeholders /evidence/profile and store
stand for them): every option they show exists and does what they say."""

from __future__ import annotations

import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()
PROFILE = ROOT / "tests" / "fixtures" / "chromium" / "profile"
SAMPLE = ROOT / "tests" / "fixtures" / "sample_db"
SECTIONS = ("## The report", "## The timeline")


def _examples() -> list[str]:
    lines = []
    for heading in SECTIONS:
        section = re.search(rf"^{re.escape(heading)}.*?\n(.*?)(?=^## )", README, re.S | re.M)
        assert section, heading
        for body in re.findall(r"^```sh\n(.*?)^```", section.group(1), re.S | re.M):
            lines += [line for line in body.splitlines() if line.startswith("tarnwick ")]
    return lines


def test_the_sections_have_their_examples() -> None:
    assert len(_examples()) >= 4


@pytest.mark.parametrize("line", _examples())
def test_example_runs_as_written(line: str, tmp_path: Path) -> None:
    shutil.copytree(SAMPLE, tmp_path / "store")
    argv = shlex.split(line, comments=True)
    argv = [str(PROFILE) if a == "/evidence/profile" else a for a in argv]
    if "--output-of" in argv:  # the output it vouches for, made as the README makes it
        made = subprocess.run([sys.executable, "-m", "tarnwick", "dump", "store", "--format", "parquet",
                               "-o", argv[argv.index("--output-of") + 1]], cwd=tmp_path, capture_output=True)
        assert made.returncode == 0, made.stderr
    result = subprocess.run([sys.executable, "-m", "tarnwick", *argv[1:]], cwd=tmp_path, capture_output=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    output = tmp_path / argv[argv.index("-o") + 1]
    assert output.stat().st_size > 0
