"""``tarnwick timeline PATH… -o FILE``: every dated fact of the stores, as a timeline.

The subcommand's options are declared with the others in ``tarnwick.cli``;
this is its work, imported only when it runs."""

from __future__ import annotations

import argparse
import os
import stat
import tempfile

from .._cli_errors import CliError, destination_name, exit_status, say, warn


# A name in the sort's folder, checked as an output would be: the temporary
# file itself has none.
SPILL_PROBE = ".tarnwick-timeline"


def spill_folder(output: str) -> str:
    """Where the sort's temporary file goes: the output's own folder, which is
    outside the evidence, or the system's temporary folder when the output is
    standard output (``-``), a device, a pipe or a descriptor (whose folder,
    /dev or /proc, is no place for data) or its folder does not exist yet."""
    if output == "-":
        return tempfile.gettempdir()
    try:
        info = os.stat(output)
    except OSError:
        info = None
    folder = os.path.dirname(os.path.abspath(output))
    if (info is not None and not stat.S_ISREG(info.st_mode)) or not os.path.isdir(folder):
        return tempfile.gettempdir()
    return folder


def run(args: argparse.Namespace) -> int:
    from .._commands import destination
    from .._safe_output import OutputError, check_outside
    from . import WRITERS, SortedEvents, sort_events

    for path in args.paths:
        if not os.path.isdir(path):
            raise CliError(f"not a directory: {path!r}")
    if args.output != "-":
        check_outside(args.output, args.paths)
    folder = spill_folder(args.output)
    try:
        check_outside(os.path.join(folder, SPILL_PROBE), args.paths)
    except OutputError as error:
        raise OutputError(f"no place outside the evidence for the timeline's temporary file: {error}") from None
    problems: list[str] = []
    with SortedEvents(folder) as ordered:
        sort_events(args.paths, problems, ordered)
        with destination(args.output, args.paths, args.force) as (out, _):
            written = WRITERS[args.format](ordered.sorted(), out)
    for problem in problems:
        warn(problem)
    say(f"wrote {written:,} events to {destination_name(args.output)}; "
        + (f"left out: {len(problems):,} stores or folders" if problems else "nothing left out"))
    return exit_status(len(problems), args.strict)
