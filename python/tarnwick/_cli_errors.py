"""The command line's failures: each is one line on standard error."""

from __future__ import annotations


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
