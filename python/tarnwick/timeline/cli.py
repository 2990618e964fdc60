"""``tarnwick timeline PATH… -o FILE``: every dated fact of the stores, as a timeline."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

EXIT_OK, EXIT_LEFT_OUT, EXIT_ERROR = 0, 1, 2

EPILOG = """\
examples:
  tarnwick timeline ~/.config/chromium/Default -o events.jsonl
  tarnwick timeline /evidence/profile --format csv -o events.csv

exit status:
  0    every store was read
  1    with --strict: some store or folder could not be read
  2    the command line is wrong, or a path or the output cannot be used
  130  interrupted (Ctrl-C); 143 terminated
"""


def add_subcommand(subparsers: Any) -> None:
    p = subparsers.add_parser(
        "timeline",
        help="write every dated fact of the stores as timeline events",
        description="One event per dated fact of the LevelDB stores under each PATH: each Local "
        "Storage record at its commit time (the META record of its write batch), the META write and "
        "access times, the dates held in IndexedDB keys and values (Date objects, lastModified of "
        "stored files), and the modification times of data files and blob files. JSON Lines for "
        "Timesketch (message, datetime in UTC, timestamp_desc, source fields) or a CSV in the "
        "log2timeline layout; events in time order.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", metavar="PATH", nargs="+", help="a store, a profile or a folder tree")
    p.add_argument("-o", "--output", metavar="FILE", required=True, help="the timeline file; never inside PATH")
    p.add_argument("--format", choices=("jsonl", "csv"), default="jsonl",
                   help="Timesketch JSON Lines (default) or log2timeline-style CSV")
    p.add_argument("--force", action="store_true", help="replace FILE if it exists")
    p.add_argument("--strict", action="store_true", help="exit with status 1 when anything could not be read")
    p.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from .._cli_errors import CliError
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
        print(f"tarnwick timeline: {problem}", file=sys.stderr)
    return EXIT_LEFT_OUT if problems and args.strict else EXIT_OK
