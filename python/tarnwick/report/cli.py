"""``tarnwick report PATH… -o FILE``: the report an examiner attaches to a case.

The subcommand's options are declared with the others in ``tarnwick.cli``;
this is its work, imported only when it runs."""

from __future__ import annotations

import argparse
import os
import sys

from .._cli_errors import CliError, destination_name, exit_status, say, warn


def run(args: argparse.Namespace) -> int:
    from .._commands import destination
    from .._safe_output import check_outside
    from . import collect, render

    for path in args.paths:
        if not os.path.isdir(path) and not os.path.lexists(path):
            raise CliError(f"not a directory or a file: {path!r}")
    for path in args.output_of:
        if not os.path.isfile(path):
            raise CliError(f"--output-of: no such file: {path!r}")
    if args.output != "-":
        check_outside(args.output, args.paths)
    command_line = getattr(args, "command_line", None) or ["tarnwick", *sys.argv[1:]]
    report = collect(args.paths, args.hash, args.output_of, command_line)
    text = render(report, args.format).encode("utf-8", "backslashreplace")
    with destination(args.output, args.paths, args.force) as (out, _):
        out.write(text)
    for problem in report.problems:
        warn(problem)
    left_out = len(report.problems)
    if not report.complete:
        warn("not everything could be read; the report says what and why")
        left_out = max(left_out, 1)
    say(f"wrote the report of {len(report.stores):,} store(s) to {destination_name(args.output)}; "
        + ("nothing left out" if not left_out else "some files or bytes could not be read"))
    return exit_status(left_out, args.strict)
