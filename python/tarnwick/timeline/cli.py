"""``tarnwick timeline PATH… -o FILE``: every dated fact of the stores, as a timeline.

The subcommand's options are declared with the others in ``tarnwick.cli``;
this is its work, imported only when it runs."""

from __future__ import annotations

import argparse
import os

from .._cli_errors import CliError, destination_name, exit_status, say, warn


def run(args: argparse.Namespace) -> int:
    from .._safe_output import check_outside, open_output
    from . import WRITERS, collect_events

    for path in args.paths:
        if not os.path.isdir(path):
            raise CliError(f"not a directory: {path!r}")
    check_outside(args.output, args.paths)
    problems: list[str] = []
    events = collect_events(args.paths, problems)
    with open_output(args.output, stores=args.paths, force=args.force) as out:
        WRITERS[args.format](events, out)
    for problem in problems:
        warn(problem)
    say(f"wrote {len(events):,} events to {destination_name(args.output)}; "
        + (f"left out: {len(problems):,} stores or folders" if problems else "nothing left out"))
    return exit_status(len(problems), args.strict)
