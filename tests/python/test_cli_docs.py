"""The shell completion and the manual page, both made from the parser: run in
a real bash (and zsh, where installed) and rendered by groff."""

from __future__ import annotations

import shutil
import subprocess
import sys

import pytest

from tarnwick import cli


def tarnwick(*args: str) -> str:
    return subprocess.run([sys.executable, "-m", "tarnwick", *args], capture_output=True, text=True,
                          check=True, timeout=60).stdout


def complete(words: list[str], shell: str = "bash") -> list[str]:
    """What the completion offers for the command line ``words`` (the last word
    being completed)."""
    script = tarnwick("--completion", shell)
    line = " ".join(repr(w) if w else "''" for w in words)
    call = f"COMP_WORDS=({line}); COMP_CWORD={len(words) - 1}; _tarnwick; printf '%s\\n' \"${{COMPREPLY[@]}}\""
    if shell == "zsh":
        # zsh runs a bash completion function with bash's 0-based arrays, and
        # its completion system, not compgen, keeps the words that match
        setup = "autoload -U compinit && compinit -u -D\nautoload -U +X bashcompinit && bashcompinit"
        program = ["zsh", "-c", f"{setup}\n{script}\nsetopt ksharrays\n{call}"]
    else:
        program = ["bash", "-c", f"{script}\n{call}"]
    offered = subprocess.run(program, capture_output=True, text=True, check=True, timeout=60).stdout.split()
    return [word for word in offered if word.startswith(words[-1])]


@pytest.mark.parametrize(
    ("words", "offered"),
    [
        (["tarnwick", ""], {"summary", "dump", "chromium", "find", "export", "report", "timeline",
                            "-h", "--help", "--version", "--completion", "--man"}),
        (["tarnwick", "du"], {"dump"}),
        (["tarnwick", "dump", "--fo"], {"--format", "--force"}),
        (["tarnwick", "dump", "--format", ""], {"jsonl", "csv", "text", "parquet", "arrow"}),
        (["tarnwick", "chromium", "--kind", "s"], {"sessionstorage"}),
        (["tarnwick", "export", "--st"], {"--strict"}),
    ],
)
@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_completion_offers_what_the_parser_takes(words: list[str], offered: set[str], shell: str) -> None:
    if shutil.which(shell) is None:
        pytest.skip(f"{shell} is not installed")
    assert set(complete(words, shell)) == offered


def test_completion_of_an_unknown_shell_is_a_usage_error() -> None:
    result = subprocess.run([sys.executable, "-m", "tarnwick", "--completion", "fish"], capture_output=True, text=True)
    assert result.returncode == 2 and "invalid choice" in result.stderr


def test_the_manual_page_renders_and_names_every_command_option_and_exit_status(foreign_env: dict[str, str]) -> None:
    if shutil.which("groff") is None:
        pytest.skip("groff is not installed")
    page = tarnwick("--man")
    rendered = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-P", "-cbou"], input=page, capture_output=True,
                              text=True, check=True, timeout=60, env=foreign_env)
    assert rendered.stderr == ""  # no roff warning: every line was taken as text where text was meant
    text = rendered.stdout
    parser = cli.build_parser()
    commands = next(a for a in parser._actions if isinstance(a, type(parser._subparsers._group_actions[0]))).choices
    for name, sub in commands.items():
        assert f"tarnwick {name}" in text
        for action in sub._actions:
            for option in action.option_strings:
                assert option in text, (name, option)
    assert "EXIT STATUS" in text and "130" in text and "tarnwick dump" in text
