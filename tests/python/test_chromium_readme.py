"""The README's Chromium examples, run: each ``$ tarnwick chromium ...`` line must print
exactly the lines shown under it, and the Python example must run."""

from __future__ import annotations

import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SECTION = re.search(r"^## Chromium and Electron stores\n(.*?)(?=^## )",
                    (ROOT / "README.md").read_text(), re.S | re.M)
BLOCKS = re.findall(r"^```(\w*)\n(.*?)^```", SECTION.group(1) if SECTION else "", re.S | re.M)


def _commands() -> list[tuple[str, list[str]]]:
    out: list[tuple[str, list[str]]] = []
    for lang, body in BLOCKS:
        if lang:
            continue
        for line in body.splitlines():
            if line.startswith("$ "):
                out.append((line[2:], []))
            elif out:
                out[-1][1].append(line)
    return out


def test_the_section_has_its_examples() -> None:
    assert len(_commands()) >= 5 and any(lang == "python" for lang, _ in BLOCKS)


@pytest.mark.parametrize(("command", "expected"), _commands(), ids=lambda c: str(c)[:60])
def test_command_examples(command: str, expected: list[str]) -> None:
    argv = shlex.split(command)
    assert argv[0] == "tarnwick"
    result = subprocess.run([sys.executable, "-m", "tarnwick", *argv[1:]], cwd=ROOT,
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == expected


def test_python_example(monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.chdir(ROOT)
    code = next(body for lang, body in BLOCKS if lang == "python")
    exec(compile(code, "README.md", "exec"), {})
    printed = capsys.readouterr().out
    assert "doomed value" in printed and "Grace" in printed


def test_the_python_examples_run_one_after_another(monkeypatch: pytest.MonkeyPatch,
                                                   capsys: pytest.CaptureFixture[str]) -> None:
    # The blocks read as one session: the later ones use `chromium` and `profile`.
    pytest.importorskip("duckdb")
    pytest.importorskip("polars")
    monkeypatch.chdir(ROOT)
    names: dict[str, object] = {}
    for body in (body for lang, body in BLOCKS if lang == "python"):
        exec(compile(body, "README.md", "exec"), names)
    deleted, current = capsys.readouterr().out.splitlines()[-1].split()
    assert int(deleted) > 0 and int(current) > 0
