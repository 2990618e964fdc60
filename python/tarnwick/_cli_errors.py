"""What every subcommand tells the user besides its output: its failures, its
exit status and its closing line, in one shape for all.

* Failures are ``CliError`` (``OutputError`` and the commands' own refusals
  are kinds of it), shown as one line: ``tarnwick: error: …``, never a Python
  exception's text or a bare ``[Errno 13]``. Warnings are ``tarnwick: warning: …``.
* The exit status comes from one table, ``EXIT_STATUS_HELP``, that every
  subcommand's ``--help`` shows.
* A command that writes ends with one line on standard error saying what it
  wrote, how many records, and what it left out (``closing_line``).
"""

from __future__ import annotations

import sys

PROG = "tarnwick"

EXIT_OK = 0
EXIT_LEFT_OUT = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 130
EXIT_TERMINATED = 143  # 128 + SIGTERM, as a shell reports a process ended by it

EXIT_STATUS_HELP = f"""exit status:
  {EXIT_OK}    everything was read (without --strict: also when something was left out;
       a warning on standard error says what)
  {EXIT_LEFT_OUT}    with --strict: something was left out or could not be decoded
       (what could be read was still written)
  {EXIT_ERROR}    usage error, or the input or the output cannot be used (one line on
       standard error)
  {EXIT_INTERRUPTED}  interrupted (Ctrl-C); {EXIT_TERMINATED} terminated; a partly written output file is removed
"""


class CliError(Exception):
    """A failure to report as one line on standard error, with exit status 2."""


class StdoutError(CliError):
    """Standard output failed; what is still buffered for it must be dropped,
    or the interpreter's final flush would fail again, noisily."""


def reason(error: BaseException) -> str:
    """The system's words for an OSError, the message of anything else."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__


def _say(kind: str, message: str) -> None:
    try:
        print(f"{PROG}: {kind}{message}", file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass  # standard error is gone: nothing else can be told


def print_error(message: str) -> None:
    _say("error: ", message)


def warn(message: str) -> None:
    _say("warning: ", message)


def say(message: str) -> None:
    """A line of information on standard error, such as the closing line."""
    _say("", message)


def exit_status(left_out: int, strict: bool) -> int:
    """The status of a command that ran to its end: ``left_out`` counts what
    it could not read or decode (files, stores, records)."""
    return EXIT_LEFT_OUT if strict and left_out else EXIT_OK


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}" if count == 1 else f"{count:,} {noun}s"


def closing_line(written: str, records: int, left_out: dict[str, int] | None = None) -> str:
    """``wrote 1,234 records to 'out.jsonl'; left out: 2 files`` — ``written``
    names the destination, ``left_out`` counts what was not read by its noun
    (``{"file": 2, "record": 5}``), and "nothing left out" when all was read."""
    counts = [_plural(n, noun) for noun, n in (left_out or {}).items() if n]
    tail = "left out: " + ", ".join(counts) if counts else "nothing left out"
    return f"wrote {_plural(records, 'record')} to {written}; {tail}"


def destination_name(path: str | None) -> str:
    """How the closing line names an output: the file, or standard output."""
    return "standard output" if path in (None, "-") else repr(path)
